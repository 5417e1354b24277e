#include "foundation/files/version_info.h"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <vector>

#include "build_version.h"

namespace halvorn {

namespace {

const char* const kStandardKeys[] = {"CompanyName",      "FileDescription", "FileVersion",
                                     "InternalName",     "LegalCopyright",  "LegalTrademarks",
                                     "OriginalFilename", "ProductName",     "ProductVersion",
                                     "Comments",         "BuildFlags"};

// The translation used when the block's table is missing or empty: US
// English, Windows Latin-1.
const char* const kDefaultTranslation = "040904E4";

std::string Hex4(unsigned value) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%.4X", value & 0xFFFF);
  return buffer;
}

unsigned Word(const std::string& bytes, std::size_t at) {
  unsigned low = static_cast<unsigned char>(bytes[at]);
  unsigned high = at + 1 < bytes.size() ? static_cast<unsigned char>(bytes[at + 1]) : 0;
  return low | high << 8;
}

TVersionBlock CompiledInBlock() {
  std::uint32_t ms = std::uint32_t{HALVORN_VERSION_MAJOR} << 16 | HALVORN_VERSION_MINOR;
  std::uint32_t ls = std::uint32_t{HALVORN_VERSION_RELEASE} << 16 | HALVORN_VERSION_BUILD;
  TVersionBlock block;
  TFixedFileInfo fixed;
  fixed.FileVersionMS = fixed.ProductVersionMS = ms;
  fixed.FileVersionLS = fixed.ProductVersionLS = ls;
#ifndef NDEBUG
  fixed.FileFlags = VS_FF_DEBUG;
#endif
  block.Fixed = fixed;
  // One translation: 0409 (US English), code page 04E4 (1252).
  block.Values["\\VarFileInfo\\Translation"] = std::string("\x09\x04\xE4\x04", 4);
  std::string version =
      std::to_string(HALVORN_VERSION_MAJOR) + "." + std::to_string(HALVORN_VERSION_MINOR) + "." +
      std::to_string(HALVORN_VERSION_RELEASE) + "." + std::to_string(HALVORN_VERSION_BUILD);
  const std::string prefix = std::string("\\StringFileInfo\\") + kDefaultTranslation + "\\";
  block.Values[prefix + "ProductName"] = HALVORN_PRODUCT_NAME;
  block.Values[prefix + "FileDescription"] = HALVORN_PRODUCT_NAME " e-mail protection";
  block.Values[prefix + "InternalName"] = "halvorn";
  block.Values[prefix + "OriginalFilename"] = "halvorn";
  block.Values[prefix + "FileVersion"] = version;
  block.Values[prefix + "ProductVersion"] = version;
  return block;
}

}  // namespace

std::string ProgramFilePath() {
  std::vector<char> buffer(4096);
  ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return {};
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

std::optional<TVersionBlock> ReadPlatformVersionBlock(const std::string& fileName) {
  if (fileName.empty() || fileName != ProgramFilePath()) return std::nullopt;
  return CompiledInBlock();
}

std::uint32_t TVersionNumberInformation::Part(int index) const {
  if (!Valid) return 0;
  switch (index) {
    case 0:
      return MostSig >> 16;
    case 1:
      return MostSig & 0xFFFF;
    case 2:
      return LeastSig >> 16;
    case 3:
      return LeastSig & 0xFFFF;
    default:
      return 0;
  }
}

TVersionInfoResource::TVersionInfoResource(TVersionBlockSource source)
    : FSource(source ? std::move(source) : TVersionBlockSource(ReadPlatformVersionBlock)) {}

void TVersionInfoResource::SetFileName(const std::string& fileName) {
  FFileName = fileName;
  ReadVersionInfo();
}

void TVersionInfoResource::ReadVersionInfo() {
  FTranslations.clear();
  FFixedInfo = TFixedFileVersionInfo();
  FBlock.reset();
  FFileVersion = TVersionNumberInformation();
  FProductVersion = TVersionNumberInformation();

  std::optional<TVersionBlock> block;
  try {
    block = FSource(GetFileName());
  } catch (const std::exception&) {
    block.reset();  // an unreadable file is a file without a block
  }
  if (!block) return;
  FBlock = std::move(block);
  if (FBlock->Fixed) FFixedInfo.FInfo = *FBlock->Fixed;

  auto table = FBlock->Values.find("\\VarFileInfo\\Translation");
  if (table != FBlock->Values.end()) {
    const std::string& bytes = table->second;
    for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4)
      FTranslations.push_back(Hex4(Word(bytes, at)) + Hex4(Word(bytes, at + 2)));
    // A stub table too short for one entry still names a code page; a
    // one-byte table gives only its low byte.
    if (!bytes.empty() && bytes.size() < 4) FTranslations.push_back("0409" + Hex4(Word(bytes, 0)));
  }
  if (FTranslationIndex < 0 || FTranslationIndex >= static_cast<int>(FTranslations.size()))
    FTranslationIndex = 0;

  FFileVersion.Valid = true;
  FFileVersion.MostSig = FFixedInfo.FileVersionMS();
  FFileVersion.LeastSig = FFixedInfo.FileVersionLS();
  FFileVersion.Text = GetVersionKey(vkFileVersion);
  FProductVersion.Valid = true;
  FProductVersion.MostSig = FFixedInfo.ProductVersionMS();
  FProductVersion.LeastSig = FFixedInfo.ProductVersionLS();
  FProductVersion.Text = GetVersionKey(vkProductVersion);
}

