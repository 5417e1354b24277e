#include "foundation/files/durability_batch.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

#include "foundation/files/atomic_file.h"
#include "foundation/log/log_sink.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "Durability";
constexpr const char* kJournalPrefix = "journal-";

std::atomic<int> gSyncMethod{static_cast<int>(TSyncMethod::FileSystem)};
std::atomic<std::uint64_t> gFlushes{0};
thread_local TDurabilityBatch* tCurrentBatch = nullptr;

// ---------------------------------------------------------------------------
// The recording seam

std::mutex gRecorderMutex;
std::function<void(const TDurabilityOp&)> gRecorder;
std::atomic<bool> gRecording{false};

void Record(TDurabilityOp::TKind kind, const std::string& path, const std::string& target = {},
            const std::string* bytes = nullptr) {
  if (!gRecording.load()) return;
  std::lock_guard<std::mutex> lock(gRecorderMutex);
  if (!gRecorder) return;
  TDurabilityOp op{kind, path, target, bytes != nullptr ? *bytes : std::string()};
  gRecorder(op);
}

// ---------------------------------------------------------------------------
// Names reserved by staged files

std::mutex gReservedMutex;
std::unordered_map<std::string, int> gReserved;

void Reserve(const std::string& path) {
  std::lock_guard<std::mutex> lock(gReservedMutex);
  ++gReserved[path];
}

void Release(const std::string& path) {
  std::lock_guard<std::mutex> lock(gReservedMutex);
  const auto found = gReserved.find(path);
  if (found != gReserved.end() && --found->second <= 0) gReserved.erase(found);
}

// ---------------------------------------------------------------------------
// What rides on the next flush of any batch: the folders of files removed
// after a commit (superseded ones), and the journals that may go once those
// removals are durable.

struct TRiders {
  std::set<std::string> Folders;
  std::vector<std::string> Journals;
};
std::mutex gRidersMutex;
TRiders gRiders;

TRiders TakeRiders() {
  std::lock_guard<std::mutex> lock(gRidersMutex);
  TRiders taken;
  std::swap(taken, gRiders);
  return taken;
}

void GiveBackRiders(TRiders&& riders) {
  std::lock_guard<std::mutex> lock(gRidersMutex);
  gRiders.Folders.insert(riders.Folders.begin(), riders.Folders.end());
  gRiders.Journals.insert(gRiders.Journals.end(), riders.Journals.begin(), riders.Journals.end());
}

void AddRiderFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(gRidersMutex);
  gRiders.Folders.insert(folder);
}

void AddRiderJournal(const std::string& journal) {
  std::lock_guard<std::mutex> lock(gRidersMutex);
  gRiders.Journals.push_back(journal);
}

// ---------------------------------------------------------------------------
// Helpers

std::string ErrorText(const std::string& what, const std::string& path, int error) {
  return what + " " + path + ": " + std::strerror(error);
}

std::string FolderOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAll(int fd, const std::string& bytes, int& error) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// Flushes one file or folder with fsync; 0 or the errno.
int FsyncPath(const std::string& path, bool folder) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
  if (fd < 0) return errno;
  ++gFlushes;
  const int answer = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  Record(TDurabilityOp::Sync, path);
  return answer;
}

// Flushes the file systems that hold the paths, once each; 0 or the errno.
int SyncFileSystems(const std::set<std::string>& paths) {
  std::map<dev_t, std::string> devices;
  for (const std::string& path : paths) {
    struct stat st {};
    std::string probe = path;
    // A removed file is known by its folder.
    while (::stat(probe.c_str(), &st) != 0) {
      const std::string up = FolderOf(probe);
      if (up == probe) break;
      probe = up;
    }
    if (devices.count(st.st_dev) == 0) devices[st.st_dev] = probe;
  }
  int answer = 0;
  for (const auto& [device, path] : devices) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (answer == 0) answer = errno;
      continue;
    }
    ++gFlushes;
    if (::syncfs(fd) != 0 && answer == 0) answer = errno;
    ::close(fd);
  }
  Record(TDurabilityOp::Sync, {});
  return answer;
}

// One flush of the files (content) and folders (entries); 0 or the first
// errno.
int Flush(const std::set<std::string>& files, const std::set<std::string>& folders) {
  if (files.empty() && folders.empty()) return 0;
  if (GetSyncMethod() == TSyncMethod::FileSystem) {
    std::set<std::string> all = files;
    all.insert(folders.begin(), folders.end());
    return SyncFileSystems(all);
  }
  int answer = 0;
  for (const std::string& file : files) {
    const int error = FsyncPath(file, false);
    // A file removed meanwhile needs no flush of its content.
    if (error != 0 && error != ENOENT && answer == 0) answer = error;
  }
  for (const std::string& folder : folders) {
    const int error = FsyncPath(folder, true);
    if (error != 0 && answer == 0) answer = error;
  }
  return answer;
}

