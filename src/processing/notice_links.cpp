#include "processing/notice_links.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <utility>

#include "foundation/files/install_folders.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/text_helpers.h"
#include "foundation/text/text_normalisation.h"
#include "foundation/text/trite_array.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/mutex_critical_section.h"
#include "lists/mailing_lists.h"
#include "lists/phrases_list.h"
#include "message/accounts.h"
#include "message/category_probability.h"
#include "message/email_header.h"
#include "message/email_info.h"
#include "message/email_msg.h"
#include "message/mailing_list.h"
#include "message/msg_category.h"
#include "message/quor_url.h"

namespace halvorn {

namespace {

constexpr int kTextOnly = kHtmlKindPlainText;
constexpr int kHtmlOnly = kHtmlKindHtml;
constexpr int kBoth = kHtmlKindAll;

// The level of the add-to-list lines.
constexpr int kListLinkLevel = 3;

bool UserIsLocalAccount(TEmailMsg& msg) {
  std::string user;
  msg.GetUserId(user);
  return GlobalLocalAccounts().FindByUserId(user) != nullptr;
}

std::string UserIdOf(TEmailMsg& msg) {
  std::string user;
  msg.GetUserId(user);
  return user;
}

// The phrase lists of the type that belong to everyone or to the user.
std::vector<std::shared_ptr<TPhrases>> ListsOfType(std::uint8_t type, const std::string& user,
                                                   int* totalOfType) {
  std::vector<std::shared_ptr<TPhrases>> lists;
  int total = 0;
  const auto set = GlobalPhrasesList();
  if (set == nullptr) {
    if (totalOfType != nullptr) *totalOfType = 0;
    return lists;
  }
  for (const auto& list : set->Snapshot()) {
    if (list == nullptr || list->ListType() != type) continue;
    ++total;
    const std::string owner = list->Owner();
    if (SameText1252(owner, "Global") || SameText1252(owner, user)) lists.push_back(list);
  }
  if (totalOfType != nullptr) *totalOfType = total;
  return lists;
}

std::shared_ptr<TPhrases> BuiltIn(int index) {
  const auto set = GlobalPhrasesList();
  return set == nullptr ? nullptr : set->GetBuiltInList(index);
}

// A link line pair of ListLinks: text form and HTML form.
void AddLinkPair(TSimpleHtml& section, int level, const std::string& text, const std::string& html) {
  section.AddLine(text, level, kTextOnly, true);
  section.AddLine(html, level, kHtmlOnly, true);
}

std::string Anchor(const std::string& link) { return "<a href=\"" + link + "\">here</a>."; }

}  // namespace

std::string ShortOrFullLink(TEmailMsg& msg, const std::string& link) {
  std::string shortLink;
  bool made = false;
  msg.WithInfo([&](TEmailInfo& info) { made = info.MakeDecodeLink(link, shortLink); });
  return made && !shortLink.empty() ? shortLink : link;
}

TTrite StandardTestOf(TEmailMsg& msg, int index) {
  TTrite value = kTriteUnknown;
  msg.WithInfo([&](TEmailInfo& record) { value = record.StandardTest(index); });
  return value;
}

std::string HtmlSafe(std::string text) {
  HtmlEscape(text);
  return text;
}

void AddReportLink(TEmailMsg& msg) {
  std::string link;
  msg.GetReportUrl(link);
  if (link.empty()) return;
  TSimpleHtml& info = msg.LinkInfo();
  info.AddLine("A full report can be viewed <a href=" + link + ">here</a>.", 1, kHtmlOnly, true);
  info.AddLine("  A full report can be viewed here: " + ShortOrFullLink(msg, link), 1, kTextOnly,
               true);
}

void AddBackupLink(TEmailMsg& msg) {
  const std::string file = msg.GetInfoValue(TEmailInfoKey::BackupFile);
  if (file.empty()) return;
  std::string link;
  msg.GetBackupUrl(".eml", link);
  if (link.empty()) return;
  TSimpleHtml& info = msg.LinkInfo();
  info.AddLine("A backup of the original unmodified message can be viewed <a href=" + link +
                   ">here</a>.",
               1, kHtmlOnly, true);
  std::string shortLink;
  bool made = false;
  msg.WithInfo([&](TEmailInfo& record) { made = record.MakeDecodeLink(link, shortLink); });
  if (made && !shortLink.empty())
    info.AddLine("  A backup of the original unmodified message can be viewed here: " + shortLink,
                 1, kTextOnly, true);
  else
    info.AddLine(" A backup of the original unmodified message can be viewed here: " + link, 1,
                 kTextOnly, true);
  info.AddLine("  The message is stored locally at: " +
                   HtmlSafe(GetBackupsDir(UserIdOf(msg)) + "\\" + file),
               1, kBoth, true);
}

void AddSenderLinks(TEmailMsg& msg, int detailLevel) {
  std::string from, replyTo;
  TEmailHeader* header = msg.GetHeader();
  if (header == nullptr) return;
  header->GetFromAddress(from);
  header->GetReplyToAddress(replyTo);
  if (from.empty() && replyTo.empty()) return;
  if (!UserIsLocalAccount(msg)) return;
  const std::string user = UserIdOf(msg);
  TSimpleHtml& links = msg.ListLinks();

  if (UiMode.load() == kUiModePowerUser) {
    TStringList addresses;
    const std::string first = from.empty() ? replyTo : from;
    addresses.Add(LowerCase1252(first));
    if (!from.empty() && !replyTo.empty() && from != replyTo) addresses.Add(LowerCase1252(replyTo));
    const std::string value = addresses.CommaText();
    int total = 0;
    const auto lists = ListsOfType(pltEmailAddress, user, &total);
    if ((total > 2 && detailLevel <= 9) || (!from.empty() && !replyTo.empty())) {
      const std::string link = LocalLink(kCmdAddAddrToList, {{"UserId", user}, {"Addresses", value}});
      AddLinkPair(links, kListLinkLevel,
                  "  To add the sender of this message to a list click here: " +
                      ShortOrFullLink(msg, link),
                  "  To add the sender of this message to a list click " + Anchor(link));
      return;
    }
    for (const auto& list : lists) {
      const std::string name = list->Name();
      const std::string link = LocalLink(
          kCmdListAddress, {{"UserId", user}, {"Addresses", value}, {"ListName", name}});
      AddLinkPair(links, kListLinkLevel,
                  "  Add sender to list \"" + name + "\" click here: " + ShortOrFullLink(msg, link),
                  "  To add sender to list \"" + HtmlSafe(name) + "\" click " + Anchor(link));
    }
    return;
  }

  auto approvalLink = [&](const std::string& address, const char* listName,
                          const char* removeName) {
    TStringList one;
    one.Add(LowerCase1252(address));
    return LocalLink(kCmdListAddress, {{"UserId", user},
                                       {"Addresses", one.CommaText()},
                                       {"ListName", listName},
                                       {"RemoveListName", removeName}});
  };
  if (!from.empty()) {
    if (StandardTestOf(msg, 757) != kTriteYes) {
      const std::string link = approvalLink(from, "{Approved Senders}", "{Banned Senders}");
      AddLinkPair(links, kListLinkLevel,
                  "  To add sender \"" + from + "\" to List of Approved Senders click here: " +
                      ShortOrFullLink(msg, link),
                  "  To add sender <i>" + HtmlSafe(from) +
                      "</i> to List of Approved Senders click " + Anchor(link));
    }
    const std::string link = approvalLink(from, "{Banned Senders}", "{Approved Senders}");
    std::string shortLink;
    bool made = false;
    msg.WithInfo([&](TEmailInfo& record) { made = record.MakeDecodeLink(link, shortLink); });
    const std::string text =
        made && !shortLink.empty()
            ? "  To add sender to \"" + from + "\" List of Banned Senders click here: " + shortLink
            : "  To add sender \"" + from + "\" to List of Banned Senders click here: " + link;
    AddLinkPair(links, kListLinkLevel, text,
                "  To add sender to <i>\"" + HtmlSafe(from) +
                    "</i> List of Banned Senders click " + Anchor(link));
  }
  if (!replyTo.empty() && replyTo != from) {
    const std::string lead = "Sender's ReplyTo address is different from their From Address. To add ";
    if (StandardTestOf(msg, 758) != kTriteYes) {
      const std::string link = approvalLink(replyTo, "{Approved Senders}", "{Banned Senders}");
      AddLinkPair(links, kListLinkLevel,
                  lead + "\"" + replyTo + "\" to List of Approved Senders click here: " +
                      ShortOrFullLink(msg, link),
                  lead + "<i>" + HtmlSafe(replyTo) + "</i> to List of Approved Senders click " +
                      Anchor(link));
    }
    const std::string link = approvalLink(replyTo, "{Banned Senders}", "{Approved Senders}");
    AddLinkPair(links, kListLinkLevel,
                lead + "\"" + replyTo + "\" to List of Banned Senders click here: " +
                    ShortOrFullLink(msg, link),
                lead + "<i>" + HtmlSafe(replyTo) + "</i> to List of Banned Senders click " +
                    Anchor(link));
  }
}

void AddSubjectLinks(TEmailMsg& msg) {
  TEmailHeader* header = msg.GetHeader();
  if (header == nullptr) return;
  std::string subject;
  header->GetSubject(subject);
  subject = TrimText(LowerCase1252(subject));
  while (StripShortPrefixes(subject)) subject = TrimText(subject);
  if (subject.empty() || !UserIsLocalAccount(msg)) return;
  const std::string user = UserIdOf(msg);
  TSimpleHtml& links = msg.ListLinks();

  if (UiMode.load() == kUiModePowerUser) {
    int total = 0;
    const auto lists = ListsOfType(pltStrings, user, &total);
    if (total < 3) {
      for (const auto& list : lists) {
        const std::string name = list->Name();
        const std::string link =
            LocalLink(kCmdAddPhrase, {{"UserId", user}, {"Phrase", subject}, {"ListName", name}});
        AddLinkPair(links, kListLinkLevel,
                    "  To add the subject line of this message to a list \"" + name +
                        "\" click here: " + ShortOrFullLink(msg, link),
                    "  To add the subject line of this message to a list \"" + HtmlSafe(name) +
                        "\" click " + Anchor(link));
      }
    } else {
      const std::string link =
          LocalLink(kCmdAddPhraseToSomeList, {{"UserId", user}, {"Phrase", subject}});
      AddLinkPair(links, kListLinkLevel,
                  "  To add the subject line of this message to a list click here: " +
                      ShortOrFullLink(msg, link),
                  "  To add the subject line of this message to a list click " + Anchor(link));
    }
    return;
  }

  auto listLink = [&](const char* listName, const char* removeName) {
    return LocalLink(kCmdAddPhrase, {{"UserId", user},
                                     {"Phrase", subject},
                                     {"ListName", listName},
                                     {"RemoveListName", removeName}});
  };
  const auto approved = BuiltIn(bplApprovedSubjectLines);
  if (approved == nullptr || !approved->Contains(subject)) {
    const std::string link = listLink("{Approved Subject Lines}", "{Banned Subject Lines}");
    AddLinkPair(links, kListLinkLevel,
                "  To add Subject Line to List of Approved Subject Lines click here: " +
                    ShortOrFullLink(msg, link),
                "  To add Subject Line to List of Approved Subject Lines click " + Anchor(link));
  }
  const std::string link = listLink("{Banned Subject Lines}", "{Approved Subject Lines}");
  AddLinkPair(links, kListLinkLevel,
              "  To add Subject Line to List of Banned Subject Lines click here: " +
                  ShortOrFullLink(msg, link),
              "  To add Subject Line to List of Banned Subject Lines click " + Anchor(link));
}

namespace {

struct TCategoryLine {
  TMsgCategory Category;
  int Threshold;
  const char* Name;
};
constexpr TCategoryLine kCategoryLines[] = {
    {Mc_CommercialSpam, 100, "Commercial Spam"}, {Mc_Personal, 100, "Personal Email"},
    {Mc_Virus, 100, "Virus"},                    {Mc_Bulk, 80, "Bulk"},
    {Mc_ChainLetter, 50, "Chain Letter"},        {Mc_Petition, 50, "Petition"},
    {Mc_UrbanLegend, 50, "Urban Legend"},        {Mc_Hoax, 50, "Hoax"},
    {Mc_Joke, 50, "Joke"},
};

struct TCategoryAnchor {
  TMsgCategory Category;
  const char* Hint;
  const char* Shown;
};
constexpr TCategoryAnchor kCategoryAnchors[] = {
    {Mc_Personal, "PERSONAL", "Personal"},
    {Mc_CommercialSpam, "SPAM", "Commercial Spam"},
    {Mc_UrbanLegend, "URBAN_LEGEND", "Urban Legend"},
    {Mc_Hoax, "HOAX", "Hoax"},
    {Mc_Joke, "JOKE", "Joke"},
    {Mc_Bulk, "BULK", "Bulk"},
    {Mc_ChainLetter, "CHAIN_LETTER", "Chain Letter"},
    {Mc_Petition, "PETITION", "Petition"},
    {Mc_Virus, "VIRUS", "Virus"},
};

}  // namespace

int CategoryLineLevel(int percentage, int threshold) {
  const double raw = (200.0 - percentage - threshold) / 10.0 + 1.0;
  const int level = static_cast<int>(std::trunc(raw));
  return std::max(1, std::min(11, level));
}

std::string AddCategorizeLinks(TEmailMsg& msg) {
  TCategoryProbability probabilities;
  msg.GetCategoryProbabilities(probabilities, false);
  TSimpleHtml& info = msg.CategoryInfo();
  for (const TCategoryLine& line : kCategoryLines) {
    const int p = probabilities.Percentage(line.Category);
    const int w = probabilities.Weight(line.Category);
    if (p == 50 || w == 0) continue;
    info.AddLine("There is a " + std::to_string(p) + "% probability that this is a " + line.Name +
                     ".",
                 CategoryLineLevel(p, line.Threshold), kBoth, true);
    info.AddLine(" (Weight: " + std::to_string(w) + ")", 11, kBoth, false);
  }
  if (!UserIsLocalAccount(msg)) return {};

  TQuorUrl url;
  url.Document = kCmdCategorize;
  url.SetValue("UserId", UserIdOf(msg));
  url.SetValue("Hint", "CATEGORIZE");
  std::int32_t qchId = 0;
  msg.WithInfo([&](TEmailInfo& record) { qchId = record.QCHMsgId(); });
  url.SetValue("MsgId", std::to_string(qchId));
  url.SetValue("ContentId", std::to_string(static_cast<std::uint32_t>(msg.GetContentId())));
  url.SetValue("BackupFile", msg.GetInfoValue(TEmailInfoKey::BackupFile));
  url.SetValue("ListId", msg.GetInfoValue(TEmailInfoKey::MailListId));
  url.SetValue("HaveText", msg.GetInfoValue(TEmailInfoKey::QCHHasMsgText));
  url.SetValue("Category", "0");
  TCheckSumArray images;
  msg.GetImageChecksums(images);
  for (std::size_t i = 0; i < images.size(); ++i)
    url.SetValue("Attachment" + std::to_string(i), std::to_string(images[i]));

  info.AddLine("  To categorize this message click here: " + ShortOrFullLink(msg, url.GetUrl()), 1,
               kTextOnly, true);
  info.AddLine("To categorize this message click on one of the following links: | ", 1, kHtmlOnly,
               true);
  const std::int32_t preset = msg.GetQuorCategory();
  std::string presetLink;
  for (const TCategoryAnchor& anchor : kCategoryAnchors) {
    url.SetValue("Category", std::to_string(static_cast<int>(anchor.Category)));
    url.SetValue("Hint", anchor.Hint);
    const std::string link = url.GetUrl();
    info.AppendToLast("<A HREF=" + link + ">" + anchor.Shown + "</A> |");
    if (preset == anchor.Category) presetLink = link;
  }
  url.SetValue("Category", "0");
  const std::string more = url.GetUrl();
  info.AddLine("For more information on categorizing this message click <A HREF=" + more +
                   ">here</A>.",
               8, kHtmlOnly, true);
  info.AddLine("  For more information on categorizing this message click here: " +
                   ShortOrFullLink(msg, more),
               8, kTextOnly, true);
  return presetLink;
}

std::string DangerLineText(int danger) {
  const std::string text =
      "  The danger level associated with the original e-mail is " + std::to_string(danger) + "%.";
  if (danger <= 0) return "<font color=green>" + text + "</font>";
  if (danger < 10) return "<font color=orange>" + text + "</font>";
  if (danger < 20) return "<font color=orange><b>" + text + "</b></font>";
  return "<font color=red><b>" + text + "</b></font>";
}

void AddDangerLine(TEmailMsg& msg) {
  const int danger = msg.GetScore();
  TSimpleHtml& info = msg.GeneralInfo();
  info.InsertLine(0, DangerLineText(danger), 1, kBoth, info.Count() > 0);
  TStringList entries;
  msg.WithInfo([&](TEmailInfo& record) { entries = record.DangerLevel(); });
  for (int i = 0; i < entries.Count(); ++i) {
    info.InsertLine(1,
                    std::to_string(entries.Numbers(i)) + " danger points added due to " +
                        HtmlSafe(entries[i]) + ".",
                    1, kBoth, true);
  }
}

}  // namespace halvorn

