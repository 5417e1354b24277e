#include "message/email_msg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "foundation/files/file_helpers.h"
#include "foundation/app/log.h"
#include "foundation/files/atomic_file.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/unique_paths.h"
#include "foundation/text/text_helpers.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/crypto/random_source.h"
#include "foundation/time/clock.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "EmailMsg";
// The size field of a message is 32-bit: no message file is read beyond it.
constexpr std::size_t kMaxMessageFileBytes = static_cast<std::size_t>(INT32_MAX);

// ---------------------------------------------------------------------------
// Claim owners

std::mutex gOwnersMutex;
std::unordered_set<TClaimOwner> gLiveOwners;
TClaimOwner gLastOwner = kNoClaimOwner;

// ---------------------------------------------------------------------------
// Helpers

std::int32_t ClampSize(std::int64_t size) {
  return size > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(size);
}

// The octets the lines make with CR LF after each.
std::int64_t LinesSize(const TStringList& lines) {
  std::int64_t size = 0;
  for (int i = 0; i < lines.Count(); ++i) size += static_cast<std::int64_t>(lines[i].size()) + 2;
  return size;
}

void AppendLinesWithCrLf(const TStringList& lines, std::string& out) {
  out.reserve(out.size() + static_cast<std::size_t>(LinesSize(lines)));
  for (int i = 0; i < lines.Count(); ++i) {
    out += lines[i];
    out += "\r\n";
  }
}

// The head of a message file: its property line (without the line break;
// empty when the file has none) and the message size (the file length less
// that line with its line break). False when the file cannot be read. Only
// the first line is read.
bool ReadFileHead(const std::string& path, std::string& propertyLine, std::int64_t& size) {
  propertyLine.clear();
  size = -1;
  if (path.empty()) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  std::string head;
  std::size_t end = std::string::npos;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
    if (head.size() >= 8 && head.rfind(kPropertyLinePrefix, 0) != 0) break;
    end = head.find_first_of("\r\n");
    // A CR at the end of what was read may be the first half of CR LF.
    if (end != std::string::npos && (head[end] == '\n' || end + 1 < head.size())) break;
  }
  ::close(fd);
  const std::int64_t total = st.st_size;
  if (head.rfind(kPropertyLinePrefix, 0) != 0) {
    size = total;
    return true;
  }
  if (end == std::string::npos) {  // the file is its property line
    propertyLine = head;
    size = 0;
    return true;
  }
  propertyLine = head.substr(0, end);
  const std::size_t lineBytes = end + (head.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  size = total - static_cast<std::int64_t>(lineBytes);
  return true;
}

// The message size of a file the program wrote (see ReadFileHead); -1 when
// it cannot be read.
std::int64_t FileMessageSize(const std::string& path) {
  std::string line;
  std::int64_t size = -1;
  return ReadFileHead(path, line, size) ? size : -1;
}

// Side record files are small; anything larger is not read for the index.
constexpr std::size_t kMaxIndexRecordBytes = 1024 * 1024;

// A non-negative decimal Id, or the default.
std::int32_t IdOrDefault(const std::string& text, std::int32_t fallback) {
  if (text.empty() || text.size() > 10) return fallback;
  std::int64_t value = 0;
  for (char c : text) {
    if (!IsDigitChar(static_cast<unsigned char>(c))) return fallback;
    value = value * 10 + (c - '0');
  }
  return value > INT32_MAX ? fallback : static_cast<std::int32_t>(value);
}