// The identity of a file: its size and a hash (FNV-1a) of its first 4 KiB.
// Not its inode: a copy of the data folder (a restored backup) keeps it.
bool FileIdentity(const std::string& path, std::string& identity) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char head[4096];
  ssize_t n = 0;
  do {
    n = ::read(fd, head, sizeof head);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n < 0) return false;
  std::uint64_t hash = 1469598103934665603ULL;
  for (ssize_t i = 0; i < n; ++i) {
    hash ^= static_cast<unsigned char>(head[i]);
    hash *= 1099511628211ULL;
  }
  identity = std::to_string(st.st_size) + ":" + std::to_string(hash);
  return true;
}

std::atomic<int> gCrashPoint{0};

// Journal lines: one per placement, fields separated by tabs, "%", tab and
// line breaks escaped.
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%')
      out += "%25";
    else if (c == '\t')
      out += "%09";
    else if (c == '\n')
      out += "%0A";
    else if (c == '\r')
      out += "%0D";
    else
      out += c;
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const std::string hex = text.substr(i + 1, 2);
      char c = 0;
      if (hex == "25")
        c = '%';
      else if (hex == "09")
        c = '\t';
      else if (hex == "0A")
        c = '\n';
      else if (hex == "0D")
        c = '\r';
      if (c != 0) {
        out += c;
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

// A path as a journal keeps it: relative to the root when it lies under it.
std::string JournalPath(const std::string& path, const std::string& root) {
  if (root.empty()) return path;
  const std::string prefix = root.back() == '/' ? root : root + "/";
  return path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
}

std::string FromJournalPath(const std::string& path, const std::string& root) {
  if (root.empty() || (!path.empty() && path[0] == '/')) return path;
  return (root.back() == '/' ? root : root + "/") + path;
}

bool IsStaleTemporaryName(const std::string& name) {
  // "." + name + "." + six characters from mkstemp.
  if (name.size() < 9 || name[0] != '.' || name[name.size() - 7] != '.') return false;
  for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// The injected failures of the atomic writers (atomic_file.h) live here: the
// writers are batches of one file.

namespace {

std::atomic<int> gInjectedFailure{0};  // step in the high bits, errno in the low 16

std::pair<AtomicWriteStep, int> TakeInjectedFailure() {
  const int packed = gInjectedFailure.exchange(0);
  return {static_cast<AtomicWriteStep>(packed >> 16), packed & 0xFFFF};
}

std::mutex gRenameHookMutex;
std::function<void(const std::string&)> gBeforeNoReplaceRename;

void CallRenameHook(const std::string& target) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(gRenameHookMutex);
    hook = gBeforeNoReplaceRename;
  }
  if (hook) hook(target);
}

// A failure injected for the write now being staged, carried to its commit.
thread_local std::pair<AtomicWriteStep, int> tPendingFailure{AtomicWriteStep::None, 0};

}  // namespace

void FailNextAtomicWriteForTests(AtomicWriteStep step, int error) {
  gInjectedFailure.store((static_cast<int>(step) << 16) | (error & 0xFFFF));
}

void SetBeforeNoReplaceRenameForTests(std::function<void(const std::string& target)> hook) {
  std::lock_guard<std::mutex> lock(gRenameHookMutex);
  gBeforeNoReplaceRename = std::move(hook);
}

// ---------------------------------------------------------------------------

void SetSyncMethod(TSyncMethod method) {
  gSyncMethod.store(static_cast<int>(method));
}

TSyncMethod GetSyncMethod() {
  return static_cast<TSyncMethod>(gSyncMethod.load());
}

std::uint64_t DurabilityFlushCount() {
  return gFlushes.load();
}

void SetDurabilityRecorderForTests(std::function<void(const TDurabilityOp&)> recorder) {
  std::lock_guard<std::mutex> lock(gRecorderMutex);
  gRecorder = std::move(recorder);
  gRecording.store(static_cast<bool>(gRecorder));
}

void CrashNextCommitForTests(int step) {
  gCrashPoint.store(step);
}

void RecordDurabilityEvent(const std::string& text) {
  Record(TDurabilityOp::Event, {}, {}, &text);
}

