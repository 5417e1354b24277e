// The debug transcript: debug lines sent to an outside viewer program, next to
// the log.
//
// The viewer listens on a Unix datagram socket (TranscriptViewerSocketPath).
// Each line goes there as one datagram holding its line record: the comma text
// of the items S (source), T (text), D (level), E ("1", error lines only), Ti
// (time of day x 2147483647), I (thread id), P (process id), TT (thread CPU
// time in 100 us) and, when memory figures are on, TA, TU, TC, TF, FS, FB,
// UU, OH (heap figures in bytes). A command datagram starts with "#" (a record
// never does): "#" + message number + " " + wParam + " " + lParam, all in
// decimal.
//
// Datagrams are sent without waiting: when no viewer listens, or its queue is
// full because it does not read, the line is dropped and nothing else
// happens. The transcript therefore never stalls the thread that logs. A
// socket owned by another user is never sent to.
//
// Settings come from the registry section "Transcript" (registry_settings.h):
// "TransSendAnything" (default true), "TransSendErrorsOnly" (false),
// "TransSendMemory" (false) and "TransBeepOnErrorLevel" (0). They, and the
// viewer's socket path, are fixed once, at the first line or by
// LoadTranscriptSettings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "foundation/time/date_time.h"

namespace halvorn {

// The window message of a line, and that of a command to the viewer.
constexpr std::uint32_t kTranscriptLineMessage = 0x4CA;     // WM_USER+202
constexpr std::uint32_t kTranscriptCommandMessage = 0x49E;  // WM_USER+158

// The longest text a line carries whole; longer texts are cut.
constexpr std::size_t kTranscriptMaxText = 500;

// One line: created, sent and dropped within TranscriptLog.
struct TTranscriptLine {
  std::string ViewerPath;  // the viewer's socket; empty when there is none
  std::uint64_t LineNumber = 0;
  std::string Source;
  std::string Text;
  std::uint8_t Level = 5;
  bool Error = false;
  TDateTime Time = 0;
  std::uint32_t ThreadId = 0;
  std::uint32_t ProcessId = 0;
  std::uint32_t ThreadCpu = 0;  // 100 us units
  bool HasMemory = false;
  std::uint64_t TotalUncommitted = 0;
  std::uint64_t TotalCommitted = 0;
  std::uint64_t TotalAllocated = 0;
  std::uint64_t TotalFree = 0;
  std::uint64_t FreeSmall = 0;
  std::uint64_t FreeBig = 0;
  std::uint64_t HeldBack = 0;
  std::uint64_t Overhead = 0;
  std::int32_t Cookie = 0;  // 0 to 2147483646, drawn per line
};

// The transcript's settings.
struct TTranscriptSettings {
  bool SendAnything = true;
  bool SendErrorsOnly = false;
  bool SendMemory = false;
  std::int32_t BeepOnErrorLevel = 0;
  std::string ViewerPath;  // TranscriptViewerSocketPath() when read
};

// Reads the settings from the registry, and the viewer's path from the
// environment, now (module start-up, tests). Any
// thread; a line being sent meanwhile uses the old or the new settings whole.
void LoadTranscriptSettings();
// The settings in force (read from the registry on first use).
TTranscriptSettings GetTranscriptSettings();

// The viewer's socket: $XDG_RUNTIME_DIR (the temporary folder when unset or
// not absolute) + "/TTranscriptClient-" + GetInstallDirKey() + ".sock".
std::string TranscriptViewerSocketPath();

// The text as a line carries it: a text over 500 characters becomes
// "TRUNCATED(" + its length + "bytes):" + its first 500 characters; then
// `prefix` is put in front; then CR LF becomes "<CRLF>", a remaining CR "<CR>"
// and a remaining LF "<LF>".
std::string TranscriptLineText(const std::string& text, const std::string& prefix);

// The line record of a line (see above).
std::string BuildTranscriptRecord(const TTranscriptLine& line);

// Sends a debug line to the viewer when one listens and the settings let the
// line through (level at least 1; with "TransSendErrorsOnly" only error
// lines). An error line of at least "TransBeepOnErrorLevel" (when that is not
// 0) beeps first. A text containing "Stack overflow" is then handed to the
// stack-overflow handling (module_startup.h), which on a registered worker
// raises to abandon it. Always answers true; every failure to send is
// ignored. Safe from any thread; takes no lock.
bool TranscriptLog(const std::string& source, const std::string& text, std::uint8_t level,
                   bool error);

// Sends the command (message kTranscriptCommandMessage with these parameters)
// to the viewer when one listens; otherwise nothing happens. Any thread.
void TranscriptPostCommand(std::uint32_t wParam, std::uint8_t lParam);

// What sounds the beep; by default the terminal bell on standard error when
// that is a terminal. An empty hook restores the default. Tests count beeps
// through it.
void SetTranscriptBeepHook(std::function<void()> hook);

}  // namespace halvorn
