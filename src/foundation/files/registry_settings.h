// The program's per-user switches and window positions, kept like registry
// values under one program key.
//
// The key path is "\software\" + program name, and "\" + section when a
// section is given (sections may hold "\" themselves, as in
// "Interface\TViewPendholdForm"); an empty section addresses the program key
// itself. The program name is the "ProductName" of the program's version
// (GetProductName), read once; "Halvorn" when that is empty.
//
// The values live in the settings file "registry.ini", read and written
// through TQuorIniFile (the stored value forms are in
// platform/registry_store.h): inside HALVORN_HOME when that is set, else in
// the user's configuration folder + "/Halvorn/". Every operation reads the
// file for that one call, and a write rewrites it atomically (mode 0600).
//
// Values are typed: texts, 32-bit integers (Booleans are integers: true is
// 1, false 0, any non-zero number reads as true) and binary streams. A read
// of a missing value, a value of another type, an unreadable file or a
// broken line answers false or the default. No operation raises; failures to
// write are logged. Every operation is safe from any thread: one lock in the
// process serialises them.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn {

// The key path of a section (see above).
std::string GetRegistryKeyPath(const std::string& section);
// The file that holds the values; empty when no folder for it can be formed.
std::string GetRegistryFilePath();

// True when the key, or a key below it, holds values.
bool RegKeyExists(const std::string& section);

// True and the value when a text value exists.
bool RegTryReadString(const std::string& section, const std::string& name, std::string& value);
std::string RegReadString(const std::string& section, const std::string& name,
                          const std::string& defaultValue);
// Writes a text, creating the key when missing. False when it could not be
// written (logged); the stored values are then as they were.
bool RegWriteString(const std::string& section, const std::string& name, const std::string& value);

// True and the value when a number value exists.
bool RegTryReadInteger(const std::string& section, const std::string& name, std::int32_t& value);
std::int32_t RegReadInteger(const std::string& section, const std::string& name,
                            std::int32_t defaultValue);
bool RegWriteInteger(const std::string& section, const std::string& name, std::int32_t value);

// True and the value when a number value exists (non-zero reads as true).
bool RegReadBoolVar(const std::string& section, const std::string& name, bool& value);
bool RegReadBool(const std::string& section, const std::string& name, bool defaultValue);
bool RegWriteBool(const std::string& section, const std::string& name, bool value);

// Fills `stream` with the bytes of a binary value and answers true; on any
// failure empties it and answers false.
bool RegReadStream(const std::string& section, const std::string& name, std::string& stream);
// Writes all bytes of `stream` as one binary value.
bool RegWriteStream(const std::string& section, const std::string& name, const std::string& stream);

}  // namespace halvorn
