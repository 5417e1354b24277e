#include "processing/processing_module.h"

#include <exception>
#include <memory>
#include <string>

#include "foundation/log/log_sink.h"
#include "processing/action_list.h"
#include "processing/rule_list.h"

namespace halvorn {

void StartProcessingModule() {
  try {
    SetGlobalActionList(std::make_shared<TActionList>());
    SetGlobalRuleList(std::make_shared<TRuleList>());
  } catch (const std::exception& error) {
    Log(kRulesLogService, std::string("The processing module did not start whole: ") + error.what(),
        3, true);
  }
}

void EndProcessingModule() {
  SetGlobalRuleList(nullptr);
  SetGlobalActionList(nullptr);
}

}  // namespace halvorn
