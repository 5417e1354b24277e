#include "foundation/log.h"

namespace halvorn {

void Log(const std::string& /*service*/, const std::string& /*text*/, std::uint8_t /*detail*/,
         bool /*error*/) {}

}  // namespace halvorn