void CopyInfoContent(const TEmailInfo& from, TEmailInfo& to) {
  for (int key = 0; key < kEmailInfoKeyCount; ++key)
    to.SetValue(static_cast<TEmailInfoKey>(key), from.Value(static_cast<TEmailInfoKey>(key)));
  const std::string working = from.WorkingCategory();
  if (!working.empty()) to.SetWorkingCategory(IdOrDefault(working, 0));
  to.SetQCHMsgId(from.QCHMsgId());
  to.SetStandardTests(from.StandardTests());
  to.SetUrls(from.Urls());
  to.SetDangerLevel(from.DangerLevel());
  to.SetBannedPhrases(from.BannedPhrases());
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

void LogMessageFailure(const char* what, const std::string& reason) {
  Log(kLogService, std::string(what) + " failed: " + reason, 5, true);
}

// ---------------------------------------------------------------------------
// Claim owners

TClaimOwner RegisterClaimOwner() {
  std::lock_guard<std::mutex> lock(gOwnersMutex);
  const TClaimOwner owner = ++gLastOwner;
  gLiveOwners.insert(owner);
  return owner;
}

void UnregisterClaimOwner(TClaimOwner owner) {
  std::lock_guard<std::mutex> lock(gOwnersMutex);
  gLiveOwners.erase(owner);
}

bool IsClaimOwnerValid(TClaimOwner owner) {
  if (owner == kNoClaimOwner) return false;
  std::lock_guard<std::mutex> lock(gOwnersMutex);
  return gLiveOwners.count(owner) != 0;
}

// ---------------------------------------------------------------------------
// Creation and destruction

// Marks the calling thread as the one whose parse fills the headers, for one
// scope.
class TParsingMark {
 public:
  explicit TParsingMark(std::atomic<platform::ThreadId>& mark) : FMark(mark) {
    FMark.store(platform::CurrentThreadId());
  }
  ~TParsingMark() { FMark.store(0); }
  TParsingMark(const TParsingMark&) = delete;
  TParsingMark& operator=(const TParsingMark&) = delete;

 private:
  std::atomic<platform::ThreadId>& FMark;
};

TEmailMsg::TMsgGuard::TMsgGuard(TMutexCriticalSection& lock) : FLock(lock) {
  if (AccountLocksHeldByThisThread() > 0 && !(FLock.IsEntered() &&
                                               FLock.OwnerThreadId() == platform::CurrentThreadId()))
    throw std::logic_error("A message lock was asked for while holding an account lock");
  FLock.Enter();
}

TEmailMsg::TEmailMsg() {
  FParts = std::make_unique<TEmailMsgPartCollection>(this);
  FHeader = new TEmailHeader(this);
  FHeader->SetOwnerPlace(FHeader, nullptr, 0);
}

TEmailMsgRef TEmailMsg::Create(TEmailMsgListBase* queue) {
  TEmailMsgRef msg(new TEmailMsg());
  {
    std::lock_guard<std::mutex> lock(msg->FInfoLock);
    AcquireNewEmailInfo(msg->FInfo, msg->weak_from_this());
  }
  {
    // A new message's record is its own: nothing to read.
    std::lock_guard<std::mutex> lock(msg->FIndexLock);
    msg->FIndex.Known = true;
  }
  if (queue != nullptr) queue->Add(msg);
  return msg;
}

TEmailMsg::~TEmailMsg() {
  try {
    RunDestroyRules();
  } catch (const std::exception& e) {
    Log(kLogService, "Destroying " + FFileName + ": " + e.what(), 5, true);
  } catch (...) {
    Log(kLogService, "Destroying " + FFileName + " failed", 5, true);
  }
  try {
    if (FAddressCheckThread && !WaitThreadWithTimeout(FAddressCheckThread, 1000, true)) {
      TCriticalSectionGuard guard(ThreadListLock());
      TQuorThread* thread = nullptr;
      if (FindThreadByHandle(FAddressCheckThread, thread)) KillThread(thread);
    }
  } catch (...) {
    // The check thread is abandoned or gone either way.
    Log(kLogService, "Destroying " + FFileName + ": the address check thread was not waited for", 5,
        true);
  }
  FAddressCheckThread.reset();
  try {
    FParts.reset();
    std::vector<TEmailHeader*> headers;
    {
      TMsgGuard guard(FLock);
      headers.swap(FHeaders);
    }
    for (TEmailHeader* header : headers) delete header;
    FHeader = nullptr;
  } catch (...) {
    Log(kLogService, "Could not free the parse of " + FFileName, 5, true);
  }
  std::lock_guard<std::mutex> lock(FInfoLock);
  ReleaseEmailInfo(FInfo);
}

void TEmailMsg::RunDestroyRules() {
  TMsgGuard guard(FLock);
  SetList(nullptr);
  // Only the message's own file goes: a file another writer put under a
  // name this message drew but never wrote is someone else's mail.
  if (FFlaggedDeleted.load()) {
    DropStagedLocked();
    if (FFileIsOurs && !FFileName.empty()) RemoveFileInBatch(FFileName);
    return;
  }
  if (!FSaveChanges.load()) {
    EnsureLoadedLocked();
    if (!FProperties.Values(kPropFailureNotice).empty()) {
      DropStagedLocked();
      if (FFileIsOurs && !FFileName.empty()) RemoveFileInBatch(FFileName);
      return;
    }
  }
  if (FChanged.load() && FSaveChanges.load()) {
    SaveToFile();
  } else if (IsLoadedLocked() && !FileExists(FFileName)) {
    SaveToFile();
  }
}

// ---------------------------------------------------------------------------
// The header owner's side

void TEmailMsg::RegisterHeader(TEmailHeader* header) {
  TMsgGuard guard(FLock);
  if (std::find(FHeaders.begin(), FHeaders.end(), header) == FHeaders.end())
    FHeaders.push_back(header);
}

void TEmailMsg::UnregisterHeader(TEmailHeader* header) {
  TMsgGuard guard(FLock);
  const auto found = std::find(FHeaders.begin(), FHeaders.end(), header);
  if (found != FHeaders.end()) FHeaders.erase(found);
}

void TEmailMsg::HeaderChanged() noexcept {
  try {
    const platform::ThreadId parsing = FParsingThread.load();
    if (parsing != 0 && parsing == platform::CurrentThreadId()) return;
  } catch (...) {
    // Without the thread's id the notice counts as a change.
  }
  SetChanged(true);
}

// ---------------------------------------------------------------------------
// File and queue

std::string TEmailMsg::GetFileName() const {
  TMsgGuard guard(FLock);
  return FFileName;
}

void TEmailMsg::SetFileName(const std::string& path) {
  TMsgGuard guard(FLock);
  FFileName = path;
  // A file that lies under the name is the message's (a queue names the
  // files it found); a free name is not yet, and its first write must not
  // replace a file another writer put there meanwhile.
  FFileIsOurs = FileExists(path);
  FHeadKnown = false;
  // The file's side record is not read yet: the index waits for it.
  if (FFileIsOurs && !IsLoadedLocked()) {
    std::lock_guard<std::mutex> lock(FIndexLock);
    FIndex = TIndexEntry{};
  }
}

bool TEmailMsg::MoveFileTo(const std::function<std::string()>& drawPath) {
  TMsgGuard guard(FLock);
  if (TDurabilityBatch* batch = CurrentDurabilityBatch()) {
    // The move happens at the batch's commit, together with a save staged
    // before or after it: the file never lies in its new queue with the old
    // content.
    const std::string onDisk = FileOnDiskLocked();
    if (FStaged && FStaged->State == TStagedFile::Pending) {
      const std::string target = drawPath ? drawPath() : std::string();
      if (target.empty()) return false;
      TDurabilityBatch::Retarget(FStaged, target, onDisk, drawPath);
      if (FStaged->State != TStagedFile::Pending) FStaged.reset();
      if (onDisk.empty()) FFileName = target;
      return true;
    }
    if (onDisk.empty() || !FileExists(onDisk)) return true;
    const std::string target = drawPath ? drawPath() : std::string();
    if (target.empty()) return false;
    if (target == onDisk) return true;
    WatchStaged(batch->StageMove(onDisk, target, drawPath));
    return true;
  }
  if (!FileExists(FFileName)) return true;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string target = drawPath ? drawPath() : std::string();
    if (target.empty()) return false;
    if (target == FFileName) return true;
    const int error = RenameFileInBatch(FFileName, target, false);
    if (error == 0) {
      FFileName = target;
      FFileIsOurs = true;
      return true;
    }
    if (error != EEXIST) {
      Log(kLogService,
          "Could not move " + FFileName + " to " + target + ": " + std::strerror(error), 5, true);
      return false;
    }
  }
  return false;
}

