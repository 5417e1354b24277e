#include "foundation/app/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <exception>

#include "foundation/files/file_helpers.h"
#include "foundation/files/install_folders.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/numbers.h"
#include "foundation/text/string_list.h"
#include "foundation/threads/mutex_critical_section.h"
#include "foundation/time/clock.h"
#include "platform/thread_identity.h"

namespace halvorn {

namespace {

constexpr const char* kDefaultTitle = "Halvorn";
constexpr int kDefaultDetailSetting = 10;
constexpr int kDefaultKeepDays = 7;
// How long Log keeps trying to take its lock before it gives the record up.
constexpr std::int64_t kLockWaitMs = 3000;
constexpr std::int32_t kMaxDetail = 11;

std::string DefaultTitle() {
  return kDefaultTitle;
}
bool DefaultSelectiveOpenRelay() {
  return false;
}

std::atomic<TLogTitleSource> gTitleSource{&DefaultTitle};
std::atomic<TLogSelectiveOpenRelaySource> gSorSource{&DefaultSelectiveOpenRelay};

// The module's state. The object itself is never freed, so a thread that logs
// while the module ends never touches freed memory; FRunning tells whether the
// module is between start-up and end. Everything but FRunning is guarded by
// FLock.
struct TLogState {
  TMutexCriticalSection FLock{"Log_CS"};
  std::atomic<bool> FRunning{false};
  std::FILE* FFile = nullptr;
  std::string FFilePath;
  TDateTime FLogDate = 0;
  int FDetailSetting = kDefaultDetailSetting;
  int FKeepDays = kDefaultKeepDays;
};

TLogState& State() {
  static TLogState* state = new TLogState;
  return *state;
}

// Set while this thread opens the day's file: the folder code may log its own
// failures, and those records must not try to open the file again.
thread_local bool tOpeningFile = false;

// Takes the log lock, retrying a timed-out wait until kLockWaitMs have passed
// since the first try. The lock's own wait blocks on its monitor rather than
// polling, so a record never waits longer than the writer ahead of it needs.
// False when the lock could not be had; nothing is held then.
bool EnterLogLock(TLogState& state) {
  const std::int64_t start = SteadyMilliseconds();
  for (;;) {
    try {
      state.FLock.Enter();
      return true;
    } catch (const ECriticalSectionException&) {
      if (SteadyMilliseconds() - start >= kLockWaitMs) return false;
    }
  }
}

void CloseFileLocked(TLogState& state) {
  if (state.FFile == nullptr) return;
  std::fflush(state.FFile);
  std::fclose(state.FFile);
  state.FFile = nullptr;
}

std::string LogFolder() {
  return GetLogDir();
}

int DeleteOldLogFilesLocked(TLogState& state) {
  const std::string folder = LogFolder();
  TStringList files;
  // File masks ignore case: the mask finds the ".log" files the log writes.
  ListFilesInDir(folder, "*.Log", false, INT_MAX, files);
  const TDateTime cutOff = Now() - state.FKeepDays;
  const std::string openName = state.FFile != nullptr
                                   ? state.FFilePath.substr(state.FFilePath.rfind('/') + 1)
                                   : std::string();
  int deleted = 0;
  for (int i = 0; i < files.Count(); ++i) {
    const std::string& path = files[i];
    const std::string name = path.substr(path.rfind('/') + 1);
    // The file being written is never deleted (its records would go with it),
    // nor is a name that is itself a mask and could select that file.
    if (name.find_first_of("*?") != std::string::npos) continue;
    if (!openName.empty() && SameText1252(name, openName)) continue;
    const int count = DeleteFilesOlderThan(folder, name, cutOff);
    if (count > 0) deleted += count;
  }
  return deleted;
}

// Opens (appending) or creates the file of the given day. On failure no file
// is open and the next record tries again.
void OpenDayFileLocked(TLogState& state, TDateTime today) {
  state.FLogDate = today;
  tOpeningFile = true;
  const std::string folder = LogFolder();
  tOpeningFile = false;
  state.FFilePath = folder + "/" + LogFileNameForDate(today);
  // The log tells what mail passes through: a new file is the user's alone
  // (0600). Close-on-exec, so no child process keeps the log open.
  const int fd = ::open(state.FFilePath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  state.FFile = ::fdopen(fd, "ab");
  if (state.FFile == nullptr) ::close(fd);
}

void ReplaceCrLf(std::string& text) {
  std::size_t at = text.find("\r\n");
  if (at == std::string::npos) return;
  std::string result;
  result.reserve(text.size() + 16);
  std::size_t from = 0;
  while (at != std::string::npos) {
    result.append(text, from, at - from).append("<CRLF>");
    from = at + 2;
    at = text.find("\r\n", from);
  }
  result.append(text, from, std::string::npos);
  text = std::move(result);
}

std::string BuildRecordLine(const std::string& service, const std::string& text, int detail,
                            bool error, TDateTime now) {
  TStringList items;
  auto add = [&items](const char* name, const std::string& value) {
    if (!value.empty()) items.Add(std::string(name) + "=" + value);
  };
  add("S", service);
  add("T", text);
  add("D", std::to_string(detail));
  add("E", error ? "1" : "0");
  add("Ti", std::to_string(TimeOfDayToInt(now)));
  add("I", std::to_string(platform::CurrentThreadId()));
  return items.CommaText();
}

void WriteRecord(TLogState& state, const std::string& service, const std::string& text, int detail,
                 bool error) {
  const bool selectiveOpenRelay = gSorSource.load()();
  if (selectiveOpenRelay ? detail < kMaxDetail : detail == kMaxDetail) return;

  const TDateTime now = Now();
  const TDateTime today = std::floor(now);
  if (state.FFile == nullptr) {
    if (tOpeningFile) return;
    OpenDayFileLocked(state, today);
    if (state.FFile != nullptr) DeleteOldLogFilesLocked(state);
  } else if (today != state.FLogDate) {
    CloseFileLocked(state);
    OpenDayFileLocked(state, today);
    DeleteOldLogFilesLocked(state);
  }

  if (detail < kDefaultDetailSetting - state.FDetailSetting) return;
  if (state.FFile == nullptr) return;

  std::string clean = text;
  ReplaceCrLf(clean);
  std::string line = BuildRecordLine(service, clean, detail, error, now);
  line += "\r\n";
  std::fwrite(line.data(), 1, line.size(), state.FFile);
}

// Runs the work under the log lock while the module runs; does nothing
// before start-up, after the end, or when the lock cannot be had. Nothing the
// work raises reaches the caller: the log never fails towards it.
template <class Work>
void WhileRunning(Work work) {
  TLogState& state = State();
  if (!state.FRunning.load()) return;
  try {
    if (!EnterLogLock(state)) return;
  } catch (...) {
    // An abandoned worker's lock call raises to unwind it; the log is no
    // place to do that from. Its next heartbeat will.
    return;
  }
  try {
    if (state.FRunning.load()) work(state);
  } catch (...) {
    // A lost record, or a setting not made.
  }
  try {
    state.FLock.Leave();
  } catch (...) {
  }
}

// The receiver of Log's records (log_sink.h).
void ReceiveRecord(const std::string& service, const std::string& text, std::uint8_t detail,
                   bool error) {
  WhileRunning([&](TLogState& state) { WriteRecord(state, service, text, detail, error); });
}

}  // namespace

void StartLogModule() {
  EndLogModule();
  SetLogReceiver(&ReceiveRecord);
  TLogState& state = State();
  if (!EnterLogLock(state)) return;
  state.FFile = nullptr;
  state.FFilePath.clear();
  state.FLogDate = 0;
  state.FDetailSetting = kDefaultDetailSetting;
  state.FKeepDays = kDefaultKeepDays;
  state.FRunning.store(true);
  state.FLock.Leave();
}

void EndLogModule() {
  TLogState& state = State();
  if (!state.FRunning.load()) return;
  if (!EnterLogLock(state)) {
    // A writer still holds the lock; stop new records at least.
    state.FRunning.store(false);
    return;
  }
  state.FRunning.store(false);
  CloseFileLocked(state);
  state.FLock.Leave();
}

void FlushLog() {
  WhileRunning([](TLogState& state) {
    if (state.FFile != nullptr) std::fflush(state.FFile);
  });
}

void SetLogDetailLevel(int level) {
  WhileRunning([level](TLogState& state) { state.FDetailSetting = level; });
}

void SetLogKeepDays(int days) {
  WhileRunning([days](TLogState& state) { state.FKeepDays = days; });
}

std::string LogFileNameForDate(TDateTime date) {
  return gTitleSource.load()() + " - " + FormatDateTime("dd mmm yyyy", date) + ".log";
}

std::string GetLogFileName() {
  TLogState& state = State();
  TDateTime date = 0;
  if (EnterLogLock(state)) {
    date = state.FLogDate;
    state.FLock.Leave();
  }
  return LogFileNameForDate(date);
}

TLogRec ParseLogLine(const std::string& line) {
  // A list of its own for every call: parsing needs no lock.
  TStringList items;
  items.SetCommaText(line);
  TLogRec rec;
  rec.Service = items.Values("S");
  rec.Text = items.Values("T");
  if (!ParseInt32(items.Values("D"), rec.Detail)) rec.Detail = 5;
  rec.Error = items.Values("E") == "1";
  std::int32_t number = 0;
  if (ParseInt32(items.Values("Ti"), number)) rec.Time = TimeOfDayFromInt(number);
  if (ParseInt32(items.Values("I"), number)) rec.ThreadId = number;
  return rec;
}

int DeleteOldLogFiles() {
  int deleted = 0;
  WhileRunning([&deleted](TLogState& state) { deleted = DeleteOldLogFilesLocked(state); });
  return deleted;
}

void SetLogApplicationTitleSource(TLogTitleSource source) {
  gTitleSource.store(source != nullptr ? source : &DefaultTitle);
}

void SetLogSelectiveOpenRelaySource(TLogSelectiveOpenRelaySource source) {
  gSorSource.store(source != nullptr ? source : &DefaultSelectiveOpenRelay);
}

}  // namespace halvorn
