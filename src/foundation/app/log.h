// The program's daily log.
//
// Every subsystem records what it does through Log (foundation/log/log_sink.h,
// included here); StartLogModule makes this module the receiver of those
// records. Records go to one text
// file per day, "<application title> - dd mmm yyyy.log" (English month
// names), in the install folder's Log folder; each record is one CR LF ended
// line holding the comma text of the items S (service), T (text), D (detail
// level), E (error flag), Ti (time of day x 2147483647) and I (thread id),
// an item with an empty value being left out. The date is only in the file
// name. Files older than the keep-days setting are deleted when the day's file
// is opened and at every change of day.
//
// All file access and both settings are guarded by the lock "Log_CS". The
// module exists between StartLogModule and EndLogModule; outside that window
// Log, FlushLog and the setters do nothing.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/log/log_sink.h"
#include "foundation/time/date_time.h"

namespace halvorn {

// One parsed record line.
struct TLogRec {
  std::string Service;
  std::string Text;  // "<CRLF>" marks stay as written
  bool Error = false;
  std::int32_t Detail = 5;
  std::int32_t ThreadId = 0;
  TDateTime Time = 0;  // fraction of a day since midnight
};

// Creates the module's state: detail setting 10, keep-days 7, no file open,
// LogDate 0. Called by module start-up before any worker exists; a second
// call ends the running module first (tests rely on that).
void StartLogModule();

// Flushes and closes the open file; afterwards the log does nothing until the
// next StartLogModule. Called by module end. Safe from any thread.
void EndLogModule();

// What the log keeps of the records of Log (log_sink.h): records with detail
// below 10 - the detail setting are not written. The selective open-relay
// option decides which records count at all: while it is off, records of
// detail exactly 11 are dropped; while it is on, only records of detail 11 and
// above are kept. A lock time-out, a log folder that cannot be written or a
// failed write lose the record and nothing else. A record logged by code the
// log itself calls while it opens the day's file is dropped.

// Writes the open file's buffered records to disk. Safe from any thread.
void FlushLog();

// The detail setting (default 10): records below 10 - level are not written.
// Safe from any thread.
void SetLogDetailLevel(int level);

// The number of days after which log files are deleted (default 7). Safe from
// any thread.
void SetLogKeepDays(int days);

// The file name (no folder) of the open file's date; "... - 30 Dec 1899.log"
// before the first record. Safe from any thread.
std::string GetLogFileName();

// The file name (no folder) the log uses for the given date.
std::string LogFileNameForDate(TDateTime date);

// Reads a record line. Never fails: a missing or malformed D gives Detail 5, a
// missing E gives Error false, and a missing or malformed Ti or I leaves Time
// or ThreadId 0. Safe from any thread.
TLogRec ParseLogLine(const std::string& line);

// Deletes every "*.log" file of the log folder (any case) created before now
// minus the keep-days setting, except the file the log is writing to; a file
// that cannot be deleted is skipped. Answers the number deleted; 0 when the
// folder does not exist or the module is not running. Safe from any thread.
int DeleteOldLogFiles();

// The values the log takes from the program's utility module. Until that
// module installs its own, the title is "Halvorn" and the selective open-relay
// option is off. Set them at start-up, before workers run; each function must
// be safe from any thread and must not log.
using TLogTitleSource = std::string (*)();
using TLogSelectiveOpenRelaySource = bool (*)();
void SetLogApplicationTitleSource(TLogTitleSource source);
void SetLogSelectiveOpenRelaySource(TLogSelectiveOpenRelaySource source);

}  // namespace halvorn
