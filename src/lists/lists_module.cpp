#include "lists/lists_module.h"

#include <memory>
#include <string>

#include "foundation/app/log.h"
#include "lists/default_phrases.h"
#include "lists/phrases_list.h"
#include "lists/qch/qch_service.h"

namespace halvorn {

void InitializeListsModule() {
  SetGlobalPhrasesList(std::make_shared<TPhrasesList>());
  std::string error = InstallDefaultPhrasesFile();
  if (!error.empty()) Log("Lists", "The default phrases are not installed: " + error, 3, true);
  InitializeQchModule();
}

void FinalizeListsModule() {
  SetGlobalPhrasesList(nullptr);
  FinalizeQchModule();
}

}  // namespace halvorn
