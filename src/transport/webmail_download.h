// The web-mail side of the transport as the POP3 server and the download
// thread call it: the test login of a web-mail account and the download of
// its mail.
//
// Web-mail is not built yet. Until it is, both answer a failure text: a
// web-mail login is refused with it, and a web-mail account is skipped by the
// download with a log record.
#pragma once

#include <atomic>
#include <string>

#include "message/accounts.h"

namespace halvorn {

class TEmailMsgListBase;

// The text both answer while web-mail is not available.
inline constexpr const char* kWebmailUnavailable = "web-mail access is not available";

// Tests the login at the web-mail service (Hotmail kind, else MSN); answers
// an error text, empty on success. Any thread.
std::string CheckWebmailLogin(const std::string& userId, const std::string& password,
                              bool hotmail);

// Downloads the account's new mail into the queue, at most `limit` messages,
// stopping when either flag is set; answers an error text, empty on success.
// Runs on the download thread.
std::string DownloadWebmail(const TRemoteAccountRef& account, const std::atomic<bool>& terminated,
                            const std::atomic<bool>& stopRequested, int limit,
                            TEmailMsgListBase* queue);

}  // namespace halvorn
