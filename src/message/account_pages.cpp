// The HTML forms a failure notice carries so that the user can correct an
// account, or delete it, from the mail reader. They are submitted to the
// local web server, which checks "PasswordMD5" against the account's current
// password before it changes anything.
#include <string>

#include "foundation/net/host_names.h"
#include "foundation/files/file_helpers.h"
#include "foundation/crypto/md5.h"
#include "foundation/threads/heartbeat.h"  // CategoryRequestPort
#include "message/account_guard.h"
#include "message/accounts.h"
#include "message/link_key.h"

namespace halvorn {

using detail::TAccountGuard;

namespace {

constexpr char kCrLf[] = "\r\n";

// A value inside a double-quoted attribute. Only the four characters that
// could end the value or start markup are replaced; everything else, blanks
// and 8-bit bytes included, stands as it is, so that the browser submits
// exactly the bytes the account holds (HtmlEscape, meant for shown text, turns
// a second blank into &nbsp; and would change the value).
std::string FormValue(const std::string& value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

// "<form action="http://LocalHost:6173/<command>" method=<method>>" and the
// hidden "LinkKey" field the local web server asks of every form (a GET form
// drops the action's query, so the key cannot ride there).
std::string FormStart(const std::string& command, const char* method) {
  return "<form action=\"http://" + LocalHostName() + ":" +
         std::to_string(CategoryRequestPort.load()) + "/" + command + "\" method=" + method +
         "><input type=\"hidden\" name=\"" + kLinkKeyName + "\" value=\"" + GetLinkKey() + "\">";
}

std::string HiddenField(const char* name, const std::string& value) {
  return std::string("<p><input type=\"hidden\" name=\"") + name + "\" value=\"" +
         FormValue(value) + "\">" + kCrLf;
}

// What the forms of a remote account show, read under its lock.
struct TRemoteFormValues {
  std::string UserId;
  std::string Password;
  std::string HostText;
  std::string UniqueId;
  std::int32_t Port = 0;
};

// The owner's user id and whether there is an owner; the owner is found
// before the account's lock is taken (the collection locks come first).
bool OwnerUserId(const TRemoteAccount* account, std::string& userId) {
  const TLocalAccountRef owner = GlobalLocalAccounts().FindOwner(account);
  if (!owner) return false;
  userId = owner->UserId();
  return true;
}

std::string IdentityFields(bool owned, const std::string& ownerUserId,
                           const TRemoteFormValues& values) {
  std::string fields;
  if (owned) fields += HiddenField("QuorUserId", ownerUserId);
  fields += HiddenField("UniqueId", values.UniqueId);
  fields += HiddenField("PasswordMD5", MD5HexUpper(values.Password));
  return fields;
}

std::string DeleteForm(bool owned, const std::string& ownerUserId,
                       const TRemoteFormValues& values) {
  if (!owned) return {};
  // The delete form has no closing tag: the page ends it.
  return FormStart("DeleteAccount", "get") + IdentityFields(owned, ownerUserId, values) +
         "<input type=\"Submit\" value=\"Delete Account\" align=\"MIDDLE\">";
}

const char kChangeButton[] =
    "<input type=\"Submit\" value=\"Change Account Information\" align=\"MIDDLE\"> </form>";

}  // namespace

std::string TRemoteAccount::InfoForm(const char* command, const char* method, bool withServer) {
  std::string ownerUserId;
  const bool owned = OwnerUserId(this, ownerUserId);
  TRemoteFormValues values;
  {
    TAccountGuard guard(FLock);
    values = {FUserId, FPassword, HostTextLocked(), FUniqueId, Port.load()};
  }
  std::string form = FormStart(command, method) + kCrLf +
                     "<p>New UserId: <input type=\"text\" name=\"NewUserId\" value=\"" +
                     FormValue(values.UserId) + "\" size=\"36\">" + kCrLf +
                     "<p>New Password: <input type=\"password\" name=\"NewPassWord\" value=\"" +
                     FormValue(values.Password) + "\" size=\"34\">" + kCrLf;
  if (withServer) {
    form += "<p>New Server Address: <input type=\"text\" name=\"NewServer\" value=\"" +
            FormValue(values.HostText) + "\" size=\"30\">" + kCrLf +
            "<p>Port: <input type=\"text\" name=\"NewPort\" value=\"" +
            std::to_string(values.Port) + "\" size=\"20\">" + kCrLf;
  }
  return form + IdentityFields(owned, ownerUserId, values) + kChangeButton +
         DeleteForm(owned, ownerUserId, values);
}

std::string TRemoteAccount::PopInfoForm() {
  return InfoForm("PopUserInfo", "GET", true);
}

std::string TRemoteAccount::WebmailInfoForm() {
  return InfoForm("HotmailUserInfo", "get", false);
}

std::string TLocalAccount::SmtpInfoForm() const {
  std::string userId, password, smtpUserId, smtpPassword, smtpServer;
  std::int32_t smtpPort = 0;
  {
    TAccountGuard guard(FLock);
    userId = FUserId;
    password = FPassword;
    smtpUserId = FSMTPUserId;
    smtpPassword = FSMTPPassword;
    smtpServer = FSMTPServer;
    smtpPort = SMTPPort.load();
  }
  // In this form three field names stand without quotes.
  return FormStart("SmtpUserInfo", "get") + kCrLf +
         "<p>New UserId: <input type=\"text\" name=NewUserId value=\"" + FormValue(smtpUserId) +
         "\" size=\"36\">" + kCrLf +
         "<p>New Password: <input type=\"password\" name=NewPassWord value=\"" +
         FormValue(smtpPassword) + "\" size=\"34\">" + kCrLf +
         "<p>New Server Address: <input type=\"text\" name=NewServer value=\"" +
         FormValue(smtpServer) + "\" size=\"30\">" + kCrLf +
         "<p>Port: <input type=\"text\" name=\"NewPort\" value=\"" + std::to_string(smtpPort) +
         "\" size=\"20\">" + kCrLf + HiddenField("QuorUserId", userId) +
         HiddenField("PasswordMD5", MD5HexUpper(password)) + kChangeButton;
}

}  // namespace halvorn
