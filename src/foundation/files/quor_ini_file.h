// TQuorIniFile: the program's one settings-file class.
//
// A settings file is a text of section headings in square brackets and
// Ident=Value lines. The object reads the whole file into memory, is changed
// there and writes it back whole:
//
//   [Section]
//   Ident=Value
//   Other=Value with trailing blanks kept
//   (an empty line after each section)
//
// Reading: CR, LF and CR LF end a line and a zero byte ends the text. A line
// loses its leading white space and its line end; a heading ("[" first), a
// line without "=" and a line whose value is all blanks lose their trailing
// white space too, while a value keeps its trailing blanks, so that what
// WriteString stored reads back unchanged. Empty lines and lines before the
// first heading are dropped; there is no comment syntax. Writing: every line
// ends with CR LF; a section without lines is not written.
//
// The enciphered form is the 21 plain bytes "Encrypted File v1.0" CR LF and
// then the plain text in 248-byte blocks, each enciphered with Blowfish (ECB)
// on its initial tables alone, the last block filled with zero bytes. A file
// read in that form is written back in it by the same object; every other
// object writes plain text.
//
// Names (idents and section headings) compare ignoring case by the code
// page 1252 table; values compare exactly.
//
// Saves are atomic (WriteFileAtomically): a failed save leaves the old file
// as it was. One object is used by one thread at a time; it holds no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/text/string_list.h"

namespace halvorn {

// Raised when a settings file cannot be opened, read, written or deleted.
// The text names the path and the reason.
class EQuorIniFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// When the file is missing, creates its folder chain (mode 0700) and an
// empty file (mode 0600). True when the file exists afterwards; every
// failure answers false. Safe from any thread.
bool EnsureFileExists(const std::string& path);

// The first 21 bytes of an enciphered settings file.
inline constexpr std::string_view kEncryptedIniHeader = "Encrypted File v1.0\r\n";
// The size of one enciphered block.
inline constexpr std::size_t kEncryptedIniBlockSize = 248;
// A settings file larger than this is refused rather than read into memory.
inline constexpr std::uintmax_t kMaxIniFileSize = 256u * 1024 * 1024;

class TQuorIniFile {
 public:
  // Opens the object on `FileName` (may be empty: the object then never
  // writes a file by itself). A missing file is created empty, with its
  // folders (EnsureFileExists). Unless `DontLoad`, an existing file is
  // loaded. Raises EQuorIniFileError when an existing file cannot be read.
  // Ends with Modified() false.
  explicit TQuorIniFile(const std::string& FileName, bool DontLoad = false);
  // Writes the file when FileName is not empty and the content was modified.
  // Never throws: a failed save is logged and the old file stays as it was.
  // Savers that must see the error call UpdateFile first.
  ~TQuorIniFile();
  TQuorIniFile(const TQuorIniFile&) = delete;
  TQuorIniFile& operator=(const TQuorIniFile&) = delete;

  const std::string& FileName() const { return FFileName; }
  // True when the last load found the enciphered form.
  bool Encrypted() const { return FEncrypted; }
  bool Modified() const { return FModified; }
  void SetModified(bool flag) { FModified = flag; }
  // WriteString lets the main thread handle its pending window messages
  // first (on by default). An object written under a lock turns it off, so
  // that an event handler that takes the same lock cannot run inside it.
  void SetProcessMessages(bool flag) { FProcessMessages = flag; }

  // Replaces the content with the file's; Modified() true afterwards.
  // Raises EQuorIniFileError when the file cannot be read (content cleared).
  void LoadFromFile(const std::string& path);
  // Replaces the content with what the bytes hold (plain or enciphered
  // form); Modified() true afterwards. Never fails: what does not parse is
  // dropped.
  void LoadFromStream(std::string_view bytes);
  // Writes the content to `path` atomically. With no sections at all the
  // file is deleted instead. Raises EQuorIniFileError on failure; the file
  // on disk is then untouched.
  void SaveToFile(const std::string& path) const;
  // The bytes of the file: the plain form, or the enciphered one when
  // Encrypted().
  std::string SaveToStream() const;
  // SaveToFile(FileName()), then Modified() false. Raises as SaveToFile;
  // Modified() then stays true.
  void UpdateFile();
  // Removes every section; Modified() true.
  void Clear();

