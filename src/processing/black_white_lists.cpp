#include "processing/black_white_lists.h"

#include <string>
#include <vector>

#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/trite_array.h"
#include "classify/test_list.h"
#include "lists/mailing_lists.h"
#include "lists/phrases_list.h"
#include "message/dcc_checksums.h"
#include "message/email_address.h"
#include "message/email_header.h"
#include "message/email_info.h"
#include "message/email_msg_list.h"
#include "message/mailing_list.h"
#include "message/msg_category.h"
#include "message/simple_html.h"

namespace halvorn {

namespace {

std::shared_ptr<TPhrases> BuiltIn(int index) {
  const auto set = GlobalPhrasesList();
  return set == nullptr ? nullptr : set->GetBuiltInList(index);
}

void SetTest(TEmailMsg& msg, int index, bool found) {
  msg.WithInfo([&](TEmailInfo& record) { record.SetStandardTest(index, TriteFromBool(found)); });
}

// An anchored look-up with the entry; false for an empty text or no list.
bool Lookup(const std::shared_ptr<TPhrases>& list, const std::string& text, std::string& entry) {
  entry.clear();
  if (list == nullptr || text.empty()) return false;
  std::string piece;
  return list->FindMatch(text, piece, true, &entry) >= 0;
}

// Where the lines of one check go.
class TCheckReport {
 public:
  TCheckReport(TEmailMsg& msg, TSimpleHtml& mainReason)
      : FMsg(msg), FMain(mainReason), FExtra(msg.AdditionalInfo().Add()) {}

  // A whitelisting line: the first (verdict not yet yes) goes to GeneralInfo
  // at level 2, any later one to the fragment at level 5; then the verdict.
  void Whitelist(const std::string& line) {
    if (FMsg.GetUserWanted() != kTriteYes) {
      FMsg.GeneralInfo().AddLine(line, 2, kHtmlKindAll, true);
      FMain.AddLine(line, 2, kHtmlKindAll, true);
    } else {
      FExtra->AddLine(line, 5, kHtmlKindAll, true);
    }
    FMsg.SetUserWanted(kTriteYes, false);
  }
  // A blacklisting reason: the verdict no, and the line that says whether
  // it took.
  void Blacklist(const std::string& done, const std::string& prevented) {
    const bool set = FMsg.SetUserWanted(kTriteNo, false);
    FExtra->AddLine(set ? done : prevented, 5, kHtmlKindAll, true);
  }
  // The mailing-list line, placed as a whitelisting line would be at the
  // moment `first` was taken (before its verdict).
  void ListLine(const std::string& line, bool first) {
    if (first) {
      FMsg.GeneralInfo().AddLine(line, 2, kHtmlKindAll, true);
      FMain.AddLine(line, 2, kHtmlKindAll, true);
    } else {
      FExtra->AddLine(line, 5, kHtmlKindAll, true);
    }
  }

