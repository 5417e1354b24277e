#include "foundation/files/quor_ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "foundation/crypto/block_cipher.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/install_folders.h"
#include "foundation/log/log_sink.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/message_loop.h"
#include "foundation/threads/quor_thread.h"

namespace halvorn {

namespace {

const char* const kLogService = "Settings";
// The cipher key of settings files. It is longer than the cipher's key
// schedule takes, so the blocks are enciphered on Blowfish's initial tables
// alone; files written by earlier versions depend on exactly that.
const char* const kSettingsFileKey =
    "Q7v!m2Rx@9LwT#e4Kp$8bNz%3Hc^6Yj&1Fd*5Sg(0Ua)Wq-Vt_Xr+Bo=Ci[Ek]Ml;Pn:Dh'Gf\"Is,Jy";
// The parser stamps its worker's liveness once per so many lines.
constexpr int kLinesPerLifeStamp = 256;

// CR, LF and zero bytes would end the line (or the text) when the file is
// read again: store them as blanks.
std::string Flatten(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return out;
}

std::string HeadingOf(const std::string& section) {
  return "[" + Flatten(section) + "]";
}

// The name of a stored line: the text before its first "="; a line without
// "=" has none.
bool LineHasName(std::string_view line, std::string_view ident) {
  std::size_t equals = line.find('=');
  return equals != std::string_view::npos && SameText1252(line.substr(0, equals), ident);
}

std::string_view ValueOf(std::string_view line) {
  std::size_t equals = line.find('=');
  return equals == std::string_view::npos ? std::string_view() : line.substr(equals + 1);
}

std::uint8_t LetterToTrite(char c) {
  unsigned char lower = LowerChar1252(static_cast<unsigned char>(c));
  if (lower == 'y') return 0;
  if (lower == 'n') return 1;
  return 2;
}

// Runs `block` (a multiple of 8 bytes, at most one settings block) through
// the settings-file cipher in place.
void CipherBlock(std::string& block, bool encipher) {
  std::string out(block.size(), '\0');
  TBlowFish cipher;
  cipher.SetKey(kSettingsFileKey);
  cipher.SetInputType(SourceByteArray);
  cipher.SetCipherMode(ECBMode);
  cipher.SetInputBuffer(block.data(), block.size());
  cipher.SetOutputBuffer(out.data(), out.size());
  cipher.SetInputLength(static_cast<std::uint16_t>(block.size()));
  if (encipher)
    cipher.EncipherData(false);
  else
    cipher.DecipherData(false);
  block.swap(out);
}

// The text held by the blocks after the header.
std::string DecipherBody(std::string_view body) {
  std::string text;
  std::size_t offset = 0;
  while (offset < body.size()) {
    std::size_t read = std::min(kEncryptedIniBlockSize, body.size() - offset);
    std::string block(body.substr(offset, read));
    offset += read;
    block.resize((read + 7) / 8 * 8, '\0');
    bool full = block.size() == kEncryptedIniBlockSize;
    CipherBlock(block, false);
    std::size_t zero = block.find('\0');
    text.append(block, 0, std::min({zero, read, block.size()}));
    if (!full) break;
  }
  return text;
}

// Reads a whole regular file. Raises EQuorIniFileError.
std::string ReadWholeFile(const std::string& path) {
  std::string bytes;
  std::string error = ReadFileBytes(path, kMaxIniFileSize, bytes, "settings file");
  if (!error.empty()) throw EQuorIniFileError(error);
  return bytes;
}

std::string ParentFolder(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool EnsureFileExists(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return true;
  if (!CreateFolderTree(ParentFolder(path))) return false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return ::stat(path.c_str(), &st) == 0;
}

TQuorIniFile::TQuorIniFile(const std::string& FileName, bool DontLoad) : FFileName(FileName) {
  if (!FFileName.empty()) {
    struct stat st {};
    if (::stat(FFileName.c_str(), &st) != 0) {
      // The object still works in memory; its save will report again.
      if (!EnsureFileExists(FFileName))
        Log(kLogService, "Cannot create " + FFileName + ": " + std::strerror(errno), 8, true);
    } else if (!DontLoad) {
      LoadFromFile(FFileName);
    }
  }
  FModified = false;
}

TQuorIniFile::~TQuorIniFile() {
  if (FFileName.empty() || !FModified) return;
  try {
    SaveToFile(FFileName);
  } catch (const std::exception& e) {
    Log(kLogService, e.what(), 8, true);
  } catch (...) {
    Log(kLogService, "Cannot save " + FFileName, 8, true);
  }
}

void TQuorIniFile::LoadFromFile(const std::string& path) {
  std::string bytes;
  try {
    bytes = ReadWholeFile(path);
  } catch (...) {
    Clear();
    throw;
  }
  LoadFromStream(bytes);
  FModified = true;
}

void TQuorIniFile::LoadFromStream(std::string_view bytes) {
  Clear();
  std::string_view head = bytes.substr(0, kEncryptedIniHeader.size());
  FEncrypted = head.find("Encrypted File v") != std::string_view::npos;
  if (FEncrypted) {
    ParseText(DecipherBody(bytes.substr(head.size())));
  } else {
    ParseText(bytes);
  }
  FModified = true;
}

void TQuorIniFile::ParseText(std::string_view text) {
  std::size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  TQuorThread* worker = CurrentQuorThread();
  TSection* current = nullptr;
  int count = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (end < text.size() && text[end] == '\r' && start < text.size() && text[start] == '\n')
      ++start;
    if (worker && ++count % kLinesPerLifeStamp == 0) worker->StampAlive();

    line = TrimLeftView(line);
    // A value keeps its trailing blanks (WriteString stores it untrimmed);
    // everything else is trimmed on both sides.
    if (line.empty() || line[0] == '[' || TrimTextView(ValueOf(line)).empty())
      line = TrimRightView(line);
    if (line.empty()) continue;
    if (line[0] == '[') {
      FSections.push_back({std::string(line), {}});
      current = &FSections.back();
    } else if (current) {
      current->Lines.emplace_back(line);
    }
  }
  if (worker) worker->StampAlive();
}

std::string TQuorIniFile::SaveToStream() const {
  std::string text;
  for (const TSection& section : FSections) {
    if (section.Lines.empty()) continue;
    text += section.Heading;
    text += "\r\n";
    for (const std::string& line : section.Lines) {
      text += line;
      text += "\r\n";
    }
    text += "\r\n";
  }
  if (!FEncrypted) return text;

  std::string out(kEncryptedIniHeader);
  for (std::size_t offset = 0; offset < text.size(); offset += kEncryptedIniBlockSize) {
    std::string block = text.substr(offset, kEncryptedIniBlockSize);
    block.resize(kEncryptedIniBlockSize, '\0');
    CipherBlock(block, true);
    out += block;
  }
  return out;
}

void TQuorIniFile::SaveToFile(const std::string& path) const {
  if (FSections.empty()) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
      throw EQuorIniFileError("Cannot delete " + path + ": " + std::strerror(errno));
    return;
  }
  std::string folder = ParentFolder(path);
  if (!CreateFolderTree(folder)) throw EQuorIniFileError("Cannot create the folder " + folder);
  std::string error = WriteFileAtomically(path, SaveToStream());
  if (!error.empty()) throw EQuorIniFileError(error);
}

void TQuorIniFile::UpdateFile() {
  SaveToFile(FFileName);
  FModified = false;
}

void TQuorIniFile::Clear() {
  FSections.clear();
  FLastSection = SIZE_MAX;
  FModified = true;
}

TQuorIniFile::TSection* TQuorIniFile::FindSection(const std::string& Section) {
  std::string heading = HeadingOf(Section);
  // Callers read a section's keys one after another: try the last hit first.
  // It was the first section of its name when found, and sections are only
  // ever appended after it or erased (which forgets it).
  if (FLastSection < FSections.size() && SameText1252(FSections[FLastSection].Heading, heading))
    return &FSections[FLastSection];
  for (std::size_t i = 0; i < FSections.size(); ++i) {
    if (SameText1252(FSections[i].Heading, heading)) {
      FLastSection = i;
      return &FSections[i];
    }
  }
  return nullptr;
}

const TQuorIniFile::TSection* TQuorIniFile::FindSection(const std::string& Section) const {
  return const_cast<TQuorIniFile*>(this)->FindSection(Section);
}

int TQuorIniFile::FindLine(const TSection& section, std::string_view ident,
                           std::int32_t& position) {
  const auto count = static_cast<std::int64_t>(section.Lines.size());
  std::int64_t next = static_cast<std::int64_t>(position) + 1;
  // Keys read in the order they were written are found here without a search.
  if (next >= 0 && next < count && LineHasName(section.Lines[next], ident)) {
    position = static_cast<std::int32_t>(next);
    return position;
  }
  position = -1;
  for (std::int64_t i = 0; i < count && i <= INT32_MAX; ++i) {
    if (LineHasName(section.Lines[i], ident)) {
      position = static_cast<std::int32_t>(i);
      break;
    }
  }
  return position;
}

const std::string* TQuorIniFile::FindValueLine(const std::string& Section,
                                               const std::string& Ident) {
  const TSection* section = FindSection(Section);
  if (!section) return nullptr;
  std::string ident(TrimTextView(Flatten(Ident)));
  int index = FindLine(*section, ident, FLastReadPosition);
  return index < 0 ? nullptr : &section->Lines[index];
}

bool TQuorIniFile::TryReadString(const std::string& Section, const std::string& Ident,
                                 std::string& Value) {
  const std::string* line = FindValueLine(Section, Ident);
  if (!line) return false;
  std::string_view value = ValueOf(*line);
  if (value.empty()) return false;
  Value.assign(value);
  return true;
}

std::string TQuorIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                     const std::string& Default) {
  std::string value;
  return TryReadString(Section, Ident, value) ? value : Default;
}