  // Reads never change Modified(). Section and Ident are taken as WriteString
  // stores them, so that what was written is found again.

  // True and the value when the section, the line and a non-empty value
  // exist; otherwise false and `Value` untouched.
  bool TryReadString(const std::string& Section, const std::string& Ident, std::string& Value);
  std::string ReadString(const std::string& Section, const std::string& Ident,
                         const std::string& Default);
  // The value, blanks around it ignored, as a 32-bit signed decimal number,
  // widened; Default (its low 32 bits) when missing or not a number.
  std::int64_t ReadInteger(const std::string& Section, const std::string& Ident,
                           std::int64_t Default);
  bool TryReadInteger(const std::string& Section, const std::string& Ident, std::int32_t& Value);
  // The value read as ReadInteger (with Default as 0 or 1) equals 1.
  bool ReadBool(const std::string& Section, const std::string& Ident, bool Default);
  // True only for the values "1" (Value true) and "0" (Value false).
  bool TryReadBool(const std::string& Section, const std::string& Ident, bool& Value);
  // A one-character value as a trite: "y" 0, "n" 1, anything else 2,
  // ignoring case; Default otherwise.
  std::uint8_t ReadTrite(const std::string& Section, const std::string& Ident,
                         std::uint8_t Default);
  bool TryReadTrite(const std::string& Section, const std::string& Ident, std::uint8_t& Value);
  // Replaces the list's lines with copies of the section's lines as they
  // stand; clears it when the section is missing.
  void ReadSectionValues(const std::string& Section, TStringList& List) const;
  // Replaces the list's lines with the section names, in file order
  // (duplicates included): each heading without its brackets.
  void ReadSections(TStringList& List) const;
  // True when a section of that name exists.
  bool SectionExists(const std::string& Section) const;

  // Stores Ident=Value (Ident trimmed, Value as given) in the section,
  // creating the section when missing. An all-blank Value deletes the line.
  // Modified() is set only when something changed. CR, LF and zero bytes in
  // the section name, Ident and Value are stored as blanks, since they
  // would split the line when the file is read again. An Ident that begins
  // with "[" or holds "=" cannot be read back and is not written. Never
  // fails towards the caller.
  void WriteString(const std::string& Section, const std::string& Ident, const std::string& Value);
  // The decimal text of the value (beyond 32 bits too).
  void WriteInteger(const std::string& Section, const std::string& Ident, std::int64_t Value);
  // "1" or "0".
  void WriteBool(const std::string& Section, const std::string& Ident, bool Flag);
  // "y", "n" or "u" for 0, 1 or 2 (other values as 2).
  void WriteTrite(const std::string& Section, const std::string& Ident, std::uint8_t Value);
  // Creates the section when missing and appends every line of the list as
  // it stands (line breaks and zero bytes as blanks; empty lines skipped,
  // as a read would drop them). Sets Modified() when a line was appended.
  void WriteSectionValues(const std::string& Section, const TStringList& List);
  // Removes the section with its lines when present; sets Modified() in
  // every case.
  void EraseSection(const std::string& Section);

 private:
  struct TSection {
    std::string Heading;  // "[" + name + "]" as read or created
    std::vector<std::string> Lines;
  };

  TSection* FindSection(const std::string& Section);
  const TSection* FindSection(const std::string& Section) const;
  // The index of the line named `ident` (already trimmed) in the section,
  // starting the search after `position`; updates `position`. -1 when none.
  static int FindLine(const TSection& section, std::string_view ident, std::int32_t& position);
  // The value of the line for a read, or nullptr when there is none.
  const std::string* FindValueLine(const std::string& Section, const std::string& Ident);
  // The value trimmed of surrounding blanks; false when missing or empty.
  bool TryReadTrimmed(const std::string& Section, const std::string& Ident, std::string& Value);
  void ParseText(std::string_view text);

  std::string FFileName;
  std::vector<TSection> FSections;
  bool FEncrypted = false;
  bool FModified = false;
  bool FProcessMessages = true;
  std::int32_t FLastReadPosition = -1;
  std::int32_t FLastWritePosition = -1;
  // The index of the section the last look-up found; SIZE_MAX for none.
  mutable std::size_t FLastSection = SIZE_MAX;
};

}  // namespace halvorn