bool TEmailMsg::HasStagedFile() const {
  TMsgGuard guard(FLock);
  return FStaged && FStaged->State == TStagedFile::Pending;
}

std::string TEmailMsg::FileOnDiskLocked() const {
  return FFileIsOurs ? FFileName : std::string();
}

void TEmailMsg::WatchStaged(const TStagedFileRef& staged) {
  FStaged = staged;
  if (!staged) return;
  std::weak_ptr<TEmailMsg> self = weak_from_this();
  std::weak_ptr<TStagedFile> watched = staged;
  staged->OnPlaced = [self, watched](const std::string& placed) {
    TEmailMsgRef msg = self.lock();
    TStagedFileRef file = watched.lock();
    if (msg && file) msg->StagedFilePlaced(file, placed);
  };
}

void TEmailMsg::StagedFilePlaced(const TStagedFileRef& staged, const std::string& placed) {
  TMsgGuard guard(FLock);
  // A later staging took its place: that one tells.
  if (FStaged != staged) return;
  FStaged.reset();
  if (placed.empty()) {
    // The disk keeps what it had: what was to be written still is unsaved.
    if (!staged->TempPath.empty()) FChanged.store(true);
    if (!FFileIsOurs) FFileName.clear();
    return;
  }
  FFileName = placed;
  FFileIsOurs = true;
}

void TEmailMsg::DropStagedLocked() {
  if (!FStaged) return;
  TDurabilityBatch::Unstage(FStaged);
  FStaged.reset();
  if (!FFileIsOurs) FFileName.clear();
}

void TEmailMsg::SetParseOnLoad(bool value) {
  TMsgGuard guard(FLock);
  FParseOnLoad = value;
}

void TEmailMsg::SetEnsureTextPart(bool value) {
  TMsgGuard guard(FLock);
  FEnsureTextPart = value;
}

void TEmailMsg::SetParseAttachedMessages(bool value) {
  TMsgGuard guard(FLock);
  FParseAttachedMessages = value;
}

// ---------------------------------------------------------------------------
// Content

bool TEmailMsg::IsLoadedLocked() const {
  return FParsed || !FRawLines.Empty();
}

bool TEmailMsg::IsLoaded() {
  TMsgGuard guard(FLock);
  return IsLoadedLocked();
}

bool TEmailMsg::EnsureLoaded() {
  TMsgGuard guard(FLock);
  return EnsureLoadedLocked();
}

bool TEmailMsg::EnsureLoadedLocked() {
  if (IsLoadedLocked()) return true;
  if (FFileName.empty()) return false;
  return ReadFromFileLocked(FFileName) && IsLoadedLocked();
}

bool TEmailMsg::EnsureHeadLocked() {
  if (IsLoadedLocked() || FHeadKnown) return true;
  return EnsureLoadedLocked();
}

void TEmailMsg::EnsureParsedLocked() {
  if (FParsed) return;
  // A file that cannot be read is tried again next time: an empty parse
  // would later be saved over the name.
  if (!IsLoadedLocked() && !FFileName.empty() && !ReadFromFileLocked(FFileName)) return;
  if (!FParsed) ParseLocked(FRawLines);
}

