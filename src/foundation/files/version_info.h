// Version information: the reader of version blocks and the program's own
// version and product name.
//
// A version block is what a Windows executable carries as its version
// resource: a fixed record of numbers and flags, a translation table and
// string values per translation. Linux programs carry none, so the block is a
// small in-memory structure of our own (TVersionBlock), handed out by a block
// source. The default source knows one block: the program's own, compiled in
// from the build's project version; every other file has none.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace halvorn {

// The fixed part of a version block.
struct TFixedFileInfo {
  std::uint32_t FileVersionMS = 0;     // major << 16 | minor
  std::uint32_t FileVersionLS = 0;     // release << 16 | build
  std::uint32_t ProductVersionMS = 0;  // as the file version
  std::uint32_t ProductVersionLS = 0;
  std::uint32_t FileFlags = 0;  // the VS_FF_* bits below
};

// File flags of TFixedFileInfo::FileFlags.
inline constexpr std::uint32_t VS_FF_DEBUG = 0x01;
inline constexpr std::uint32_t VS_FF_PRERELEASE = 0x02;
inline constexpr std::uint32_t VS_FF_PATCHED = 0x04;
inline constexpr std::uint32_t VS_FF_PRIVATEBUILD = 0x08;
inline constexpr std::uint32_t VS_FF_INFOINFERRED = 0x10;
inline constexpr std::uint32_t VS_FF_SPECIALBUILD = 0x20;

// One version block. Values are looked up by their query path, exactly as
// written: "\VarFileInfo\Translation" holds the raw translation table (4 bytes
// an entry: language then code page, each 16 bits, low byte first), and
// "\StringFileInfo\<translation>\<key>" a string value.
struct TVersionBlock {
  std::optional<TFixedFileInfo> Fixed;  // the root value "\"; absent: all 0
  std::map<std::string, std::string> Values;
};

// Answers the version block of a file, or nothing when the file has none or
// cannot be read. Must be safe to call from any thread.
using TVersionBlockSource =
    std::function<std::optional<TVersionBlock>(const std::string& fileName)>;

// The default source: the compiled-in block for the program's own file
// (ProgramFilePath), nothing for any other file.
std::optional<TVersionBlock> ReadPlatformVersionBlock(const std::string& fileName);

// The full path of the running program file; empty when it cannot be found.
std::string ProgramFilePath();

// One four-part version of a loaded block.
class TVersionNumberInformation {
 public:
  bool Valid = false;          // false until a block was read
  std::uint32_t MostSig = 0;   // major in the high 16 bits, minor in the low
  std::uint32_t LeastSig = 0;  // release in the high 16 bits, build in the low
  std::string Text;            // the block's matching string value

  // 0 the major, 1 the minor, 2 the release, 3 the build number; 0 for any
  // other index or when not valid.
  std::uint32_t Part(int index) const;
};

// A view of the fixed part of the reader's loaded block: each number is 0 when
// no block (or no fixed part) is loaded.
class TFixedFileVersionInfo {
 public:
  std::uint32_t FileVersionMS() const { return FInfo.FileVersionMS; }
  std::uint32_t FileVersionLS() const { return FInfo.FileVersionLS; }
  std::uint32_t ProductVersionMS() const { return FInfo.ProductVersionMS; }
  std::uint32_t ProductVersionLS() const { return FInfo.ProductVersionLS; }
  std::uint32_t FileFlags() const { return FInfo.FileFlags; }

 private:
  friend class TVersionInfoResource;
  TFixedFileInfo FInfo;
};

// Standard string keys, by index.
enum TVersionKey {
  vkCompanyName,
  vkFileDescription,
  vkFileVersion,
  vkInternalName,
  vkLegalCopyright,
  vkLegalTrademarks,
  vkOriginalFilename,
  vkProductName,
  vkProductVersion,
  vkComments,
  vkBuildFlags,
};

// Reads the version block of one file. Not thread-safe while its file name
// changes; once loaded, its const operations may be called from any thread.
class TVersionInfoResource {
 public:
  // Empty name, no block, both versions invalid, no translations. The source
  // defaults to ReadPlatformVersionBlock.
  explicit TVersionInfoResource(TVersionBlockSource source = {});
  virtual ~TVersionInfoResource() = default;
  TVersionInfoResource(const TVersionInfoResource&) = delete;
  TVersionInfoResource& operator=(const TVersionInfoResource&) = delete;

  virtual std::string GetFileName() const { return FFileName; }
  // Stores the name and reads that file's version block at once.
  void SetFileName(const std::string& fileName);

  // The names of the set file flags, in a fixed order, joined by ", ".
  virtual std::string GetBuildFlags() const;

  // (Re)reads the block of the current file; without one, both versions
  // become invalid and every value is empty.
  virtual void ReadVersionInfo();

  bool HasBlock() const { return FBlock.has_value(); }
  // The string value of a standard key; empty for an index outside 0 to 10.
  std::string GetVersionKey(int index) const;
  // The string value of a key under the selected translation; empty when
  // there is no block or no such value.
  std::string GetVersionKey(const std::string& key) const;

  // Translations, "LLLLCCCC" in upper-case hexadecimal, in table order.
  const std::vector<std::string>& Translations() const { return FTranslations; }
  int TranslationIndex() const { return FTranslationIndex; }
  void SetTranslationIndex(int index) { FTranslationIndex = index; }

  const TFixedFileVersionInfo& FixedInfo() const { return FFixedInfo; }
  const TVersionNumberInformation& FileVersion() const { return FFileVersion; }
  const TVersionNumberInformation& ProductVersion() const { return FProductVersion; }

 private:
  TVersionBlockSource FSource;
  std::string FFileName;
  std::optional<TVersionBlock> FBlock;
  std::vector<std::string> FTranslations;
  int FTranslationIndex = 0;
  TFixedFileVersionInfo FFixedInfo;
  TVersionNumberInformation FFileVersion;
  TVersionNumberInformation FProductVersion;
};

// The packed form of a four-part version: major in the low byte, then minor,
// release and build in the high byte, each cut to its low 8 bits.
std::uint32_t PackVersion(std::uint32_t major, std::uint32_t minor, std::uint32_t release,
                          std::uint32_t build);

// The program's own packed file version (0 when the program has no block).
// Safe from any thread.
std::uint32_t GetPackedVersion();
// The program's "ProductName"; empty when it cannot be read. Any thread.
std::string GetProductName();
// "v" + major "." minor "." release "." build in decimal, with " Beta"
// appended when the major number is 0.
std::string VersionToText(std::uint32_t packed);
// VersionToText(GetPackedVersion()).
std::string GetVersionText();
// Compare packed versions part by part, major first; equal gives false.
bool VersionLess(std::uint32_t a, std::uint32_t b);
bool VersionGreater(std::uint32_t a, std::uint32_t b);

}  // namespace halvorn
