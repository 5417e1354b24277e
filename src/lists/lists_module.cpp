#include "lists/lists_module.h"

#include <memory>
#include <string>

#include "foundation/app/log.h"
#include "lists/dcc/dcc_server_list.h"
#include "lists/default_phrases.h"
#include "lists/mailing_lists.h"
#include "lists/dnsbl/asynch_dnsrbl_lookup.h"
#include "lists/dnsbl/dnsbl_servers.h"
#include "lists/phrases_list.h"
#include "lists/qch/qch_service.h"

namespace halvorn {

void InitializeListsModule() {
  SetGlobalPhrasesList(std::make_shared<TPhrasesList>());
  SetGlobalMailingListList(std::make_shared<TMailingListList>());
  SetLooksLikeMailingList(GlobalLooksLikeMailingList);
  std::string error = InstallDefaultPhrasesFile();
  if (!error.empty()) Log("Lists", "The default phrases are not installed: " + error, 3, true);
  InitializeQchModule();
  InstallDnsrblLookups();
  SetGlobalDccServerList(std::make_shared<TDccServerList>());
}

void FinalizeListsModule() {
  // The message model stops asking the table before it goes.
  SetLooksLikeMailingList(nullptr);
  SetGlobalMailingListList(nullptr);
  SetGlobalPhrasesList(nullptr);
  FinalizeQchModule();
  SetGlobalDccServerList(nullptr);
  SetGlobalDnsrblServers({});
}

}  // namespace halvorn
