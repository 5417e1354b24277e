// Where log records go.
//
// Code of every layer records what it does through Log. The records are
// written by the program's daily log (app/log.h), which makes itself the
// receiver here when its module starts; until then, and in programs that
// never start it, Log does nothing. This unit depends on nothing else, so the
// locks, threads and files that the daily log is built on can log too.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn {

// Writes one record: the service that logs, the text, its detail level (0 to
// 11, higher is more important) and whether it reports an error. What the
// daily log keeps of it is said in app/log.h. Never fails towards its caller
// and never raises. Safe from any thread, also from within code the log
// itself calls.
void Log(const std::string& service, const std::string& text, std::uint8_t detail, bool error);

// The function that receives every record. It must be safe from any thread,
// never raise, and stay callable for the rest of the process.
using TLogReceiver = void (*)(const std::string& service, const std::string& text,
                              std::uint8_t detail, bool error);

// Makes `receiver` the one receiver (null: records are dropped). Called by the
// daily log's start-up; safe from any thread.
void SetLogReceiver(TLogReceiver receiver);

}  // namespace halvorn