std::string TVersionInfoResource::GetVersionKey(int index) const {
  if (index < 0 || index > vkBuildFlags) return {};
  return GetVersionKey(std::string(kStandardKeys[index]));
}

std::string TVersionInfoResource::GetVersionKey(const std::string& key) const {
  if (!FBlock) return {};
  std::string translation =
      FTranslationIndex >= 0 && FTranslationIndex < static_cast<int>(FTranslations.size())
          ? FTranslations[FTranslationIndex]
          : kDefaultTranslation;
  auto it = FBlock->Values.find("\\StringFileInfo\\" + translation + "\\" + key);
  return it == FBlock->Values.end() ? std::string() : it->second;
}

std::string TVersionInfoResource::GetBuildFlags() const {
  static const struct {
    std::uint32_t flag;
    const char* name;
  } kFlags[] = {{VS_FF_DEBUG, "Debug"},          {VS_FF_INFOINFERRED, "Info Inferred"},
                {VS_FF_PATCHED, "Patched"},      {VS_FF_PRERELEASE, "Pre-Release"},
                {VS_FF_PRIVATEBUILD, "Private"}, {VS_FF_SPECIALBUILD, "Special"}};
  std::string text;
  for (const auto& f : kFlags) {
    if ((FFixedInfo.FileFlags() & f.flag) == 0) continue;
    if (!text.empty()) text += ", ";
    text += f.name;
  }
  return text;
}

std::uint32_t PackVersion(std::uint32_t major, std::uint32_t minor, std::uint32_t release,
                          std::uint32_t build) {
  return (major & 0xFF) | (minor & 0xFF) << 8 | (release & 0xFF) << 16 | (build & 0xFF) << 24;
}

namespace {

// The one reader of the program's own file, made on first use and kept until
// the program ends; read-only once made, so any thread may use it.
const TVersionInfoResource& OwnVersionInfo() {
  static const TVersionInfoResource* reader = [] {
    auto* r = new TVersionInfoResource();
    r->SetFileName(ProgramFilePath());
    return r;
  }();
  return *reader;
}

}  // namespace

std::uint32_t GetPackedVersion() {
  const TVersionNumberInformation& v = OwnVersionInfo().FileVersion();
  return PackVersion(v.Part(0), v.Part(1), v.Part(2), v.Part(3));
}

std::string GetProductName() {
  return OwnVersionInfo().GetVersionKey(vkProductName);
}

std::string VersionToText(std::uint32_t packed) {
  unsigned major = packed & 0xFF;
  std::string text = "v" + std::to_string(major) + "." + std::to_string(packed >> 8 & 0xFF) + "." +
                     std::to_string(packed >> 16 & 0xFF) + "." + std::to_string(packed >> 24);
  if (major == 0) text += " Beta";
  return text;
}

std::string GetVersionText() {
  return VersionToText(GetPackedVersion());
}

namespace {

// The packed parts rearranged so that plain comparison orders major first.
std::uint32_t Ordered(std::uint32_t packed) {
  return (packed & 0xFF) << 24 | (packed >> 8 & 0xFF) << 16 | (packed >> 16 & 0xFF) << 8 |
         packed >> 24;
}

}  // namespace

bool VersionLess(std::uint32_t a, std::uint32_t b) {
  return Ordered(a) < Ordered(b);
}
bool VersionGreater(std::uint32_t a, std::uint32_t b) {
  return Ordered(a) > Ordered(b);
}

}  // namespace halvorn