TEmailHeader* TEmailMsg::GetHeader() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  return FHeader;
}

TEmailMsgPartCollection& TEmailMsg::GetParts() {
  TMsgGuard guard(FLock);
  EnsureParsedLocked();
  return *FParts;
}

TStringList TEmailMsg::GetProperties() {
  TMsgGuard guard(FLock);
  EnsureHeadLocked();
  return FProperties;
}

std::string TEmailMsg::GetProperty(const std::string& name) {
  TMsgGuard guard(FLock);
  EnsureHeadLocked();
  return FProperties.Values(name);
}

void TEmailMsg::SetPropertyLocked(const std::string& name, const std::string& value) {
  EnsureLoadedLocked();
  if (FProperties.Values(name) == value) return;
  FProperties.SetValue(name, value);
  SetChanged(true);
  if (name == kPropStartedProcessing || name == kPropExceptedProcessing) RefreshIndexLocked();
}

void TEmailMsg::SetProperty(const std::string& name, const std::string& value) {
  TMsgGuard guard(FLock);
  SetPropertyLocked(name, value);
  if (name == kPropSendTime) FSendTime = 0;
}

bool TEmailMsg::ReadFromFile(const std::string& path) {
  TMsgGuard guard(FLock);
  CheckAccess("ReadFromFile");
  return ReadFromFileLocked(path);
}

bool TEmailMsg::ReadFromFileLocked(const std::string& path) {
  FFileName = path;
  // The file named is the message's, also when it cannot be read now; a
  // missing one is not, and a later first save must not replace a file
  // another writer puts there meanwhile.
  FFileIsOurs = FileExists(path);
  FHeadKnown = false;
  if (!FFileIsOurs) return false;
  return FalseOnFailure("Reading a message file", [&] {
    std::string bytes;
    const std::string error = ReadFileBytes(path, kMaxMessageFileBytes, bytes, "message file");
    if (!error.empty()) {
      Log(kLogService, error, 5, true);
      return false;
    }
    return LoadLocked(bytes);
  });
}

bool TEmailMsg::LoadFromStream(const std::string& bytes) {
  TMsgGuard guard(FLock);
  CheckAccess("LoadFromStream");
  return LoadLocked(bytes);
}

bool TEmailMsg::LoadLocked(const std::string& bytes) {
  Heartbeat("", -1, -1);
  FCheckSums.clear();
  if (FParsed) ClearParsedLocked();
  FRawLines.SetText(bytes);
  FProperties.Clear();
  if (!FRawLines.Empty() && FRawLines[0].rfind(kPropertyLinePrefix, 0) == 0) {
    FProperties.SetCommaText(std::string_view(FRawLines[0]).substr(7));
    FRawLines.Delete(0);
  }
  FSendTime = 0;
  FUrlCache.reset();
  FWordCache.reset();
  FTestCache.reset();
  FUriDomains.reset();
  SwitchInfo(IdOrDefault(FProperties.Values(kPropContentId), GetContentId()));
  FSize.store(ClampSize(LinesSize(FRawLines)));
  FHeadKnown = true;
  RefreshIndexLocked();
  bool answer = true;
  if (FParseOnLoad) answer = ParseLocked(FRawLines);
  FChanged.store(false);
  return answer;
}

// ---------------------------------------------------------------------------
// The index

TEmailMsg::TIndexEntry TEmailMsg::IndexEntry() const {
  std::lock_guard<std::mutex> lock(FIndexLock);
  return FIndex;
}

void TEmailMsg::RefreshIndexLocked() {
  // A record that is not yet the file's (a message not read) says nothing.
  if (!IsLoadedLocked() && !FHeadKnown && FFileIsOurs) return;
  TIndexEntry entry;
  {
    std::lock_guard<std::mutex> lock(FInfoLock);
    if (FInfo != nullptr) {
      entry.Uidl = FInfo->Value(TEmailInfoKey::UIDL);
      entry.AccountId = FInfo->Value(TEmailInfoKey::RemoteAccountId);
    }
  }
  entry.StartedMark = FProperties.Values(kPropStartedProcessing);
  entry.Excepted = !FProperties.Values(kPropExceptedProcessing).empty();
  entry.Known = true;
  std::lock_guard<std::mutex> lock(FIndexLock);
  FIndex = std::move(entry);
}