bool IsReservedPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(gReservedMutex);
  return gReserved.count(path) != 0;
}

// ---------------------------------------------------------------------------
// The batch

TDurabilityBatch::~TDurabilityBatch() {
  try {
    Discard();
  } catch (...) {
    // Discard logs what it cannot remove; nothing may leave a destructor.
  }
}

TStagedFileRef TDurabilityBatch::StageWrite(const std::string& path, const std::string& bytes,
                                            mode_t mode, bool replace,
                                            std::function<std::string()> drawPath,
                                            std::string& error, const std::string& supersedes) {
  error.clear();
  const std::pair<AtomicWriteStep, int> failure = TakeInjectedFailure();
  auto injected = [&](AtomicWriteStep step) { return failure.first == step; };
  const std::string folder = FolderOf(path);
  const std::string name = NameOf(path);
  if (name.empty()) {
    error = "Cannot write " + path + ": not a file name";
    return nullptr;
  }
  // Hidden, in the target's folder (one file system for the rename), and
  // short enough to be a valid name whatever the target's length.
  std::string tempPath = folder + "/." + name.substr(0, 200) + ".XXXXXX";
  const int fd = injected(AtomicWriteStep::Create) ? (errno = failure.second, -1)
                                                   : ::mkostemp(tempPath.data(), O_CLOEXEC);
  if (fd < 0) {
    error = ErrorText("Cannot create a temporary file beside", path, errno);
    return nullptr;
  }
  Record(TDurabilityOp::Create, tempPath);
  auto fail = [&](const std::string& what, int code) {
    ::close(fd);
    ::unlink(tempPath.c_str());
    Record(TDurabilityOp::Remove, tempPath);
    error = ErrorText(what, path, code);
    return nullptr;
  };
  int code = 0;
  // mkostemp made it 0600 already.
  if (mode != 0600 && ::fchmod(fd, mode) != 0) return fail("Cannot set the mode of the new", errno);
  if (injected(AtomicWriteStep::Write)) return fail("Cannot write", failure.second);
  if (!WriteAll(fd, bytes, code)) return fail("Cannot write", code);
  if (::close(fd) != 0) {
    code = errno;
    ::unlink(tempPath.c_str());
    Record(TDurabilityOp::Remove, tempPath);
    error = ErrorText("Cannot close", path, code);
    return nullptr;
  }
  Record(TDurabilityOp::Content, tempPath, {}, &bytes);
  // A later write for the same target wins.
  for (const TStagedFileRef& earlier : FStaged) {
    if (earlier->State == TStagedFile::Pending && earlier->Target == path) Unstage(earlier);
  }
  auto staged = std::make_shared<TStagedFile>();
  staged->Target = path;
  staged->TempPath = tempPath;
  staged->Replace = replace;
  staged->DrawPath = std::move(drawPath);
  if (!supersedes.empty() && supersedes != path &&
      FileIdentity(supersedes, staged->SupersededIdentity))
    staged->Supersedes = supersedes;
  if (failure.first == AtomicWriteStep::Sync || failure.first == AtomicWriteStep::Rename)
    tPendingFailure = failure;
  Reserve(path);
  FStaged.push_back(staged);
  return staged;
}

TStagedFileRef TDurabilityBatch::StageMove(const std::string& from, const std::string& path,
                                           std::function<std::string()> drawPath) {
  auto staged = std::make_shared<TStagedFile>();
  staged->Target = path;
  staged->MoveFrom = from;
  staged->DrawPath = std::move(drawPath);
  Reserve(path);
  FStaged.push_back(staged);
  return staged;
}

void TDurabilityBatch::Unstage(const TStagedFileRef& staged) {
  if (!staged || staged->State != TStagedFile::Pending) return;
  staged->State = TStagedFile::Dropped;
  Release(staged->Target);
  if (!staged->TempPath.empty()) {
    ::unlink(staged->TempPath.c_str());
    Record(TDurabilityOp::Remove, staged->TempPath);
  }
}

void TDurabilityBatch::Retarget(const TStagedFileRef& staged, const std::string& target,
                                const std::string& onDiskFile,
                                std::function<std::string()> drawPath) {
  if (!staged || staged->State != TStagedFile::Pending || staged->Target == target) return;
  if (!staged->MoveFrom.empty() && staged->MoveFrom == target) {
    Unstage(staged);
    return;
  }
  Release(staged->Target);
  Reserve(target);
  staged->Target = target;
  staged->DrawPath = std::move(drawPath);
  if (staged->TempPath.empty()) return;
  staged->Replace = !onDiskFile.empty() && target == onDiskFile;
  if (staged->Replace || onDiskFile.empty()) {
    staged->Supersedes.clear();
  } else if (staged->Supersedes != onDiskFile &&
             FileIdentity(onDiskFile, staged->SupersededIdentity)) {
    staged->Supersedes = onDiskFile;
  }
}

