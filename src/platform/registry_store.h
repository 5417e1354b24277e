// The typed values of the Linux stand-in for the program's per-user registry
// key. The values live in a settings file (one section per key path, one
// line per value; foundation/registry_settings.h reads and writes it), each
// stored with its type in front:
//
//   [\software\Halvorn\Report]
//   FullReportLinkOnly=d:1            a 32-bit number, signed decimal
//   MAPI=s:a,b\x0Dc\\d                a text: "\\" stands for a backslash and
//                                     "\xHH" (two hexadecimal digits) for a
//                                     control byte (0x00-0x1F, 0x7F); other
//                                     bytes as they are
//   GlobalStandardTestCountArray=b:0a0bff   binary: two hexadecimal digits a byte
//
// Key paths and value names compare ignoring case, as registry names do.
// Stored forms of an unknown type or a broken encoding read as absent.
// Every function here keeps no state and may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace halvorn::platform {

enum class RegValueType { Text, Number, Binary };

// One typed value: Bytes for Text and Binary, Number for Number.
struct RegValue {
  RegValueType Type = RegValueType::Text;
  std::string Bytes;
  std::int32_t Number = 0;

  static RegValue Text(std::string text) { return {RegValueType::Text, std::move(text), 0}; }
  static RegValue Int(std::int32_t number) { return {RegValueType::Number, {}, number}; }
  static RegValue Binary(std::string bytes) { return {RegValueType::Binary, std::move(bytes), 0}; }
};

// The stored form of a value: its type letter, ":" and the encoded bytes.
// It never holds a line break or any other control byte and is never empty.
std::string EncodeRegValue(const RegValue& value);
// The value a stored form holds, or nothing when the form is unknown or
// broken.
std::optional<RegValue> DecodeRegValue(std::string_view stored);

// True when a value name can be stored and found again: no control byte, no
// "=", and not beginning with "[", ";" or "#".
bool RegNameStorable(std::string_view name);
// True when a key path can be stored: not empty, no control byte, not ending
// in "]".
bool RegKeyPathStorable(std::string_view keyPath);

// True when the stored key path `sectionPath` makes the key `keyPath` exist:
// it is that key or a key below it, ignoring case.
bool RegKeyCovers(std::string_view sectionPath, std::string_view keyPath);

}  // namespace halvorn::platform