bool TEmailMsg::ReadIndexFromFile() {
  std::string path;
  {
    TMsgGuard guard(FLock);
    if (IsLoadedLocked() || FHeadKnown) {
      RefreshIndexLocked();
      return true;
    }
    path = FFileName;
  }
  std::string propertyLine;
  std::int64_t size = -1;
  if (!ReadFileHead(path, propertyLine, size)) return false;
  TIndexEntry entry;
  entry.Known = true;
  if (!propertyLine.empty()) {
    TStringList properties;
    properties.SetCommaText(std::string_view(propertyLine).substr(7));
    entry.StartedMark = properties.Values(kPropStartedProcessing);
    entry.Excepted = !properties.Values(kPropExceptedProcessing).empty();
    const std::int32_t id = IdOrDefault(properties.Values(kPropContentId), -1);
    std::string record;
    if (id >= 0 && ReadFileBytes(EmailInfoDir() + "/" + std::to_string(id) + ".dat",
                                 kMaxIndexRecordBytes, record)
                       .empty()) {
      TStringList lines;
      lines.SetText(record);
      entry.Uidl = lines.Values(EmailInfoKeyName(TEmailInfoKey::UIDL));
      entry.AccountId = lines.Values(EmailInfoKeyName(TEmailInfoKey::RemoteAccountId));
    }
  }
  TMsgGuard guard(FLock);
  // Read meanwhile, or pointed elsewhere: the message knows better now.
  if (IsLoadedLocked() || FHeadKnown || FFileName != path) return true;
  if (FSize.load() < 0) FSize.store(ClampSize(size));
  std::lock_guard<std::mutex> lock(FIndexLock);
  FIndex = std::move(entry);
  return true;
}

void TEmailMsg::SwitchInfo(std::int32_t id) {
  std::lock_guard<std::mutex> lock(FInfoLock);
  SwitchEmailInfo(FInfo, id, weak_from_this());
}

void TEmailMsg::MoveToFreshInfo() {
  std::lock_guard<std::mutex> lock(FInfoLock);
  if (FInfo->RefCount() <= 1) {
    FInfo->NewId();
    return;
  }
  // Borrowers of the old Id keep their record as it is.
  TEmailInfo* fresh = nullptr;
  AcquireNewEmailInfo(fresh, weak_from_this());
  CopyInfoContent(*FInfo, *fresh);
  TEmailInfo* old = FInfo;
  FInfo = fresh;
  ReleaseEmailInfo(old);
}

bool TEmailMsg::SaveToFile() {
  TMsgGuard guard(FLock);
  // A message flagged deleted is on its way out: writing now could bring an
  // obliterated message back into its queue.
  if (FFlaggedDeleted.load()) return false;
  if (!IsLoadedLocked()) return true;
  const bool wasChanged = FChanged.load();
  TDurabilityBatch* batch = CurrentDurabilityBatch();
  const bool saved = FalseOnFailure("Saving a message", [&] {
    std::string bytes;
    const bool answer = SaveToStreamLocked(bytes);
    std::string error;
    if (batch != nullptr) {
      error = StageSaveLocked(*batch, bytes);
    } else if (FFileIsOurs && !FFileName.empty()) {
      DropStagedLocked();
      error = WriteFileAtomically(FFileName, bytes);
    } else {
      DropStagedLocked();
      const std::string first = FFileName.empty() ? DrawFilePathLocked({}) : FFileName;
      std::string written;
      error = WriteNewFileAtomically(
          first, bytes, [&] { return DrawFilePathLocked(first); }, written);
      if (error.empty()) {
        FFileName = written;
        FFileIsOurs = true;
      }
    }
    if (!error.empty()) {
      Log(kLogService, error, 5, true);
      return false;
    }
    return answer;
  });
  if (!saved && wasChanged) FChanged.store(true);
  return saved;
}

std::string TEmailMsg::StageSaveLocked(TDurabilityBatch& batch, const std::string& bytes) {
  const std::string onDisk = FileOnDiskLocked();
  std::string target;
  if (FStaged && FStaged->State == TStagedFile::Pending) {
    // Saved again, or saved after a move: the new content goes where the
    // staged file was going.
    target = FStaged->Target;
    TDurabilityBatch::Unstage(FStaged);
    FStaged.reset();
  } else if (!onDisk.empty()) {
    target = onDisk;
  } else {
    target = FFileName.empty() ? DrawFilePathLocked({}) : FFileName;
  }
  const bool replace = !onDisk.empty() && target == onDisk;
  const std::string first = target;
  std::function<std::string()> draw;
  if (!replace) draw = [this, first] { return DrawFilePathLocked(first); };
  std::string error;
  TStagedFileRef staged =
      batch.StageWrite(target, bytes, 0600, replace, draw, error, replace ? std::string() : onDisk);
  if (!staged) return error;
  WatchStaged(staged);
  if (onDisk.empty()) FFileName = target;
  return {};
}

std::string TEmailMsg::DrawFilePathLocked(const std::string& near) {
  if (TEmailMsgListBase* queue = FList.load()) {
    std::string path = queue->NewFileName(*this);
    if (!path.empty() && (near.empty() || FolderOf(path) == FolderOf(near))) return path;
  }
  std::string path;
  if (near.empty()) {
    GetUniquePath(GetTempDir(), "Temp", ".eml", path);
  } else {
    // Another free name beside the first one.
    std::string name = near.substr(near.rfind('/') + 1);
    const std::size_t dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    if (dot != std::string::npos) name.resize(dot);
    GetUniquePath(FolderOf(near), name, extension, path, true);
  }
  return path;
}

bool TEmailMsg::SaveToStream(std::string& stream) {
  TMsgGuard guard(FLock);
  return SaveToStreamLocked(stream);
}