 private:
  TEmailMsg& FMsg;
  TSimpleHtml& FMain;
  TSimpleHtml* FExtra;
};

std::string Quoted(const std::string& text) { return "\"" + HtmlSafe(text) + "\""; }

}  // namespace

void CheckBlackWhiteMessage(TEmailMsg& msg, bool firstRun, const TQueueFingerprints* queueMail,
                            TSimpleHtml& mainReason) {
  TCheckReport report(msg, mainReason);
  AddMailingListLinks(msg, firstRun, queueMail);

  TEmailHeader* header = msg.GetHeader();
  if (header == nullptr) return;
  std::string from, replyTo, xSender, sender, xReturnPath;
  const bool hasFrom = header->GetFromAddress(from);
  const bool hasReplyTo = header->GetReplyToAddress(replyTo);
  const bool hasXSender = header->GetXSenderAddress(xSender);
  const bool hasXReturnPath = header->GetXReturnPathAddress(xReturnPath);
  std::string subject;
  header->GetSubject(subject);
  subject = TrimText(subject);
  while (StripShortPrefixes(subject)) subject = TrimText(subject);

  const auto approved = BuiltIn(bplApprovedSenders);
  const auto banned = BuiltIn(bplBannedSenders);
  const auto sentIds = BuiltIn(bplSentMessageIds);
  const auto approvedSubjects = BuiltIn(bplApprovedSubjectLines);
  const auto bannedSubjects = BuiltIn(bplBannedSubjectLines);
  const auto spamSums = BuiltIn(bplSpamChecksums);

  // Whitelisting, in order.
  auto approvedAddress = [&](bool present, const std::string& address, const char* name, int test) {
    if (!present || address.empty()) return false;
    std::string entry;
    const bool found = Lookup(approved, address, entry);
    SetTest(msg, test, found);
    if (found) {
      const std::string lead = std::string("Email was whitelisted because the ") + name +
                               " address " + Quoted(address);
      report.Whitelist(SameText1252(entry, address)
                           ? lead + " was found in your approved senders list"
                           : lead + " matched the approved sender " + Quoted(entry));
    }
    return found;
  };
  approvedAddress(hasFrom, from, "From", 757);
  approvedAddress(hasReplyTo, replyTo, "Reply-To", 758);
  if (hasXSender && !xSender.empty()) {
    if (!approvedAddress(true, xSender, "X-Sender", 759) && header->GetSenderAddress(sender))
      approvedAddress(true, sender, "Sender", 759);
  }
  approvedAddress(hasXReturnPath, xReturnPath, "X-ReturnPath", 760);

  const struct {
    const char* Header;
    int Test;
    const char* Line;
  } threadReasons[] = {
      {"Message-Id", 761, "Email was whitelisted because it's Message-Id was whitelisted."},
      {"References", 762, "Email was whitelisted because it references an email that was whitelisted."},
      {"In-Reply-To", 763,
       "Email was whitelisted because it is In Reply To an email that was whitelisted."},
  };
  for (const auto& reason : threadReasons) {
    std::string value;
    if (!header->GetRawValue(reason.Header, value, true)) continue;
    value = TrimText(value);
    if (value.empty()) continue;
    const bool found = sentIds != nullptr && sentIds->FindInText(value) >= 0;
    SetTest(msg, reason.Test, found);
    if (found) report.Whitelist(reason.Line);
  }

  if (!subject.empty()) {
    std::string entry;
    const bool found = Lookup(approvedSubjects, subject, entry);
    SetTest(msg, 764, found);
    if (found) {
      const std::string lead = "Email was whitelisted because the Subject " + Quoted(subject);
      report.Whitelist(SameText1252(entry, subject)
                           ? lead + " was found in your approved subject lines list"
                           : lead + " matched the Approved Subject Line " + Quoted(entry));
    }
  }

  // The mailing list.
  if (const auto table = GlobalMailingListList()) {
    const std::unique_ptr<TMailingList> fingerprint = msg.GetMailingList();
    if (fingerprint != nullptr && table->LooksLikeMailingList(*fingerprint)) {
      const TMailingListMatch match = table->FindBestMatch(*fingerprint);
      if (match.List != nullptr && match.Score > 50) {
        const std::string name = Quoted(match.List->GetDisplayName());
        const std::string score = std::to_string(match.Score);
        const bool perfect = match.Score == 100;
        const TTrite state = match.List->Subscribed();
        const bool first = msg.GetUserWanted() != kTriteYes;
        if (state == kTriteYes) {
          report.ListLine(perfect ? "Email was whitelisted because it came from subscribed mailing list " + name
                                  : "Email was whitelisted because it appears to have come from "
                                    "subscribed mailing list " + name + ". (matched " + score + "%).",
                          first);
          msg.SetUserWanted(kTriteYes, false);
        } else if (state == kTriteNo) {
          const bool set = msg.SetUserWanted(kTriteNo, false);
          std::string line;
          if (perfect)
            line = set ? "Email was blacklisted because it came from the mailing list " + name +
                             " which you have blacklisted."
                       : "Email was not blacklisted even though it came from the mailing list " +
                             name + " which you have blacklisted.";
          else
            line = set ? "Email was blacklisted because it appears to have come from the mailing "
                         "list " + name + " which you have blacklisted. (matched " + score + "%)."
                       : "Email was not blacklisted even though it appears to have come from the "
                         "mailing list " + name + " which you have blacklisted.(matched " + score +
                             "%).";
          report.ListLine(line, first);
        }
      }
    }
  }

  // Blacklisting: every reason is looked up.
  auto bannedAddress = [&](bool present, const std::string& address, const char* name, int test) {
    if (!present || address.empty()) return;
    std::string entry;
    const bool found = Lookup(banned, address, entry);
    SetTest(msg, test, found);
    if (!found) return;
    const std::string tail = SameText1252(entry, address)
                                 ? " was found in your banned sender list"
                                 : " matched the banned sender " + Quoted(entry);
    const std::string middle = std::string(name) + " address " + Quoted(address) + tail;
    report.Blacklist("Email was blacklisted because the " + middle,
                     "Email was not blacklisted even though the " + middle);
  };
  bannedAddress(hasFrom, from, "From", 765);
  bannedAddress(hasReplyTo, replyTo, "Reply-To", 766);
  bannedAddress(hasXSender, xSender, "X-Sender", 767);
  bannedAddress(hasXReturnPath, xReturnPath, "X-ReturnPath", 768);
  if (!subject.empty()) {
    std::string entry;
    const bool found = Lookup(bannedSubjects, subject, entry);
    SetTest(msg, 769, found);
    if (found) {
      const std::string tail = SameText1252(entry, subject)
                                   ? " was found in your banned subject lines list"
                                   : " matched the banned subject " + Quoted(entry);
      report.Blacklist("Email was blacklisted because the subject " + Quoted(subject) + tail,
                       "Email was not blacklisted even though the subject " + Quoted(subject) + tail);
    }
  }

  const struct {
    bool (TEmailMsg::*Compute)(TDigest16&);
    TEmailInfoKey Key;
    int Test;
    const char* Suffix;
  } sums[] = {{&TEmailMsg::GetDccBodySum, TEmailInfoKey::DccBody, 787, ""},
              {&TEmailMsg::GetDccFuz1Sum, TEmailInfoKey::DccFuz1, 788, "(F1)"},
              {&TEmailMsg::GetDccFuz2Sum, TEmailInfoKey::DccFuz2, 789, "(F2)"}};
  // An empty list finds nothing: the checksums are not worth computing.
  const bool anySpamSums = spamSums != nullptr && spamSums->Count() > 0;
  for (const auto& sum : sums) {
    if (!anySpamSums) {
      SetTest(msg, sum.Test, false);
      continue;
    }
    TDigest16 digest{};
    if (!(msg.*sum.Compute)(digest)) continue;
    std::string text = msg.GetInfoValue(sum.Key);
    if (text.empty()) text = DigestToHex(digest);
    std::string entry;
    const bool found = Lookup(spamSums, text, entry);
    SetTest(msg, sum.Test, found);
    if (found)
      report.Blacklist(
          std::string("Email was blacklisted because it's body matched an email you prevously "
                      "categorized as spam.") + sum.Suffix,
          std::string("Email was not blacklisted even though it's body matched an email you "
                      "prevously categorized as spam because it has been whitelisted.") +
              sum.Suffix);
  }
}

void ReorderQueue(TEmailMsgList& queue) {
  const int steps = queue.Count();
  int j = 0;
  for (int step = 0; step < steps; ++step) {
    const TEmailMsgRef msg = queue.Items(j);
    if (msg == nullptr || msg->IsFlaggedDeleted() || msg->IsLocked() || msg->IsLockedByOther() ||
        msg->Reordered.load()) {
      ++j;
      continue;
    }
    msg->Reordered.store(true);
    const TTrite verdict = msg->GetUserWanted();
    if (verdict == kTriteYes) {
      queue.Move(0, msg);
      ++j;
    } else if (verdict == kTriteNo) {
      queue.Move(queue.Count() - 1, msg);
    } else {
      ++j;
    }
  }
}

void PerformWhitelistedOptions(TEmailMsg& msg) {
  if (msg.GetUserWanted() != kTriteYes) return;
  TEmailHeader* header = msg.GetHeader();
  if (header == nullptr) return;
  std::string messageId;
  if (header->GetValue("Message-ID", messageId)) {
    messageId = TrimText(messageId);
    const auto sentIds = BuiltIn(bplSentMessageIds);
    if (sentIds != nullptr && !messageId.empty() && sentIds->IndexOf(messageId) < 0)
      sentIds->Add(messageId);
  }
  const auto approved = BuiltIn(bplApprovedSenders);
  if (approved == nullptr) return;
  std::string address;
  for (bool (TEmailHeader::*getter)(std::string&) :
       {&TEmailHeader::GetFromAddress, &TEmailHeader::GetReplyToAddress,
        &TEmailHeader::GetXSenderAddress, &TEmailHeader::GetSenderAddress,
        &TEmailHeader::GetXReturnPathAddress}) {
    if ((header->*getter)(address) && !address.empty()) approved->Add(address);
  }
  if (const auto recipients = header->GetToAndCC()) {
    for (int i = 0; i < recipients->Count(); ++i) {
      const std::string& bare = recipients->Items(i).Address;
      if (!bare.empty()) approved->Add(bare);
    }
  }
}

void PerformSpecialBlackWhiteProcessing(TEmailMsg& msg) {
  if (msg.GetUserWanted() != kTriteYes) return;
  msg.WithInfo([](TEmailInfo& record) { record.SetWorkingCategory(Mc_Personal); });
  if (const auto tests = GlobalTestList()) tests->QueueUserCategorisation(msg.GetContentId(), Mc_Personal);
}

}  // namespace halvorn