namespace halvorn {

void AddMailingListLinks(TEmailMsg& msg, bool firstRun, const TQueueFingerprints* queueMail) {
  const std::unique_ptr<TMailingList> fingerprint = msg.GetMailingList();
  const auto table = GlobalMailingListList();
  if (fingerprint == nullptr || table == nullptr) return;
  const std::shared_ptr<TMailingList> list = table->AddOrMerge(*fingerprint);
  if (list == nullptr) return;

  const TTrite before = list->Subscribed();
  TTrite inferred = kTriteUnknown;
  std::string reason, note;
  const auto approved = BuiltIn(bplApprovedSenders);
  TEmailHeader* header = msg.GetHeader();
  std::string fromValue, rcptToValue;
  if (header != nullptr) {
    header->GetValue("From", fromValue);
    header->GetValue("Rcpt-To", rcptToValue);
  }
  if (before == kTriteUnknown) {
    std::string returnPath, beenThere;
    {
      TCriticalSectionGuard guard(list->Lock());
      returnPath = list->X_Return_Path;
      beenThere = list->X_BeenThere;
    }
    const std::pair<std::string, const char*> candidates[] = {
        {list->GetSenderAddress(), "sender"},
        {list->GetSubscribeAddress(), "subscribe address"},
        {returnPath, "return path"},
        {beenThere, "source address"},
        {list->GetPostAddress(), "posting address"},
        {fromValue, "from address"},
        {rcptToValue, "reply address"},
    };
    if (approved != nullptr) {
      for (const auto& [address, name] : candidates) {
        if (TrimText(address).empty()) continue;
        std::string piece;
        if (approved->FindMatch(address, piece, true) >= 0) {
          inferred = kTriteYes;
          reason = name;
        }
      }
    }
    if (inferred == kTriteUnknown && msg.GetUserWanted() == kTriteYes) inferred = kTriteYes;
    if (firstRun) {
      inferred = kTriteYes;
      note =
          "Note: Halvorn inferred that you are subscribed to this list because it arrived within "
          "the grace period when Halvorn is first run.";
    }
    if (UiMode.load() == kUiModeLite && queueMail != nullptr && msg.GetList() != nullptr) {
      for (const auto& other : *queueMail) {
        if (other != nullptr && list->MatchScore(*other) > 50) {
          inferred = kTriteYes;
          note =
              "Note: Halvorn inferred that you are subscribed to this list because it arrived with "
              "other email from the same list.";
          break;
        }
      }
    }
  }

  msg.SetInfoValue(TEmailInfoKey::MailListId, std::to_string(list->UniqueId));
  const bool changed = inferred != kTriteUnknown && inferred != before;
  if (inferred != kTriteUnknown) list->SetSubscribed(inferred);
  const TTrite state = list->Subscribed();

  if (state == kTriteYes && !changed && approved != nullptr) {
    std::string returnPath, beenThere;
    {
      TCriticalSectionGuard guard(list->Lock());
      returnPath = list->X_Return_Path;
      beenThere = list->X_BeenThere;
    }
    for (const std::string& address : {list->GetSenderAddress(), list->GetSubscribeAddress(),
                                       returnPath, beenThere, list->GetPostAddress()}) {
      if (!TrimText(address).empty()) approved->Add(address);
    }
    if (header != nullptr) {
      std::string address;
      if (header->GetFromAddress(address) && !address.empty()) approved->Add(address);
      if (header->GetReplyToAddress(address) && !address.empty()) approved->Add(address);
      if (header->GetXSenderAddress(address) && !address.empty()) approved->Add(address);
      if (header->GetSenderAddress(address) && !address.empty()) approved->Add(address);
      if (header->GetXReturnPathAddress(address) && !address.empty()) approved->Add(address);
    }
  }

  TSimpleHtml& links = msg.ListLinks();
  const std::string name = list->GetDisplayName();
  const std::string user = UserIdOf(msg);
  auto setLink = [&](const char* subscribe) {
    return LocalLink(kCmdSetMailList, {{"UserId", user},
                                       {"ListId", std::to_string(list->UniqueId)},
                                       {"Subscribe", subscribe}});
  };
  if (state == kTriteYes) {
    const std::string link = setLink("n");
    AddLinkPair(links, kListLinkLevel,
                "  To unsubscribe from this mailing list (" + name + ") click here: " +
                    ShortOrFullLink(msg, link),
                "  To unsubscribe from this mailing list (" + HtmlSafe(name) + ") click " +
                    Anchor(link));
  } else if (state == kTriteUnknown) {
    const std::string yes = setLink("y");
    const std::string no = setLink("n");
    links.AddLine("  If you would like to continue to get e-mail from this mailing list (" + name +
                      ") click here: " + ShortOrFullLink(msg, yes),
                  kListLinkLevel, kTextOnly, true);
    links.AddLine("  If you would like to block this mailing list click here: " +
                      ShortOrFullLink(msg, no),
                  kListLinkLevel, kTextOnly, true);
    links.AddLine("  If you would like to continue to get e-mail from this mailing list (" +
                      HtmlSafe(name) + ") click <a href=\"" + yes + "\">here</a>." +
                      ", otherwise click <a href=\"" + no + "\">here</a>.",
                  kListLinkLevel, kHtmlOnly, true);
  }

  msg.WithInfo([&](TEmailInfo& record) { record.SetStandardTest(770, state); });
  if (state == kTriteYes || state == kTriteNo) msg.SetUserWanted(state, false);

  if (!note.empty())
    links.AddLine(note, kListLinkLevel, kBoth, true);
  else if (!reason.empty())
    links.AddLine("Note: Halvorn inferred that you are subscribed to this list because the " +
                      reason + " was in your list of approved senders.",
                  kListLinkLevel, kBoth, true);
  else if (changed)
    links.AddLine(
        "Note: Halvorn inferred that you are subscribed to this list because the e-mail was "
        "whitelisted.",
        kListLinkLevel, kBoth, true);
}

}  // namespace halvorn
