// The program's daily log.
//
// For now the log only has its entry point: records are accepted and dropped.
// The file, the record format and the viewer come with the runtime.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn {

// Writes one record: the service that logs, the text, its detail level (0 to
// 11, higher is more important) and whether it reports an error. Never fails
// towards its caller; safe from any thread.
void Log(const std::string& service, const std::string& text, std::uint8_t detail, bool error);

}  // namespace halvorn
