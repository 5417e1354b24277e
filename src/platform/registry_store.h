// The Linux stand-in for the program's per-user registry key: an ini-style
// text with one section per key path and one line per value, each value
// carrying its type:
//
//   [\software\Halvorn\Report]
//   FullReportLinkOnly=d:1            a 32-bit number, signed decimal
//   MAPI=s:a,b\x0Dc\\d                a text: "\\" stands for a backslash and
//                                     "\xHH" (two hexadecimal digits) for a
//                                     control byte (0x00-0x1F, 0x7F); other
//                                     bytes as they are
//   GlobalStandardTestCountArray=b:0a0bff   binary: two hexadecimal digits a byte
//
// Section and value names compare ignoring ASCII case, as registry names do.
// Lines that are neither a section header nor name=value are dropped when
// the text is parsed; values of an unknown type or a broken encoding are kept
// as they are and read as absent.
//
// The store is a plain value held in memory; reading and writing the file
// (one open per operation, atomic rewrite) is the caller's business. Not
// thread-safe: the caller serialises access.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

class RegistryStore {
 public:
  // Reads a stored text. Never fails: what does not parse is skipped.
  static RegistryStore Parse(std::string_view text);
  // The stored text, LF line ends.
  std::string Text() const;

  // True when the key or any key below it has a section.
  bool KeyExists(std::string_view keyPath) const;
  // The value, or nothing when the key or value is missing or its stored
  // form does not decode.
  std::optional<RegValue> Read(std::string_view keyPath, std::string_view name) const;
  // Sets the value, creating its section when missing. False (and nothing
  // changed) when the key path or name cannot be stored: a line break or
  // control byte in either, a key path ending in "]", or a name holding "="
  // or starting with "[", ";" or "#".
  bool Write(std::string_view keyPath, std::string_view name, const RegValue& value);

 private:
  struct Section {
    std::string Path;
    std::vector<std::pair<std::string, std::string>> Values;  // name, stored form
  };
  Section* FindSection(std::string_view keyPath);
  const Section* FindSection(std::string_view keyPath) const;

  std::vector<Section> FSections;
};

}  // namespace halvorn::platform
