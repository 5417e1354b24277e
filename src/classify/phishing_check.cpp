#include "classify/phishing_check.h"

#include <algorithm>
#include <utility>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/string_list.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "message/email_address.h"
#include "message/email_info.h"
#include "message/email_msg.h"
#include "message/email_msg_part.h"
#include "message/quor_url.h"
#include "message/simple_html.h"

namespace halvorn {

namespace {

constexpr int kOldestReceivedLines = 20;
constexpr int kVerdictLevel = 10;
constexpr int kNoEvidenceHoaxScore = 50;
constexpr int kMaxHoaxScore = 100;
constexpr int kEveryLevel = 255;

// A host is IP-like when it is no ordinary host name: a dotted, decimal or
// hexadecimal address, or a missing or undotted host.
bool IsIpLike(const TQuorUrl& url) {
  return url.HostKind() != 0;
}

bool ContainsCI(std::string_view text, std::string_view part) {
  return FindTextCIFrom(text, part, 1) > 0;
}

// A web link: what the message's own URL list holds.
bool IsWebTarget(std::string_view target) {
  const std::string_view trimmed = TrimTextView(target);
  for (const std::string_view scheme : {"http://", "https://", "ftp://"})
    if (trimmed.size() >= scheme.size() && SameText1252(trimmed.substr(0, scheme.size()), scheme))
      return true;
  return false;
}

// What the HTML part shows, read under the message's lock.
struct THtmlFacts {
  bool HasHtml = false;
  TStringList Images;
  std::string FormAction;
  TStringList Links;
};

THtmlFacts HtmlFacts(TEmailMsg& msg) {
  THtmlFacts facts;
  TCriticalSectionGuard guard(msg.MessageLock());
  TEmailMsgPart* plain = nullptr;
  TEmailMsgPart* html = nullptr;
  msg.GetTextParts(plain, html);
  if (html == nullptr) return facts;
  facts.HasHtml = true;
  html->GetExtImageRefUrls(facts.Images);
  html->GetFormActions(facts.FormAction);
  html->GetUrls(facts.Links);
  return facts;
}

}  // namespace

bool ReceivedLinesContain(TEmailMsg& msg, std::string_view text) {
  TCriticalSectionGuard guard(msg.MessageLock());
  TEmailHeader* header = msg.GetHeader();
  if (header == nullptr) return false;
  std::string line;
  for (int n = 1; n <= kOldestReceivedLines; ++n) {
    if (!header->GetReceivedLine(n, line)) break;
    if (PosCI(text, line) > 0) return true;
  }
  return false;
}

bool LooksLikeDomain(std::string_view target, std::string_view domain) {
  if (domain.empty()) return false;
  const std::string text = LowerCase1252(target);
  const std::string wanted = LowerCase1252(domain) + "/";
  for (std::size_t at = text.find(wanted, 1); at != std::string::npos;
       at = text.find(wanted, at + 1)) {
    const char before = text[at - 1];
    if (before != '.' && before != '/' && before != '@') return true;
  }
  return false;
}

void CheckPhishing(TEmailMsg& msg, std::int32_t& hoaxScore, const std::string& owner) {
  std::string from, messageId, mailer;
  bool hasMessageId = false;
  {
    TCriticalSectionGuard guard(msg.MessageLock());
    TEmailHeader* header = msg.GetHeader();
    if (header == nullptr || !header->GetValue("From", from)) return;
    hasMessageId = header->GetValue("Message-ID", messageId);
    header->GetValue("X-mailer", mailer);
  }
  TEmailAddress sender;
  sender.Parse(from);
  const std::string domain = sender.GetDomain();
  TSimpleHtml findings;
  auto add = [&findings](const std::string& line) {
    findings.AddLine(line, -1, kHtmlKindAll, true);
  };
  int score = 0;

  const bool bank = IsBankingDomain(domain);
  if (bank && EndsWith(LowerCase1252(domain), kPaymentDomain)) {
    if (!ReceivedLinesContain(msg, kPaymentDomain)) {
      add("o The email does not appear to have come from a Paypal server.");
      add("&nbsp; This is highly suspicious.");
      score = 90;
    }
    const std::string genuine =
        "&nbsp; Genuine Email from Paypal should have \"paypal\" in the message id.";
    if (!hasMessageId) {
      add("o The email does not have a messageid.");
      add(genuine);
      score += 40;
    } else if (!ContainsCI(messageId, "paypal")) {
      add("o The messageid of the email does not indicate that it comes from Paypal.");
      add(genuine);
      score += 10;
    }
    if (ContainsCI(mailer, "Outlook Express")) {
      add("o The email was created using Outlook Express.");
      add("&nbsp; Paypal does not use Outlook Express to create it's emails.");
    }
  }

  if (bank || IsMajorVendorDomain(domain)) {
    const THtmlFacts html = HtmlFacts(msg);
    if (html.HasHtml) {
      const std::string ownPictures =
          "&nbsp; Email from legitimate companies get their pictures from their own servers.";
      TQuorUrl url;
      for (int i = 0; i < html.Images.Count(); ++i) {
        url.SetUrl(html.Images[i]);
        if (IsIpLike(url)) {
          add("o The email contains references to images from a suspicious server");
          add(ownPictures);
          score += 40;
          break;
        }
      }
      for (int i = 0; i < html.Images.Count(); ++i) {
        url.SetUrl(html.Images[i]);
        if (url.Host.find(domain) == std::string::npos) {
          add("o The email contains image references to from a server that does not appear to "
              "belong to the sender");
          add(ownPictures);
          score += 10;
          break;
        }
      }

      if (!html.FormAction.empty()) {
        url.SetUrl(html.FormAction);
        add("o The email contains a form that returns information to \"" + url.Host + "\".");
        add("&nbsp; Legitimate companies will not ask you to fill out information in an email.");
        add("&nbsp; Instead they will give you a link to their server where you can enter "
            "information.");
        score += 50;
        if (html.FormAction.find(domain) == std::string::npos) {
          add("&nbsp; The server the information is being sent to does not appear to belong to "
              "the company this email claims to be from.");
          score += 20;
        }
        if (IsIpLike(url)) {
          add("&nbsp; The server the information is being sent to looks suspicious.");
          score += 50;
        }
      }

      for (int i = 0; i < html.Links.Count(); ++i) {
        if (html.Links.Numbers(i) == 1) continue;  // an image alone
        TStringList link;
        link.SetCommaText(html.Links[i]);
        if (link.Count() != 2 || !IsWebTarget(link[0])) continue;
        const std::string& target = link[0];
        const std::string& text = link[1];
        url.SetUrl(target);
        if (ContainsCI(text, "https") && !ContainsCI(target, "https")) {
          add("o The email contains what looks like a secure link but is not actually secure.");
          score += 70;
        }
        if (IsIpLike(url)) {
          add("o The email contains a link to a suspisious (IP) server.");
          score += 30;
          if (ContainsCI(text, "http:") && text.find(url.Host) == std::string::npos) {
            add("&nbsp; This fact is hidded in the text of the email.");
            score += 40;
          }
        }
        if (!url.User.empty()) {
          add("o The email contains a deceptive link.");
          score += 30;
          if (!domain.empty() && (ContainsCI(url.User, domain) || ContainsCI(url.Password, domain))) {
            add("&nbsp; The link has been faked to look like it will take you to " + domain);
            score += 40;
          }
        }
        if (LooksLikeDomain(target, domain)) {
          add("o The email contains a link to a website who's name looks like " + domain +
              " but is not");
          score += 30;
        }
      }
    }
  }

  if (findings.Empty()) return;
  findings.InsertLine(
      0,
      score < 50 ? "<br><b>Certain irregularities with this email indicate that it may be a "
                   "phishing hoax.</b>"
      : score < 75
          ? "<font color=\"orange\"><br>Certain irregularities with this email indicate that it "
            "is a phishing hoax.</font>"
          : "<font color=\"red\"><br>Certain irregularities with this email strongly indicate "
            "that it is a phishing hoax.</font>",
      kVerdictLevel, kHtmlKindAll, false);
  if (hoaxScore == kNoEvidenceHoaxScore) {
    add("Quorvantis does not currently have this email flagged as a hoax in our database.");
    add("This warning was issued due to the suspicious attributes listed above.");
  } else {
    add("Emails similar to this have been flagged in the Quorvantis database as hoaxes.");
  }
  std::int32_t qchMsgId = 0;
  msg.WithInfo([&qchMsgId](TEmailInfo& info) { qchMsgId = info.QCHMsgId(); });
  const std::string link = LocalLink(
      "Categorize", {{"Hint", "Hoax"},
                     {"MsgId", std::to_string(qchMsgId)},
                     {"ContentId", std::to_string(msg.GetContentId())},
                     {"UserId", owner},
                     {"BackupFile", msg.GetInfoValue(TEmailInfoKey::BackupFile)},
                     {"ListId", msg.GetInfoValue(TEmailInfoKey::MailListId)},
                     {"HaveText", msg.GetInfoValue(TEmailInfoKey::QCHHasMsgText)},
                     {"Category", "5"}});
  add("Click <a href=\"" + link + "\">here</a> to report this email as a hoax.");
  // Raised by half the points, to at most 100; never lowered.
  const std::int64_t raised = std::min<std::int64_t>(std::int64_t{hoaxScore} + score / 2, kMaxHoaxScore);
  hoaxScore = static_cast<std::int32_t>(std::max<std::int64_t>(hoaxScore, raised));
  TCriticalSectionGuard guard(msg.MessageLock());
  findings.CopyFiltered(msg.GeneralInfo(), kEveryLevel, kHtmlKindAll);
}

}  // namespace halvorn
