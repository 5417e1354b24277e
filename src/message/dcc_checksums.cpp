#include "message/dcc_checksums.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <shared_mutex>

#include "foundation/app/log.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/version_info.h"
#include "foundation/text/numbers.h"

namespace halvorn {

// ---------------------------------------------------------------------------
// Types and target counts

std::string DccChecksumTypeName(int type) {
  static const char* const kNames[] = {
      "DCC_CK_INVALID",    "DCC_CK_IP",       "DCC_CK_ENV_FROM", "DCC_CK_FROM",
      "DCC_CK_SUB",        "DCC_CK_MESSAGE_ID", "DCC_CK_RECEIVED", "DCC_CK_BODY",
      "DCC_CK_FUZ1",       "DCC_CK_FUZ2",     "DCC_CK_FUZ3",     "DCC_CK_FUZ4",
      "DCC_CK_SRVR_ID",    "DCC_CK_ENV_TO"};
  if (type < 0 || type > DCC_CK_ENV_TO) return "NONEXISTANT TYPE";
  return kNames[type];
}

bool IsSpecialDccTargetCount(std::uint32_t count) {
  return count == DCC_TGTS_TOO_MANY || count == DCC_TGTS_OK || count == DCC_TGTS_OK2 ||
         count == DCC_TGTS_DEL || count == DCC_TGTS_INVALID;
}

std::string DccTargetCountText(std::uint32_t count) {
  switch (count) {
    case DCC_TGTS_TOO_MANY: return "DCC_TGTS_TOO_MANY";
    case DCC_TGTS_OK: return "DCC_TGTS_OK";
    case DCC_TGTS_OK2: return "DCC_TGTS_OK2";
    case DCC_TGTS_DEL: return "DCC_TGTS_DEL";
    case DCC_TGTS_INVALID: return "DCC_TGTS_INVALID";
    default: return std::to_string(count);
  }
}

int CompareDccTargetCounts(std::uint32_t a, std::uint32_t b) {
  constexpr int kAbove = 0, kBelow = 1, kEqual = 2;
  auto isDelOrInvalid = [](std::uint32_t c) { return c == DCC_TGTS_DEL || c == DCC_TGTS_INVALID; };
  if (a == b) return kEqual;
  if (a == DCC_TGTS_TOO_MANY) return kAbove;
  if (a == DCC_TGTS_OK) return kBelow;
  if (a == DCC_TGTS_OK2) return b == DCC_TGTS_OK ? kBelow : kAbove;
  if (isDelOrInvalid(a)) return isDelOrInvalid(b) ? kEqual : kBelow;
  // a is an ordinary count.
  if (b == DCC_TGTS_TOO_MANY) return kBelow;
  if (IsSpecialDccTargetCount(b)) return kAbove;
  return a < b ? kBelow : kAbove;
}

// ---------------------------------------------------------------------------
// 16-byte sums

void ClearDigest16(TDigest16& sum) {
  sum.fill(0);
}

bool IsDigest16Empty(const TDigest16& sum) {
  return std::all_of(sum.begin(), sum.end(), [](std::uint8_t b) { return b == 0; });
}

bool SameDigest16(const TDigest16& a, const TDigest16& b) {
  return a == b;
}

std::string DigestToHex(const TDigest16& sum) {
  return MD5DigestToHex(sum);
}

void HexToDigest(std::string_view text, TDigest16& sum) {
  ClearDigest16(sum);
  for (std::size_t i = 0; i < sum.size() && 2 * i + 1 < text.size(); ++i) {
    const int high = HexDigitValue(static_cast<unsigned char>(text[2 * i]));
    const int low = HexDigitValue(static_cast<unsigned char>(text[2 * i + 1]));
    if (high < 0 || low < 0) return;
    sum[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
}

// ---------------------------------------------------------------------------
// The record

void ClearDccRecord(TDccChecksums& record) {
  record = TDccChecksums{};
}

bool IsDccRecordEmpty(const TDccChecksums& record) {
  static const TDccChecksums kCleared{};
  return std::memcmp(&record, &kCleared, sizeof record) == 0;
}

namespace {

// The 0-based index of the first slot holding the type; -1 when none.
int FindSlot(int type, const TDccChecksums& record) {
  for (int i = 0; i < kDccSlotCount; ++i) {
    if (record.Slots[i].Type == type) return i;
  }
  return -1;
}

}  // namespace

void GetDccSum(int type, const TDccChecksums& record, TDigest16& sum) {
  const int i = FindSlot(type, record);
  if (i < 0) {
    ClearDigest16(sum);
  } else {
    sum = record.Slots[i].Sum;
  }
}

void SetDccSum(int type, const TDigest16& sum, TDccChecksums& record) {
  if (type < 1 || type > 255) return;
  int i = FindSlot(type, record);
  if (i < 0 && type < kDccSlotCount && record.Slots[type].Type == DCC_CK_INVALID) i = type;
  if (i < 0) i = FindSlot(DCC_CK_INVALID, record);
  if (i < 0) return;
  record.Slots[i].Type = static_cast<std::uint8_t>(type);
  record.Slots[i].Sum = sum;
}

int IndexOfDccSum(int type, const TDccChecksums& record) {
  return FindSlot(type, record) + 1;
}

std::uint32_t GetDccTargetCount(int type, const TDccChecksums& record) {
  const int i = FindSlot(type, record);
  return i < 0 ? DCC_TGTS_INVALID : record.Slots[i].TargetCount;
}

bool RemoveDccSum(int type, TDccChecksums& record) {
  const int i = FindSlot(type, record);
  if (i < 0) return false;
  record.Slots[i].Type = DCC_CK_INVALID;
  record.Slots[i].TargetCount = DCC_TGTS_INVALID;
  ClearDigest16(record.Slots[i].Sum);
  return true;
}

bool SameDccRecord(const TDccChecksums& a, const TDccChecksums& b) {
  for (int i = 0; i < kDccSlotCount; ++i) {
    if (a.Slots[i].Type != b.Slots[i].Type || a.Slots[i].Sum != b.Slots[i].Sum) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The library binding

namespace {

// Guards the handle and the folder. Calls into the library hold it shared,
// so unloading waits for them; loading and unloading hold it alone.
std::shared_mutex gMutex;
void* gHandle = nullptr;
std::string gFolderOverride;

// Tries the program's folder, then the install folder; the caller holds
// gMutex alone. On failure `error` says why the last attempt failed.
bool LoadLocked(std::string& error) {
  if (gHandle != nullptr) return true;
  const std::string first = gFolderOverride.empty()
                                ? std::filesystem::path(ProgramFilePath()).parent_path().string()
                                : gFolderOverride;
  for (const std::string& folder : {first, GetInstallDir()}) {
    const std::string path = folder + "/" + kDccLibraryFileName;
    gHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (gHandle != nullptr) return true;
    const char* why = dlerror();
    error = why != nullptr ? why : path;
  }
  return false;
}

void FreeLocked() {
  if (gHandle == nullptr) return;
  dlclose(gHandle);
  gHandle = nullptr;
}

// Loads the library when needed and calls `call` with the export, holding
// gMutex shared so the library stays loaded during the call. False when the
// library or the export is missing; otherwise what `call` answers.
template <typename Fn, typename Call>
bool WithExport(const char* name, Call call) {
  if (!LoadDccLibrary()) return false;
  std::shared_lock<std::shared_mutex> lock(gMutex);
  if (gHandle == nullptr) return false;  // unloaded in between
  auto fn = reinterpret_cast<Fn>(dlsym(gHandle, name));
  if (fn == nullptr) return false;
  return call(fn);
}

// Finishes a computation into a scratch record to end it; uses the library
// only when it is still loaded, and never raises (it runs while unwinding).
void AbandonComputation(std::uint32_t& context) noexcept {
  std::shared_lock<std::shared_mutex> lock(gMutex);
  if (gHandle == nullptr) return;
  if (auto fn = reinterpret_cast<TDccFinalizeFn>(dlsym(gHandle, "DccFinalize"))) {
    TDccChecksums scratch;
    fn(&scratch, &context);
  }
}

}  // namespace

bool LoadDccLibrary() {
  {
    std::shared_lock<std::shared_mutex> lock(gMutex);
    if (gHandle != nullptr) return true;
  }
  std::unique_lock<std::shared_mutex> lock(gMutex);
  std::string error;
  return LoadLocked(error);
}

void FreeDccLibrary() {
  std::unique_lock<std::shared_mutex> lock(gMutex);
  FreeLocked();
}

void StartDccChecksumsModule() {
  std::string error;
  {
    std::unique_lock<std::shared_mutex> lock(gMutex);
    FreeLocked();
    if (LoadLocked(error)) return;
  }
  // Logged outside the lock; the DCC test and the main window tell the user.
  Log("DCC", "The checksum library could not be loaded: " + error, 9, false);
}

void EndDccChecksumsModule() {
  FreeDccLibrary();
}

bool CallDccInit(std::uint32_t& context) {
  return WithExport<TDccInitFn>("DccInit", [&](TDccInitFn fn) { return fn(&context) == 0; });
}

bool CallDccChecksumLine(std::string_view line, std::uint32_t context) {
  std::string text;
  text.reserve(line.size() + 1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n') continue;
    text += line[i];
  }
  text += '\n';
  return WithExport<TDccChecksumLineFn>("DccChecksumLine", [&](TDccChecksumLineFn fn) {
    fn(text.c_str(), context);
    return true;
  });
}

bool CallDccFinalize(TDccChecksums& record, std::uint32_t& context) {
  return WithExport<TDccFinalizeFn>(
      "DccFinalize", [&](TDccFinalizeFn fn) { return fn(&record, &context) == 0; });
}

bool ComputeDccChecksums(const TStringList& lines, TDccChecksums& record) {
  ClearDccRecord(record);
  std::uint32_t context = 0;
  if (!CallDccInit(context)) return false;

  // Ends the computation when it was not finished (a missing export, or an
  // exception such as an abandoned thread unwinding), so the library does not
  // keep its state for good.
  struct TOpenComputation {
    std::uint32_t& Context;
    bool Open = true;
    ~TOpenComputation() {
      if (Open) AbandonComputation(Context);
    }
  } open{context};

  for (int i = 0; i < lines.Count(); ++i) {
    if (!CallDccChecksumLine(lines[i], context)) return false;
  }
  open.Open = false;
  TDccChecksums result;
  if (!CallDccFinalize(result, context)) return false;
  record = result;
  return true;
}

void SetDccFolderForTests(const std::string& folder) {
  std::unique_lock<std::shared_mutex> lock(gMutex);
  FreeLocked();
  gFolderOverride = folder;
}

}  // namespace halvorn
