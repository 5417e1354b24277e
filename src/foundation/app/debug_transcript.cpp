#include "foundation/app/debug_transcript.h"

#include <malloc.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "foundation/app/module_startup.h"
#include "foundation/crypto/random_source.h"
#include "foundation/files/install_folders.h"
#include "foundation/app/log.h"
#include "foundation/files/registry_settings.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "platform/main_thread.h"
#include "platform/thread_identity.h"
#include "platform/unix_socket_path.h"

namespace halvorn {
namespace {

const char kSection[] = "Transcript";

std::atomic<std::shared_ptr<const TTranscriptSettings>> gSettings;
std::atomic<std::shared_ptr<const std::function<void()>>> gBeepHook;
std::atomic<std::uint64_t> gLineNumber{0};

void DefaultBeep() {
  if (::isatty(STDERR_FILENO) == 1) {
    const char bell = '\a';
    [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, &bell, 1);
  }
}

void Beep() {
  std::shared_ptr<const std::function<void()>> hook = gBeepHook.load();
  if (hook && *hook) {
    (*hook)();
  } else {
    DefaultBeep();
  }
}

std::shared_ptr<const TTranscriptSettings> CurrentSettings() {
  std::shared_ptr<const TTranscriptSettings> settings = gSettings.load();
  if (!settings) {
    LoadTranscriptSettings();
    settings = gSettings.load();
  }
  return settings;
}

// The one socket every line leaves through; -1 when none could be made.
// Non-blocking, so a viewer whose queue is full never holds up a sender.
int SenderSocket() {
  static const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  return fd;
}

// Sends one datagram to the viewer; false when there is no viewer, its queue
// is full, or the path does not fit a socket address. Without a runtime
// folder the socket lies in the shared temporary folder, so a socket there
// that belongs to another user is no viewer: the lines may tell what mail
// passes through.
bool SendDatagram(const std::string& path, const std::string& payload) {
  if (path.empty()) return false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid()) {
    return false;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() > platform::kMaxUnixSocketPath) return false;  // logged at load
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = SenderSocket();
  if (fd < 0) return false;
  const ssize_t sent = ::sendto(fd, payload.data(), payload.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  return sent == static_cast<ssize_t>(payload.size());
}

// The heap figures of the C library's allocator.
void FillMemoryFigures(TTranscriptLine& line) {
  const struct mallinfo2 info = ::mallinfo2();
  line.HasMemory = true;
  line.TotalCommitted = info.arena + info.hblkhd;
  line.TotalAllocated = info.uordblks + info.hblkhd;
  line.TotalFree = info.fordblks;
  line.FreeSmall = info.fsmblks;
  line.FreeBig = info.fordblks >= info.fsmblks ? info.fordblks - info.fsmblks : 0;
  line.HeldBack = info.keepcost;
  line.TotalUncommitted = 0;  // the allocator reserves nothing it has not mapped
  const std::uint64_t used = line.TotalAllocated + line.TotalFree;
  line.Overhead = line.TotalCommitted > used ? line.TotalCommitted - used : 0;
}

}  // namespace

void LoadTranscriptSettings() {
  auto settings = std::make_shared<TTranscriptSettings>();
  settings->SendAnything = RegReadBool(kSection, "TransSendAnything", true);
  settings->SendErrorsOnly = RegReadBool(kSection, "TransSendErrorsOnly", false);
  settings->SendMemory = RegReadBool(kSection, "TransSendMemory", false);
  settings->BeepOnErrorLevel = RegReadInteger(kSection, "TransBeepOnErrorLevel", 0);
  // Kept in the registry for the viewer's side; nothing here acts on them.
  (void)RegReadBool(kSection, "TransSendUDP", false);
  (void)RegReadBool(kSection, "TransCompressUDP", false);
  (void)RegReadInteger("TransUDPPacketSize", "TransUDPPacketSize", 0);
  (void)RegReadInteger("MinimumTranscriptLevel", "MinimumTranscriptLevel", 0);
  settings->ViewerPath = TranscriptViewerSocketPath();
  const std::string pathError = platform::UnixSocketPathError(settings->ViewerPath);
  gSettings.store(std::move(settings));
  // After the store: the log must find the settings in place.
  if (!pathError.empty()) Log("Transcript", "No viewer can be reached. " + pathError, 8, true);
}

TTranscriptSettings GetTranscriptSettings() {
  return *CurrentSettings();
}

std::string TranscriptViewerSocketPath() {
  std::string folder;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
    folder = runtime;
  } else {
    folder = GetTempDir();
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder + "/TTranscriptClient-" + GetInstallDirKey() + ".sock";
}

std::string TranscriptLineText(const std::string& text, const std::string& prefix) {
  std::string result;
  if (text.size() > kTranscriptMaxText) {
    result =
        "TRUNCATED(" + std::to_string(text.size()) + "bytes):" + text.substr(0, kTranscriptMaxText);
  } else {
    result = text;
  }
  result.insert(0, prefix);
  ReplaceAll("\r\n", "<CRLF>", result);
  ReplaceAll("\r", "<CR>", result);
  ReplaceAll("\n", "<LF>", result);
  return result;
}

std::string BuildTranscriptRecord(const TTranscriptLine& line) {
  TStringList items;
  auto add = [&items](const char* name, const std::string& value) {
    if (!value.empty()) items.Add(std::string(name) + "=" + value);
  };
  add("S", line.Source);
  add("T", line.Text);
  add("D", std::to_string(line.Level));
  if (line.Error) add("E", "1");
  add("Ti", std::to_string(TimeOfDayToInt(line.Time)));
  add("I", std::to_string(line.ThreadId));
  add("P", std::to_string(line.ProcessId));
  add("TT", std::to_string(line.ThreadCpu));
  if (line.HasMemory) {
    add("TA", std::to_string(line.TotalAllocated));
    add("TU", std::to_string(line.TotalUncommitted));
    add("TC", std::to_string(line.TotalCommitted));
    add("TF", std::to_string(line.TotalFree));
    add("FS", std::to_string(line.FreeSmall));
    add("FB", std::to_string(line.FreeBig));
    add("UU", std::to_string(line.HeldBack));
    add("OH", std::to_string(line.Overhead));
  }
  return items.CommaText();
}

bool TranscriptLog(const std::string& source, const std::string& text, std::uint8_t level,
                   bool error) {
  try {
    const std::shared_ptr<const TTranscriptSettings> settings = CurrentSettings();
    if (error && settings->BeepOnErrorLevel != 0 && level >= settings->BeepOnErrorLevel) Beep();
    if (settings->SendAnything && level >= 1 && (!settings->SendErrorsOnly || error)) {
      TTranscriptLine line;
      line.LineNumber = ++gLineNumber;
      line.Source = source;
      line.Level = level;
      line.Error = error;
      line.Time = Now();
      line.ThreadId = platform::CurrentThreadId();
      line.ProcessId = static_cast<std::uint32_t>(::getpid());
      line.Cookie = static_cast<std::int32_t>(RandomRange(0, 2147483646));
      line.ViewerPath = settings->ViewerPath;
      std::string prefix;
      if (InWindowProc.load()) prefix = platform::OnMainThread() ? "." : ",";
      line.Text = TranscriptLineText(text, prefix);
      line.ThreadCpu = static_cast<std::uint32_t>(ThreadCpuTime());
      if (settings->SendMemory) FillMemoryFigures(line);
      if (SendDatagram(line.ViewerPath, BuildTranscriptRecord(line))) ::sched_yield();
    }
  } catch (...) {
    // The transcript is a debugging aid: nothing in it may fail its caller.
  }
  if (text.find("Stack overflow") != std::string::npos) HandleStackOverflow();
  return true;
}

void TranscriptPostCommand(std::uint32_t wParam, std::uint8_t lParam) {
  try {
    const std::string payload = "#" + std::to_string(kTranscriptCommandMessage) + " " +
                                std::to_string(wParam) + " " + std::to_string(lParam);
    SendDatagram(CurrentSettings()->ViewerPath, payload);
  } catch (...) {
  }
}

void SetTranscriptBeepHook(std::function<void()> hook) {
  if (hook) {
    gBeepHook.store(std::make_shared<const std::function<void()>>(std::move(hook)));
  } else {
    gBeepHook.store(nullptr);
  }
}

}  // namespace halvorn