void TDurabilityBatch::AddFile(const std::string& path) {
  FFiles.push_back(path);
}

void TDurabilityBatch::AddFolder(const std::string& folder) {
  FFolders.push_back(folder);
}

bool TDurabilityBatch::Empty() const {
  for (const TStagedFileRef& staged : FStaged)
    if (staged->State == TStagedFile::Pending) return false;
  return FFiles.empty() && FFolders.empty();
}

void TDurabilityBatch::Discard() {
  std::vector<TStagedFileRef> staged;
  staged.swap(FStaged);
  FFiles.clear();
  FFolders.clear();
  for (const TStagedFileRef& file : staged) {
    if (file->State != TStagedFile::Pending) continue;
    Unstage(file);
    file->State = TStagedFile::Failed;
    if (file->OnPlaced) file->OnPlaced({});
  }
}

std::string TDurabilityBatch::WriteJournal() {
  FJournalPath.clear();
  std::string text;
  for (const TStagedFileRef& staged : FStaged) {
    if (staged->State != TStagedFile::Pending || staged->Supersedes.empty() ||
        staged->TempPath.empty())
      continue;
    text += Escape(JournalPath(staged->TempPath, FJournalRoot)) + "\t" +
            Escape(JournalPath(staged->Supersedes, FJournalRoot)) + "\t" +
            staged->SupersededIdentity + "\n";
  }
  if (text.empty() || FJournalFolder.empty()) return {};
  ::mkdir(FJournalFolder.c_str(), 0700);
  std::string path = FJournalFolder + "/" + kJournalPrefix + "XXXXXX";
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return ErrorText("Cannot create a journal in", FJournalFolder, errno);
  Record(TDurabilityOp::Create, path);
  int code = 0;
  const bool written = ::fchmod(fd, 0600) == 0 && WriteAll(fd, text, code);
  if (!written || ::close(fd) != 0) {
    if (code == 0) code = errno;
    if (written) ::close(fd);
    ::unlink(path.c_str());
    Record(TDurabilityOp::Remove, path);
    return ErrorText("Cannot write the journal", path, code);
  }
  Record(TDurabilityOp::Content, path, {}, &text);
  FJournalPath = path;
  return {};
}

std::string TDurabilityBatch::PlaceAll(std::vector<std::string>& folders) {
  std::string firstError;
  const std::pair<AtomicWriteStep, int> failure = tPendingFailure;
  for (const TStagedFileRef& staged : FStaged) {
    if (staged->State != TStagedFile::Pending) continue;
    const std::string from = staged->TempPath.empty() ? staged->MoveFrom : staged->TempPath;
    std::string target = staged->Target;
    int error = 0;
    if (failure.first == AtomicWriteStep::Rename) {
      error = failure.second;
    } else if (staged->Replace) {
      error = ::rename(from.c_str(), target.c_str()) == 0 ? 0 : errno;
    } else {
      for (int attempt = 1;; ++attempt) {
        CallRenameHook(target);
        error = RenameNoReplace(from, target);
        if (error != EEXIST || !staged->DrawPath || attempt >= 100) break;
        const std::string again = staged->DrawPath();
        if (again.empty()) break;
        target = again;
      }
    }
    Release(staged->Target);
    if (error != 0) {
      staged->State = TStagedFile::Failed;
      if (firstError.empty())
        firstError = ErrorText(error == EEXIST ? "Cannot write a new file at" : "Cannot replace",
                               target, error);
      // A temporary file the journal names stays for the start-up to
      // remove (its superseded file then stays too); any other goes now.
      if (!staged->TempPath.empty() && (staged->Supersedes.empty() || FJournalPath.empty())) {
        ::unlink(staged->TempPath.c_str());
        Record(TDurabilityOp::Remove, staged->TempPath);
      }
      continue;
    }
    Record(TDurabilityOp::Rename, from, target);
    staged->State = TStagedFile::Placed;
    staged->PlacedPath = target;
    folders.push_back(FolderOf(target));
    if (!staged->MoveFrom.empty()) folders.push_back(FolderOf(staged->MoveFrom));
  }
  return firstError;
}