bool TQuorIniFile::TryReadTrimmed(const std::string& Section, const std::string& Ident,
                                  std::string& Value) {
  std::string raw;
  if (!TryReadString(Section, Ident, raw)) return false;
  Value.assign(TrimTextView(raw));
  return !Value.empty();
}

std::int64_t TQuorIniFile::ReadInteger(const std::string& Section, const std::string& Ident,
                                       std::int64_t Default) {
  std::int32_t value = 0;
  if (TryReadInteger(Section, Ident, value)) return value;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(Default));
}

bool TQuorIniFile::TryReadInteger(const std::string& Section, const std::string& Ident,
                                  std::int32_t& Value) {
  std::string text;
  std::int32_t parsed = 0;
  if (!TryReadTrimmed(Section, Ident, text) || !TryStrToInt(text, parsed)) return false;
  Value = parsed;
  return true;
}

bool TQuorIniFile::ReadBool(const std::string& Section, const std::string& Ident, bool Default) {
  return ReadInteger(Section, Ident, Default ? 1 : 0) == 1;
}

bool TQuorIniFile::TryReadBool(const std::string& Section, const std::string& Ident, bool& Value) {
  std::string text;
  if (!TryReadTrimmed(Section, Ident, text) || (text != "1" && text != "0")) return false;
  Value = text == "1";
  return true;
}