bool TEmailMsg::SaveToStreamLocked(std::string& stream) {
  bool answer = true;
  if (!IsLoadedLocked()) answer = EnsureLoadedLocked();
  FChanged.store(false);
  FProperties.SetValue(kPropContentId, std::to_string(GetContentId()));
  std::string infoError;
  WithInfo([&](TEmailInfo& info) { infoError = info.Save(); });
  if (!infoError.empty()) Log(kLogService, "Side record not saved: " + infoError, 5, true);
  stream += kPropertyLinePrefix;
  stream += FProperties.CommaText();
  stream += "\r\n";
  const std::size_t start = stream.size();
  if (FParsed) {
    TStringList lines;
    answer = GetRawTextLocked(lines, true) && answer;
    AppendLinesWithCrLf(lines, stream);
  } else {
    AppendLinesWithCrLf(FRawLines, stream);
  }
  FSize.store(ClampSize(static_cast<std::int64_t>(stream.size() - start)));
  return answer;
}

bool TEmailMsg::SaveToNamedFile(const std::string& path) {
  TMsgGuard guard(FLock);
  if (FFlaggedDeleted.load() && path == FFileName) return false;
  // A message whose content cannot be read writes nothing rather than an
  // empty message.
  if (!EnsureLoadedLocked()) return false;
  // A copy elsewhere does not save the message: its own file still needs
  // the changes.
  const bool wasChanged = FChanged.load();
  const bool saved = FalseOnFailure("Writing a message copy", [&] {
    std::string bytes;
    SaveToStreamLocked(bytes);
    const std::string error = WriteFileAtomically(path, bytes);
    if (!error.empty()) Log(kLogService, error, 5, true);
    return error.empty();
  });
  FChanged.store(wasChanged);
  return saved;
}

void TEmailMsg::SaveCopyAs(const std::string& folder, std::string& path) {
  TMsgGuard guard(FLock);
  path.clear();
  if (!EnsureLoadedLocked()) return;
  std::string subject;
  GetSubject(subject);
  std::string first;
  GetUniquePath(folder, subject, ".eml", first);
  const bool wasChanged = FChanged.load();
  FalseOnFailure("Writing a message copy", [&] {
    std::string bytes;
    SaveToStreamLocked(bytes);
    const std::string error = WriteNewFileAtomically(
        first, bytes,
        [&] {
          std::string again;
          GetUniquePath(folder, subject, ".eml", again);
          return again;
        },
        path);
    if (!error.empty()) Log(kLogService, error, 5, true);
    return error.empty();
  });
  FChanged.store(wasChanged);
}

bool TEmailMsg::DiskDelete() {
  TMsgGuard guard(FLock);
  CheckAccess("DiskDelete");
  DropStagedLocked();
  if (FFileName.empty() || !FFileIsOurs || !RemoveFileInBatch(FFileName)) return false;
  // The name is free now: another writer may take it before this message
  // saves again.
  FFileIsOurs = false;
  return true;
}

bool TEmailMsg::SetRawMail(TStringList& lines) {
  TMsgGuard guard(FLock);
  CheckAccess("SetRawMail");
  FCheckSums.clear();
  if (FParsed) ClearParsedLocked();
  TStringList taken = std::move(lines);
  lines.Clear();
  SplitLineBreaks(taken);
  FUrlCache.reset();
  FWordCache.reset();
  FTestCache.reset();
  FUriDomains.reset();
  bool answer = true;
  if (FParseOnLoad)
    answer = ParseLocked(taken);
  else
    FRawLines = std::move(taken);
  MoveToFreshInfo();
  SetChanged(true);
  RefreshIndexLocked();
  return answer;
}

bool TEmailMsg::SetText(const std::string& text) {
  TStringList lines;
  lines.SetText(text);
  TMsgGuard guard(FLock);
  CheckAccess("Text");
  return SetRawMail(lines);
}

bool TEmailMsg::Parse(TStringList& lines) {
  TMsgGuard guard(FLock);
  return ParseLocked(lines);
}

bool TEmailMsg::ParseRawLines() {
  TMsgGuard guard(FLock);
  return ParseLocked(FRawLines);
}

namespace {

// The delimiter a multipart message without a boundary parameter seems to
// use: its last line less the closing "--", else the first of its first
// eleven lines that begins with "--". A delimiter must begin with "--" and be
// 3 characters or longer (a signature line "-- " is none).
std::string GuessBoundary(const TStringList& lines) {
  auto usable = [](const std::string& text) { return text.size() >= 3 && text.rfind("--", 0) == 0; };
  if (!lines.Empty()) {
    const std::string& last = lines[lines.Count() - 1];
    if (last.find("--") != std::string::npos && last.size() >= 2) {
      const std::string candidate = last.substr(0, last.size() - 2);
      if (usable(candidate)) return candidate;
    }
  }
  for (int i = 0; i < std::min(11, lines.Count()); ++i)
    if (usable(lines[i])) return lines[i];
  return {};
}

}  // namespace