void TDurabilityBatch::RemoveSuperseded() {
  for (const TStagedFileRef& staged : FStaged) {
    if (staged->State != TStagedFile::Placed || staged->Supersedes.empty()) continue;
    // Only the file that was superseded: a file that took its name since is
    // someone else's.
    std::string identity;
    if (!FileIdentity(staged->Supersedes, identity) || identity != staged->SupersededIdentity)
      continue;
    if (::unlink(staged->Supersedes.c_str()) == 0) {
      Record(TDurabilityOp::Remove, staged->Supersedes);
      AddRiderFolder(FolderOf(staged->Supersedes));
    }
  }
}

std::string TDurabilityBatch::Commit() {
  // An empty batch flushes nothing: what rides waits for a batch that does.
  if (Empty()) {
    FStaged.clear();
    return {};
  }
  const std::pair<AtomicWriteStep, int> failure = tPendingFailure;
  tPendingFailure = {AtomicWriteStep::None, 0};
  std::string firstError = WriteJournal();
  if (!firstError.empty()) {
    Discard();
    return firstError;
  }
  // The first flush: every staged content, every file and folder added, the
  // journal, and what rides from earlier commits.
  TRiders riders = TakeRiders();
  std::set<std::string> files(FFiles.begin(), FFiles.end());
  std::set<std::string> folders(FFolders.begin(), FFolders.end());
  folders.insert(riders.Folders.begin(), riders.Folders.end());
  bool anyStaged = false;
  for (const TStagedFileRef& staged : FStaged) {
    if (staged->State != TStagedFile::Pending) continue;
    anyStaged = true;
    if (!staged->TempPath.empty()) files.insert(staged->TempPath);
  }
  if (!FJournalPath.empty()) files.insert(FJournalPath);
  int error = failure.first == AtomicWriteStep::Sync ? failure.second : Flush(files, folders);
  if (error != 0) {
    GiveBackRiders(std::move(riders));
    const std::string first = FStaged.empty() ? (files.empty() ? *folders.begin() : *files.begin())
                                              : FStaged.front()->Target;
    if (!FJournalPath.empty()) {
      ::unlink(FJournalPath.c_str());
      Record(TDurabilityOp::Remove, FJournalPath);
      FJournalPath.clear();
    }
    Discard();
    return ErrorText("Cannot flush", first, error);
  }
  const int crash = gCrashPoint.exchange(0);
  if (crash == 1) {
    // As a crash leaves it: temporary files and the journal stay.
    for (const TStagedFileRef& staged : FStaged) {
      if (staged->State != TStagedFile::Pending) continue;
      staged->State = TStagedFile::Failed;
      Release(staged->Target);
    }
    FStaged.clear();
    FJournalPath.clear();
    GiveBackRiders(std::move(riders));
    return "crashed";
  }
  // The removals that rode on this flush are durable: their journals go.
  std::vector<std::string> placedFolders;
  for (const std::string& journal : riders.Journals) {
    if (::unlink(journal.c_str()) == 0) {
      Record(TDurabilityOp::Remove, journal);
      AddRiderFolder(FolderOf(journal));
    }
  }
  if (anyStaged) {
    if (failure.first == AtomicWriteStep::Rename) tPendingFailure = failure;
    firstError = PlaceAll(placedFolders);
    tPendingFailure = {AtomicWriteStep::None, 0};
    // The second flush: the new names.
    const std::set<std::string> names(placedFolders.begin(), placedFolders.end());
    error = Flush({}, names);
    if (error != 0 && firstError.empty())
      firstError = ErrorText("Cannot flush", *names.begin(), error);
    if (crash == 2) {
      FStaged.clear();
      FJournalPath.clear();
      return "crashed";
    }
    if (error == 0) RemoveSuperseded();
  }
  if (!FJournalPath.empty()) AddRiderJournal(FJournalPath);
  FJournalPath.clear();
  std::vector<TStagedFileRef> staged;
  staged.swap(FStaged);
  FFiles.clear();
  FFolders.clear();
  for (const TStagedFileRef& file : staged) {
    if (file->State == TStagedFile::Dropped || !file->OnPlaced) continue;
    file->OnPlaced(file->State == TStagedFile::Placed ? file->PlacedPath : std::string());
  }
  return firstError;
}

// ---------------------------------------------------------------------------
// Scopes and the writers

TDurabilityScope::TDurabilityScope(TDurabilityBatch* batch) : FPrevious(tCurrentBatch) {
  tCurrentBatch = batch;
}

