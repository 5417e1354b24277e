#include "transport/webmail_download.h"

namespace halvorn {

std::string CheckWebmailLogin(const std::string& /*userId*/, const std::string& /*password*/,
                              bool /*hotmail*/) {
  return kWebmailUnavailable;
}

std::string DownloadWebmail(const TRemoteAccountRef& /*account*/,
                            const std::atomic<bool>& /*terminated*/,
                            const std::atomic<bool>& /*stopRequested*/, int /*limit*/,
                            TEmailMsgListBase* /*queue*/) {
  return kWebmailUnavailable;
}

}  // namespace halvorn
