#include "platform/registry_store.h"

#include <charconv>

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

std::string Encode(const RegValue& value) {
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

std::optional<RegValue> Decode(std::string_view stored) {
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

bool StorableName(std::string_view name) {
  if (HasControl(name) || name.find('=') != std::string_view::npos) return false;
  return name.empty() || (name[0] != '[' && name[0] != ';' && name[0] != '#');
}

bool StorablePath(std::string_view path) {
  return !path.empty() && !HasControl(path) && path.back() != ']';
}

}  // namespace

RegistryStore RegistryStore::Parse(std::string_view text) {
  RegistryStore store;
  Section* current = nullptr;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    // Line ends of any mix of CR LF; a value never ends in a raw CR.
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      std::string_view path = line.substr(1, line.size() - 2);
      current = store.FindSection(path);
      if (!current) {
        store.FSections.push_back({std::string(path), {}});
        current = &store.FSections.back();
      }
      continue;
    }
    std::size_t equals = line.find('=');
    if (!current || equals == std::string_view::npos) continue;  // not a value line
    current->Values.emplace_back(std::string(line.substr(0, equals)),
                                 std::string(line.substr(equals + 1)));
  }
  return store;
}

std::string RegistryStore::Text() const {
  std::string out;
  for (const Section& section : FSections) {
    if (!out.empty()) out += '\n';
    out += '[' + section.Path + "]\n";
    for (const auto& [name, stored] : section.Values) out += name + '=' + stored + '\n';
  }
  return out;
}

RegistryStore::Section* RegistryStore::FindSection(std::string_view keyPath) {
  for (Section& section : FSections)
    if (SameName(section.Path, keyPath)) return &section;
  return nullptr;
}

const RegistryStore::Section* RegistryStore::FindSection(std::string_view keyPath) const {
  return const_cast<RegistryStore*>(this)->FindSection(keyPath);
}

bool RegistryStore::KeyExists(std::string_view keyPath) const {
  if (keyPath.empty()) return false;
  for (const Section& section : FSections) {
    std::string_view path = section.Path;
    if (SameName(path, keyPath)) return true;
    // A key below it makes the key exist too, as in the registry.
    if (path.size() > keyPath.size() && path[keyPath.size()] == '\\' &&
        SameName(path.substr(0, keyPath.size()), keyPath))
      return true;
  }
  return false;
}

std::optional<RegValue> RegistryStore::Read(std::string_view keyPath, std::string_view name) const {
  const Section* section = FindSection(keyPath);
  if (!section) return std::nullopt;
  for (const auto& [valueName, stored] : section->Values)
    if (SameName(valueName, name)) return Decode(stored);
  return std::nullopt;
}

bool RegistryStore::Write(std::string_view keyPath, std::string_view name, const RegValue& value) {
  if (!StorablePath(keyPath) || !StorableName(name)) return false;
  Section* section = FindSection(keyPath);
  if (!section) {
    FSections.push_back({std::string(keyPath), {}});
    section = &FSections.back();
  }
  for (auto& [valueName, stored] : section->Values) {
    if (SameName(valueName, name)) {
      stored = Encode(value);
      return true;
    }
  }
  section->Values.emplace_back(std::string(name), Encode(value));
  return true;
}

}  // namespace halvorn::platform