TDurabilityScope::~TDurabilityScope() {
  tCurrentBatch = FPrevious;
}

TDurabilityBatch* CurrentDurabilityBatch() {
  return tCurrentBatch;
}

std::string WriteFileInCurrentBatch(const std::string& path, const std::string& bytes,
                                    bool replace, const std::function<std::string()>& drawPath,
                                    std::string& placedPath,
                                    std::function<void(const std::string&)> onPlaced,
                                    mode_t mode) {
  placedPath.clear();
  TDurabilityBatch* batch = tCurrentBatch;
  if (batch == nullptr) {
    if (replace) {
      const std::string error = WriteFileAtomically(path, bytes, mode);
      if (error.empty()) placedPath = path;
      return error;
    }
    return WriteNewFileAtomically(path, bytes, drawPath, placedPath, mode);
  }
  std::string error;
  TStagedFileRef staged = batch->StageWrite(path, bytes, mode, replace, drawPath, error);
  if (!staged) return error;
  staged->OnPlaced = std::move(onPlaced);
  placedPath = path;
  return {};
}

void AddToCurrentBatch(const std::string& path, bool isFolder) {
  if (tCurrentBatch == nullptr) return;
  if (isFolder)
    tCurrentBatch->AddFolder(path);
  else
    tCurrentBatch->AddFile(path);
}

int RenameFileInBatch(const std::string& from, const std::string& to, bool replace) {
  const int error =
      replace ? (::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno) : RenameNoReplace(from, to);
  if (error != 0) return error;
  Record(TDurabilityOp::Rename, from, to);
  AddToCurrentBatch(FolderOf(from), true);
  AddToCurrentBatch(FolderOf(to), true);
  return 0;
}

bool RemoveFileInBatch(const std::string& path) {
  if (path.empty() || ::unlink(path.c_str()) != 0) return false;
  Record(TDurabilityOp::Remove, path);
  AddToCurrentBatch(FolderOf(path), true);
  return true;
}

// ---------------------------------------------------------------------------
// Start-up

int ReplayDurabilityJournals(const std::string& journalFolder, const std::string& root) {
  int removed = 0;
  DIR* dir = ::opendir(journalFolder.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::string> journals;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind(kJournalPrefix, 0) == 0) journals.push_back(journalFolder + "/" + name);
  }
  ::closedir(dir);
  std::set<std::string> changed;
  for (const std::string& journal : journals) {
    std::string text;
    const std::string error = ReadFileBytes(journal, 64 * 1024 * 1024, text, "journal");
    if (!error.empty()) {
      Log(kLogService, error, 5, true);
      continue;
    }
    std::string::size_type start = 0;
    while (start < text.size()) {
      std::string::size_type end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      const std::vector<std::string> fields = SplitTabs(text.substr(start, end - start));
      start = end + 1;
      if (fields.size() != 3) continue;
      const std::string temp = FromJournalPath(Unescape(fields[0]), root);
      const std::string superseded = FromJournalPath(Unescape(fields[1]), root);
      struct stat st {};
      if (::lstat(temp.c_str(), &st) == 0) {
        // Never placed: the old file is the one that counts.
        if (::unlink(temp.c_str()) == 0) {
          Record(TDurabilityOp::Remove, temp);
          changed.insert(FolderOf(temp));
          ++removed;
        }
        continue;
      }
      std::string identity;
      if (!FileIdentity(superseded, identity) || identity != fields[2]) continue;
      if (::unlink(superseded.c_str()) == 0) {
        Record(TDurabilityOp::Remove, superseded);
        changed.insert(FolderOf(superseded));
        ++removed;
        Log(kLogService, "Removed " + superseded + ", which an interrupted commit had replaced", 5,
            false);
      }
    }
  }
  if (!changed.empty()) Flush({}, changed);
  for (const std::string& journal : journals) {
    if (::unlink(journal.c_str()) == 0) Record(TDurabilityOp::Remove, journal);
  }
  if (!journals.empty()) Flush({}, {journalFolder});
  return removed;
}

int RemoveStaleTemporaryFiles(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::string> stale;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (IsStaleTemporaryName(name)) stale.push_back(folder + "/" + name);
  }
  ::closedir(dir);
  int removed = 0;
  for (const std::string& path : stale) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlink(path.c_str()) == 0) {
      Record(TDurabilityOp::Remove, path);
      ++removed;
    }
  }
  return removed;
}

}  // namespace halvorn