bool TEmailMsg::ParseLocked(TStringList& lines) {
  FSize.store(-1);
  TStringList working = std::move(lines);
  lines.Clear();
  if (FParsed) ClearParsedLocked();
  FParsed = true;
  // The flags are recomputed whatever happens, before the lock goes.
  struct TAnalyze {
    TEmailMsg& Msg;
    ~TAnalyze() {
      try {
        GetBodyRestructuring()->AnalyzeTextParts(Msg);
      } catch (...) {
        Log(kLogService, "The body-structure flags were not recomputed", 5, true);
      }
    }
  } analyze{*this};
  bool guessed = false;
  bool result = false;
  {
    TParsingMark mark(FParsingThread);
    // An empty first line is an empty header, as for every part: skipping
    // it would take the first paragraph of a body without header for header
    // lines at every save and reading.
    auto cursor = std::make_unique<TMimeTextCursor>(working);
    working.Clear();
    TStringList headerLines;
    cursor->TakeHeaderLines(headerLines);
    result = FHeader->ParseLines(headerLines, false);
    TMimeParseBudget budget;
    std::string boundary;
    const bool multipart = FHeader->IsMultipart();
    if (multipart) {
      boundary = FHeader->GetBoundary();
      if (boundary.empty()) {
        cursor->TakeRest(working);
        boundary = GuessBoundary(working);
        cursor = std::make_unique<TMimeTextCursor>(working);
        working.Clear();
        if (!boundary.empty()) {
          FHeader->SetBoundary(boundary.substr(2));
          guessed = true;
        }
      }
    }
    const bool attached = !multipart && FParseAttachedMessages && FHeader->IsRfc822Attachment();
    TEmailMsgPart* first = FParts->Add();
    --budget.PartsLeft;
    first->SetParseSubpartsFlag(FParseAttachedMessages);
    // An attached message's part carries the header of the message inside;
    // every other first part carries the message's own header.
    first->SetHeader(attached ? FParts->HeaderFrom(*cursor) : FHeader);
    if (boundary.empty())
      first->ParseBodyFrom(*cursor, {}, false, budget);
    else
      FParts->ParseSections(*cursor, boundary, first, budget);
    // What follows the closing boundary of the message is dropped.
  }
  if (FEnsureTextPart) GetBodyRestructuring()->EnsureTextPart(*this);
  if (guessed) SetChanged(true);
  return result;
}

void TEmailMsg::ClearParsed() {
  TMsgGuard guard(FLock);
  ClearParsedLocked();
}

void TEmailMsg::ClearParsedLocked() {
  // Parts first: they tell their headers that they go.
  FParts = std::make_unique<TEmailMsgPartCollection>(this);
  std::vector<TEmailHeader*> headers;
  headers.swap(FHeaders);
  for (TEmailHeader* header : headers) delete header;
  FHeader = new TEmailHeader(this);
  FHeader->SetOwnerPlace(FHeader, nullptr, 0);
  FRawLines.Clear();
  FParsed = false;
}

bool TEmailMsg::DropChanges() {
  TMsgGuard guard(FLock);
  DropStagedLocked();
  if (FFileName.empty() || !FFileIsOurs || !FileExists(FFileName)) return false;
  if (!ReadFromFileLocked(FFileName)) return false;
  for (TSimpleHtml* section : {&FGeneralInfo, &FGeneralInfo2, &FCategoryInfo, &FMatchInfo,
                               &FAttachmentInfo, &FListInfo, &FMessageInfo, &FRuleInfo,
                               &FSummaryInfo})
    section->Clear();
  FAdditionalInfo.Clear();
  FProbabilities.Clear();
  FSearchRecs.clear();
  InfoRemoved.store(false);
  return true;
}

bool TEmailMsg::ReleaseText() {
  TMsgGuard guard(FLock);
  if (FChanged.load() || !FFileIsOurs || FFileName.empty() || !IsLoadedLocked() ||
      (FStaged && FStaged->State == TStagedFile::Pending))
    return false;
  ClearParsedLocked();
  FRawLines.Clear();
  FCheckSums.clear();
  FUrlCache.reset();
  FWordCache.reset();
  FTestCache.reset();
  FHeadKnown = true;
  return true;
}

bool TEmailMsg::GetRawText(TStringList& lines, bool allowRaw) {
  TMsgGuard guard(FLock);
  return GetRawTextLocked(lines, allowRaw);
}

bool TEmailMsg::GetRawTextLocked(TStringList& lines, bool allowRaw) {
  lines.Clear();
  if (!IsLoadedLocked() && !FFileName.empty() && !EnsureLoadedLocked()) return false;
  if (!FParsed && allowRaw) {
    lines = FRawLines;
    return true;
  }
  if (!FParsed) ParseLocked(FRawLines);
  FHeader->WriteTo(lines);
  lines.Add("");
  bool all = true;
  for (int i = 0; i < FParts->Count(); ++i)
    if (!FParts->Items(i)->WriteTo(lines, allowRaw)) all = false;
  SplitLineBreaks(lines);
  if (allowRaw) FSize.store(ClampSize(LinesSize(lines)));
  return all;
}

