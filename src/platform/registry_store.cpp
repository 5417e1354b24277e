#include "platform/registry_store.h"

#include <charconv>
#include <optional>

namespace halvorn::platform {

namespace {

const char kHex[] = "0123456789abcdef";

unsigned char Lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

bool HasControl(std::string_view text) {
  for (unsigned char c : text)
    if (IsControl(c)) return true;
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendHexByte(std::string& out, unsigned char c) {
  out += kHex[c >> 4];
  out += kHex[c & 0xF];
}

}  // namespace

std::string EncodeRegValue(const RegValue& value) {
  std::string out;
  switch (value.Type) {
    case RegValueType::Number:
      return "d:" + std::to_string(value.Number);
    case RegValueType::Binary:
      out = "b:";
      for (unsigned char c : value.Bytes) AppendHexByte(out, c);
      return out;
    case RegValueType::Text:
      out = "s:";
      for (unsigned char c : value.Bytes) {
        if (c == '\\') {
          out += "\\\\";
        } else if (IsControl(c)) {
          out += "\\x";
          AppendHexByte(out, c);
        } else {
          out += static_cast<char>(c);
        }
      }
      return out;
  }
  return out;
}

std::optional<RegValue> DecodeRegValue(std::string_view stored) {
  if (stored.size() < 2 || stored[1] != ':') return std::nullopt;
  std::string_view body = stored.substr(2);
  switch (stored[0]) {
    case 'd': {
      std::int32_t number = 0;
      auto [end, error] = std::from_chars(body.data(), body.data() + body.size(), number);
      if (error != std::errc() || end != body.data() + body.size() || body.empty())
        return std::nullopt;
      return RegValue::Int(number);
    }
    case 'b': {
      if (body.size() % 2 != 0) return std::nullopt;
      std::string bytes;
      bytes.reserve(body.size() / 2);
      for (std::size_t i = 0; i < body.size(); i += 2) {
        int high = HexDigit(body[i]);
        int low = HexDigit(body[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>(high << 4 | low);
      }
      return RegValue::Binary(std::move(bytes));
    }
    case 's': {
      std::string text;
      text.reserve(body.size());
      for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\\') {
          text += body[i];
        } else if (i + 1 < body.size() && body[i + 1] == '\\') {
          text += '\\';
          i += 1;
        } else if (i + 3 < body.size() && body[i + 1] == 'x' && HexDigit(body[i + 2]) >= 0 &&
                   HexDigit(body[i + 3]) >= 0) {
          text += static_cast<char>(HexDigit(body[i + 2]) << 4 | HexDigit(body[i + 3]));
          i += 3;
        } else {
          return std::nullopt;
        }
      }
      return RegValue::Text(std::move(text));
    }
    default:
      return std::nullopt;
  }
}

bool RegNameStorable(std::string_view name) {
  if (HasControl(name) || name.find('=') != std::string_view::npos) return false;
  return name.empty() || (name[0] != '[' && name[0] != ';' && name[0] != '#');
}

bool RegKeyPathStorable(std::string_view keyPath) {
  return !keyPath.empty() && !HasControl(keyPath) && keyPath.back() != ']';
}

bool RegKeyCovers(std::string_view sectionPath, std::string_view keyPath) {
  if (keyPath.empty()) return false;
  if (SameName(sectionPath, keyPath)) return true;
  // A key below it makes the key exist too, as in the registry.
  return sectionPath.size() > keyPath.size() && sectionPath[keyPath.size()] == '\\' &&
         SameName(sectionPath.substr(0, keyPath.size()), keyPath);
}

}  // namespace halvorn::platform
