#include "platform/mime_database.h"

#include <fstream>
#include <map>
#include <string>

namespace halvorn::platform {

namespace {

std::string AsciiLower(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

struct TBuiltInType {
  const char* Extension;  // the first row of a type gives its preferred extension
  const char* Type;
};

// The types mail attachments and web pages commonly carry.
constexpr TBuiltInType kBuiltInTypes[] = {
    {".txt", "text/plain"},
    {".text", "text/plain"},
    {".log", "text/plain"},
    {".htm", "text/html"},
    {".html", "text/html"},
    {".css", "text/css"},
    {".csv", "text/csv"},
    {".rtf", "application/rtf"},
    {".xml", "text/xml"},
    {".vcf", "text/x-vcard"},
    {".ics", "text/calendar"},
    {".eml", "message/rfc822"},
    {".nws", "message/rfc822"},
    {".gif", "image/gif"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".jpe", "image/jpeg"},
    {".png", "image/png"},
    {".bmp", "image/bmp"},
    {".tif", "image/tiff"},
    {".tiff", "image/tiff"},
    {".ico", "image/x-icon"},
    {".svg", "image/svg+xml"},
    {".webp", "image/webp"},
    {".wav", "audio/wav"},
    {".mp3", "audio/mpeg"},
    {".mid", "audio/mid"},
    {".midi", "audio/mid"},
    {".ogg", "audio/ogg"},
    {".avi", "video/x-msvideo"},
    {".mpg", "video/mpeg"},
    {".mpeg", "video/mpeg"},
    {".mp4", "video/mp4"},
    {".mov", "video/quicktime"},
    {".wmv", "video/x-ms-wmv"},
    {".pdf", "application/pdf"},
    {".ps", "application/postscript"},
    {".doc", "application/msword"},
    {".dot", "application/msword"},
    {".xls", "application/vnd.ms-excel"},
    {".ppt", "application/vnd.ms-powerpoint"},
    {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {".pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {".odt", "application/vnd.oasis.opendocument.text"},
    {".ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {".zip", "application/x-zip-compressed"},
    {".gz", "application/x-gzip"},
    {".tgz", "application/x-compressed"},
    {".tar", "application/x-tar"},
    {".rar", "application/x-rar-compressed"},
    {".7z", "application/x-7z-compressed"},
    {".exe", "application/x-msdownload"},
    {".dll", "application/x-msdownload"},
    {".com", "application/x-msdownload"},
    {".bat", "application/x-msdownload"},
    {".msi", "application/x-msi"},
    {".js", "application/x-javascript"},
    {".vbs", "text/vbscript"},
    {".json", "application/json"},
    {".swf", "application/x-shockwave-flash"},
    {".bin", "application/octet-stream"},
};

struct TTables {
  std::map<std::string, std::string> TypeOfExtension;  // ".ext" (lower case) -> type
  std::map<std::string, std::string> ExtensionOfType;  // type (lower case) -> ".ext"
};

void AddType(TTables& tables, const std::string& extension, const std::string& type) {
  tables.TypeOfExtension.emplace(AsciiLower(extension), type);
  tables.ExtensionOfType.emplace(AsciiLower(type), extension);
}

// Lines of /etc/mime.types: a type, then its extensions without dots,
// separated by blanks; "#" starts a comment.
void ReadSystemTypes(TTables& tables) {
  std::ifstream in("/etc/mime.types");
  std::string line;
  while (in && std::getline(in, line)) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::size_t p = 0;
    std::string type;
    while (p < line.size()) {
      while (p < line.size() && (line[p] == ' ' || line[p] == '\t' || line[p] == '\r')) ++p;
      std::size_t start = p;
      while (p < line.size() && line[p] != ' ' && line[p] != '\t' && line[p] != '\r') ++p;
      if (p == start) break;
      std::string word = line.substr(start, p - start);
      if (type.empty()) {
        if (word.find('/') == std::string::npos) break;
        type = word;
      } else {
        AddType(tables, "." + word, type);
      }
    }
  }
}

const TTables& Tables() {
  static const TTables tables = [] {
    TTables t;
    for (const auto& row : kBuiltInTypes) AddType(t, row.Extension, row.Type);
    ReadSystemTypes(t);
    return t;
  }();
  return tables;
}

}  // namespace

bool MimeTypeForExtension(std::string_view extension, std::string& type) {
  const auto& map = Tables().TypeOfExtension;
  auto found = map.find(AsciiLower(extension));
  if (found == map.end()) return false;
  type = found->second;
  return true;
}

bool ExtensionForMimeType(std::string_view type, std::string& extension) {
  const auto& map = Tables().ExtensionOfType;
  auto found = map.find(AsciiLower(type));
  if (found == map.end()) return false;
  extension = found->second;
  return true;
}

}  // namespace halvorn::platform