bool TEmailMsg::GetTopLines(int count, TStringList& lines) {
  TMsgGuard guard(FLock);
  lines.Clear();
  if (!EnsureLoadedLocked()) return false;
  if (count <= 0) {
    EnsureParsedLocked();
    FHeader->WriteTo(lines);
    SplitLineBreaks(lines);
    return true;
  }
  GetRawTextLocked(lines, true);
  if (lines.Empty()) return false;
  int bodyStart = lines.Count();
  for (int i = 0; i < lines.Count(); ++i) {
    if (lines[i].empty()) {
      bodyStart = i + 1;
      break;
    }
  }
  if (bodyStart >= lines.Count() - 1) return false;
  const int keep = bodyStart + count;
  while (lines.Count() > keep) lines.Delete(lines.Count() - 1);
  return true;
}

std::int32_t TEmailMsg::GetSize() {
  TMsgGuard guard(FLock);
  if (FSize.load() < 0) {
    if (IsLoadedLocked()) {
      if (!FParsed) FSize.store(ClampSize(LinesSize(FRawLines)));
    } else {
      const std::int64_t size = FileMessageSize(FFileName);
      if (size >= 0) FSize.store(ClampSize(size));
    }
  }
  if (FSize.load() < 0 && IsLoadedLocked()) {
    TStringList scratch;
    GetRawTextLocked(scratch, true);
  }
  return FSize.load();
}

void TEmailMsg::SetChanged(bool flag) {
  if (flag) FSize.store(-1);
  FChanged.store(flag);
}

void TEmailMsg::ClearCaches() {
  TMsgGuard guard(FLock);
  FUrlCache.reset();
  FTestCache.reset();
  FWordCache.reset();
  FUriDomains.reset();
  for (int i = 0; i < FParts->Count(); ++i) FParts->Items(i)->ClearCaches();
}

void TEmailMsg::CheckAccess(const char* /*operation*/) {
  TMsgGuard guard(FLock);
  // Advisory: a claim of another owner is noted, never enforced.
  ClaimAllowsCurrentThread();
}

TCheckSumArray TEmailMsg::GetCachedCheckSums() {
  TMsgGuard guard(FLock);
  return FCheckSums;
}

void TEmailMsg::SetCachedCheckSums(const TCheckSumArray& sums) {
  TMsgGuard guard(FLock);
  FCheckSums = sums;
}

void TEmailMsg::ClearCheckSums() {
  TMsgGuard guard(FLock);
  FCheckSums.clear();
}

TEmailMsg::TBodyFlags TEmailMsg::GetBodyFlags() const {
  TMsgGuard guard(FLock);
  return FBodyFlags;
}

void TEmailMsg::SetBodyFlags(const TBodyFlags& flags) {
  TMsgGuard guard(FLock);
  FBodyFlags = flags;
}

// ---------------------------------------------------------------------------
// Processing claim

bool TEmailMsg::Lock(TClaimOwner owner, const std::string& text) {
  TMsgGuard guard(FLock);
  std::lock_guard<std::mutex> claim(FClaimLock);
  if (owner == FClaimOwner) return true;
  if (IsClaimOwnerValid(FClaimOwner)) return false;
  FClaimOwner = owner;
  FClaimText = text;
  FClaimThreadId = platform::CurrentThreadId();
  FClaimTime = Now();
  return true;
}

void TEmailMsg::ClearClaimLocked() {
  FClaimOwner = kNoClaimOwner;
  FClaimThreadId = 0;
  FClaimText.clear();
}

void TEmailMsg::Unlock(TClaimOwner owner, const std::string& /*text*/) {
  TMsgGuard guard(FLock);
  std::lock_guard<std::mutex> claim(FClaimLock);
  if (owner == FClaimOwner || !IsClaimOwnerValid(owner)) ClearClaimLocked();
}

bool TEmailMsg::RenewClaim(TClaimOwner owner) {
  std::lock_guard<std::mutex> claim(FClaimLock);
  if (owner == kNoClaimOwner || owner != FClaimOwner) return false;
  FClaimTime = Now();
  return true;
}

bool TEmailMsg::IsLockedByOther() {
  std::lock_guard<std::mutex> claim(FClaimLock);
  bool answer = IsClaimOwnerValid(FClaimOwner);
  if (answer && FClaimThreadId == platform::CurrentThreadId()) answer = false;
  if (answer && (Now() - FClaimTime) * 86400.0 > kClaimExpirySeconds) ClearClaimLocked();
  return answer;
}

bool TEmailMsg::IsLocked() {
  return FLock.IsLocked();
}

bool TEmailMsg::ClaimAllowsCurrentThread() {
  TMsgGuard guard(FLock);
  std::lock_guard<std::mutex> claim(FClaimLock);
  if (!IsClaimOwnerValid(FClaimOwner)) return true;
  return FClaimThreadId == platform::CurrentThreadId();
}

TClaimOwner TEmailMsg::ClaimOwner() const {
  std::lock_guard<std::mutex> claim(FClaimLock);
  return FClaimOwner;
}

std::string TEmailMsg::ClaimText() const {
  std::lock_guard<std::mutex> claim(FClaimLock);
  return FClaimText;
}

}  // namespace halvorn