std::uint8_t TQuorIniFile::ReadTrite(const std::string& Section, const std::string& Ident,
                                     std::uint8_t Default) {
  std::uint8_t value = 0;
  return TryReadTrite(Section, Ident, value) ? value : Default;
}

bool TQuorIniFile::TryReadTrite(const std::string& Section, const std::string& Ident,
                                std::uint8_t& Value) {
  std::string text;
  if (!TryReadTrimmed(Section, Ident, text) || text.size() != 1) return false;
  Value = LetterToTrite(text[0]);
  return true;
}

void TQuorIniFile::ReadSectionValues(const std::string& Section, TStringList& List) const {
  List.Clear();
  const TSection* section = FindSection(Section);
  if (!section) return;
  for (const std::string& line : section->Lines) List.Add(line);
}

void TQuorIniFile::ReadSections(TStringList& List) const {
  List.Clear();
  for (const TSection& section : FSections) {
    std::string_view heading = section.Heading;
    heading.remove_prefix(1);  // "["
    if (!heading.empty() && heading.back() == ']') heading.remove_suffix(1);
    List.Add(std::string(heading));
  }
}

bool TQuorIniFile::SectionExists(const std::string& Section) const {
  return FindSection(Section) != nullptr;
}

void TQuorIniFile::WriteString(const std::string& Section, const std::string& Ident,
                               const std::string& Value) {
  try {
    if (FProcessMessages) ProcessMessagesIfMain();
    std::string ident(TrimTextView(Flatten(Ident)));
    if (!ident.empty() && ident[0] == '[') return;
    if (ident.find('=') != std::string::npos) return;
    std::string value = Flatten(Value);

    TSection* section = FindSection(Section);
    if (!section) {
      FSections.push_back({HeadingOf(Section), {}});
      section = &FSections.back();
    }
    int index = FindLine(*section, ident, FLastWritePosition);
    bool blank = TrimTextView(value).empty();
    if (index < 0) {
      if (blank) return;
      section->Lines.push_back(ident + "=" + value);
      FModified = true;
    } else if (blank) {
      section->Lines.erase(section->Lines.begin() + index);
      FModified = true;
    } else if (ValueOf(section->Lines[index]) != value) {
      section->Lines[index] = ident + "=" + value;
      FModified = true;
    }
  } catch (const std::exception& e) {
    // A write that cannot be done leaves the value unwritten.
    Log(kLogService, "Cannot write \"" + Ident + "\" of [" + Section + "]: " + e.what(), 6, true);
  }
}

void TQuorIniFile::WriteInteger(const std::string& Section, const std::string& Ident,
                                std::int64_t Value) {
  WriteString(Section, Ident, std::to_string(Value));
}

void TQuorIniFile::WriteBool(const std::string& Section, const std::string& Ident, bool Flag) {
  WriteString(Section, Ident, Flag ? "1" : "0");
}

void TQuorIniFile::WriteTrite(const std::string& Section, const std::string& Ident,
                              std::uint8_t Value) {
  WriteString(Section, Ident, Value == 0 ? "y" : Value == 1 ? "n" : "u");
}

void TQuorIniFile::WriteSectionValues(const std::string& Section, const TStringList& List) {
  TSection* section = FindSection(Section);
  if (!section) {
    FSections.push_back({HeadingOf(Section), {}});
    section = &FSections.back();
  }
  for (int i = 0; i < List.Count(); ++i) {
    std::string line = Flatten(List[i]);
    if (TrimTextView(line).empty()) continue;
    section->Lines.push_back(std::move(line));
    FModified = true;
  }
}

void TQuorIniFile::EraseSection(const std::string& Section) {
  std::string heading = HeadingOf(Section);
  for (auto it = FSections.begin(); it != FSections.end(); ++it) {
    if (SameText1252(it->Heading, heading)) {
      FSections.erase(it);
      FLastSection = SIZE_MAX;
      break;
    }
  }
  FModified = true;
}

}  // namespace halvorn
