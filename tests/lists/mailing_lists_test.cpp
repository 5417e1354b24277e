// Mailing lists: one list's addresses, names, scores, merging and stored
// form, and the table's matching, merging, copying and storage; the address
// getters against Python's email over the corpus, and the table built from
// a whole corpus group.
#include "lists/mailing_lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "foundation/text/code_page_1252.h"
#include "lists/lists_module.h"
#include "message/email_header.h"
#include "support/corpus_headers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

std::unique_ptr<TMailingList> ListOf(const std::string& headerText) {
  TEmailHeader header;
  header.ParseText(headerText);
  return header.GetMailingList();
}

// A list whose every scored field is set, for the score table.
std::unique_ptr<TMailingList> FullList() {
  auto list = std::make_unique<TMailingList>();
  for (const TMailingListHeaderField& field : kMailingListHeaderFields)
    list.get()->*field.Field = std::string(field.Key) + "@lists.example.org";
  list->List_ID = "Talk <talk.example.org>";
  return list;
}

TEST(MailingList, AddressesAndNamesFromTheHeaderFields) {
  struct Row {
    const char* field;  // the TMailingListFields member the text goes to
    std::string text;
    std::string listId{}, senderName{}, senderAddress{}, post{}, subscribe{}, unsubscribeUrl{},
        unsubscribeMailto{};
  } rows[] = {
      {"List_ID", "Talk about things <talk.example.org>", "talk.example.org"},
      {"List_ID", "  <TALK.example.org>  ", "TALK.example.org"},
      {"List_ID", " plain-id.example.org ", "plain-id.example.org"},
      {"List_ID", "no end <talk.example.org", "no end <talk.example.org"},
      {"Sender", "\" Owner Name \" <owner@example.org>", "", "Owner Name", "owner@example.org"},
      {"Sender", "owner@example.org", "", "", ""},
      {"List_Post", "<mailto:talk@example.org>", "", "", "", "talk@example.org"},
      {"List_Post", "<MAILTO:talk@example.org>", "", "", "", "talk@example.org"},
      {"List_Post", "NO", "", "", "", ""},
      {"List_Post", "<mailto:talk@example.org", "", "", "", ""},
      {"List_Subscribe",
       "<http://example.org/listinfo/talk>, <mailto:talk-request@example.org?subject=subscribe>",
       "", "", "", "", "talk-request@example.org"},
      {"List_Unsubscribe",
       "<mailto:talk-request@example.org?subject=unsubscribe>,\r\n\t<https://example.org/u>", "",
       "", "", "", "", "https://example.org/u", "mailto:talk-request@example.org?subject=unsubscribe"},
      {"List_Unsubscribe", "<HTTP://EXAMPLE.ORG/U>, <MAILTO:x@example.org>", "", "", "", "", "",
       "HTTP://EXAMPLE.ORG/U", "MAILTO:x@example.org"},
      {"List_Unsubscribe", "<http://example.org/u", "", "", "", "", "", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.field) + ": " + row.text);
    TMailingList list;
    for (const TMailingListHeaderField& field : kMailingListHeaderFields)
      if (std::string(field.Key) == row.field) list.*field.Field = row.text;
    EXPECT_EQ(list.GetListId(), row.listId);
    EXPECT_EQ(list.GetSenderName(), row.senderName);
    EXPECT_EQ(list.GetSenderAddress(), row.senderAddress);
    EXPECT_EQ(list.GetPostAddress(), row.post);
    EXPECT_EQ(list.GetSubscribeAddress(), row.subscribe);
    EXPECT_EQ(list.GetUnsubscribeUrl(), row.unsubscribeUrl);
    EXPECT_EQ(list.GetUnsubscribeMailto(), row.unsubscribeMailto);
  }
}

TEST(MailingList, DisplayNameAndDescriptionFallBackInOrder) {
  struct Row {
    std::string name, description, listId, beenThere, sender, errorsTo, post;
    std::string displayName, shownDescription;
  } rows[] = {
      {"Mine", "About it", "Talk <talk.example.org>", "b@x", "\"S\" <s@x>", "", "", "Mine",
       "About it"},
      {"", "", "\"Talk\" things <talk.example.org>", "b@x", "\"S\" <s@x>", "", "",
       "talk.example.org", "Talk things"},
      {"", "", "talk.example.org", "b@x", "\"S\" <s@x>", "", "", "talk.example.org", "S"},
      {"", "", "", "b@x", "\"S\" <s@x>", "", "", "b@x", "S"},
      {"", "", "", "", "\"S\" <s@x>", "", "", "S", "S"},
      {"", "", "", "", "<s@x>", "", "", "s@x", ""},
      // The text most pairs of fields share names a list with no names.
      {"", "", "", "", "", "talk-admin@lists.example.org", "<mailto:talk@lists.example.org>",
       "@lists.example.org", ""},
      {"", "", "", "", "", "ab", "cd", kUnnamedMailingList, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.displayName);
    TMailingList list;
    list.UserSuppliedName = row.name;
    list.UserSuppliedDiscription = row.description;
    list.List_ID = row.listId;
    list.X_BeenThere = row.beenThere;
    list.Sender = row.sender;
    list.Errors_To = row.errorsTo;
    list.List_Post = row.post;
    list.Precedence = "list";  // never a source of the shared text
    EXPECT_EQ(list.GetDisplayName(), row.displayName);
    EXPECT_EQ(list.GetDescription(), row.shownDescription);
  }
}

TEST(MailingList, MatchScoreTakesEachDifferingFieldsWeightOffEighty) {
  const std::map<std::string, int> weights = {
      {"List_Post", 15},   {"X_BeenThere", 15},  {"List_Subscribe", 10}, {"List_Unsubscribe", 9},
      {"Sender", 5},       {"X_Return_Path", 5}, {"Mailing_List", 4},    {"List_Digest", 4},
      {"Errors_To", 4},    {"List_Help", 3},     {"List_Archive", 3},    {"List_Software", 1},
      {"List_Owner", 1},   {"Precedence", 1},    {"List_ID", 0}};
  const auto a = FullList();
  const auto b = FullList();
  // Equal list ids score 100, whatever case; otherwise the fields count.
  b->List_ID = "TALK <Talk.Example.ORG>";
  EXPECT_EQ(a->MatchScore(*b), 100);
  b->List_ID = "Other <other.example.org>";
  EXPECT_EQ(a->MatchScore(*b), 80);
  EXPECT_EQ(TMailingList().MatchScore(TMailingList()), 80);
  int total = 0;
  for (const TMailingListHeaderField& field : kMailingListHeaderFields) {
    SCOPED_TRACE(field.Key);
    const auto other = FullList();
    other->List_ID = "Other <other.example.org>";
    other.get()->*field.Field = "different";
    const int weight = weights.at(field.Key);
    total += weight;
    EXPECT_EQ(a->MatchScore(*other), 80 - weight);
    EXPECT_EQ(other->MatchScore(*a), 80 - weight);
    // Case never makes a field differ.
    other.get()->*field.Field = UpperCase1252(a.get()->*field.Field);
    EXPECT_EQ(a->MatchScore(*other), field.Field == &TMailingListFields::List_ID ? 100 : 80);
  }
  EXPECT_EQ(total, 80);
  TMailingList empty;
  EXPECT_EQ(a->MatchScore(empty), 0);
}

TEST(MailingList, MergeFollowsTheNewMessageAndFindsTheSharedSubject) {
  auto list = ListOf("List-Id: <talk.example.org>\r\nSubject: [Talk] Hello");
  list->MsgCount = 1;
  list->Sender = "\"Talk owner\" <owner@example.org>";
  const auto second = ListOf(
      "List-Id: <talk.example.org>\r\nList-Post: <mailto:talk@example.org>\r\nSubject: [Talk] "
      "Bye");
  list->MergeFrom(*second);
  EXPECT_EQ(list->SubjectLineSubstring, "[Talk] ");
  EXPECT_EQ(list->FLastSubject, "[Talk] Bye");
  EXPECT_EQ(list->List_Post, "<mailto:talk@example.org>");
  EXPECT_EQ(list->MsgCount, 2);
  // A message's fingerprint has no Sender: the one typed in stays.
  EXPECT_EQ(list->Sender, "\"Talk owner\" <owner@example.org>");
  EXPECT_EQ(list->GetDisplayName(), "talk.example.org");
  // A subject holding the substring keeps it; one without gets a new one
  // or none.
  list->MergeFrom(*ListOf("List-Id: <talk.example.org>\r\nSubject: Re: [Talk] Again"));
  EXPECT_EQ(list->SubjectLineSubstring, "[Talk] ");
  list->MergeFrom(*ListOf("List-Id: <talk.example.org>\r\nSubject: xyz"));
  EXPECT_EQ(list->SubjectLineSubstring, "");
  EXPECT_EQ(list->MsgCount, 4);
  // Replies of every list share "Re: ": never learnt as the list's text.
  list->MergeFrom(*ListOf("List-Id: <talk.example.org>\r\nSubject: Re: hello world"));
  list->MergeFrom(*ListOf("List-Id: <talk.example.org>\r\nSubject: RE: Fw: other"));
  EXPECT_EQ(list->SubjectLineSubstring, "");
  list->MergeFrom(*ListOf("List-Id: <talk.example.org>\r\nSubject: Re: [Talk] other"));
  EXPECT_EQ(list->SubjectLineSubstring, " other");
  auto sender = ListOf("List-Id: <talk.example.org>\r\nSubject: s");
  sender->Sender = "<new@example.org>";
  list->MergeFrom(*sender);
  EXPECT_EQ(list->Sender, "<new@example.org>");
}

TEST(MailingList, StoredFormRoundTripsEveryStoredField) {
  TMailingList list;
  int n = 0;
  for (const TMailingListHeaderField& field : kMailingListHeaderFields)
    list.*field.Field = "v" + std::to_string(n++) + " with, \"quotes\"";
  list.SubjectLineSubstring = "[Talk] ";
  list.UserSuppliedName = "Name";
  list.UserSuppliedDiscription = "Desc";
  list.FLastSubject = "not stored";
  list.MsgCount = 42;
  list.UniqueId = 12345;
  list.SetSubscribed(kTriteNo);
  const std::string text = list.ToCommaText();
  EXPECT_EQ(text.substr(0, 40), "\"List_Software=v0 with, \"\"quotes\"\"\",\"Lis");
  EXPECT_NE(text.find(",MsgCount=42,UniqueId=12345,Subscribed=n"), std::string::npos);
  TMailingList back;
  back.FromCommaText(text);
  EXPECT_EQ(back.ToCommaText(), text);
  EXPECT_EQ(back.FLastSubject, "");
  EXPECT_EQ(back.Subscribed(), kTriteNo);

  struct Row {
    std::string text;
    std::int32_t count;
    bool keepsId;
    TTrite subscribed;
  } rows[] = {
      {"", 0, true, kTriteUnknown},
      {"MsgCount=x,UniqueId=abc,Subscribed=Y", 0, true, kTriteYes},
      {"MsgCount=7,UniqueId=0,Subscribed=N", 7, true, kTriteNo},
      {"UniqueId=2147483647,Subscribed=yes", 0, true, kTriteUnknown},
      {"UniqueId=99", 0, false, kTriteUnknown},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    TMailingList read;
    read.MsgCount = 5;
    const std::uint32_t id = read.UniqueId;
    read.FromCommaText(row.text);
    EXPECT_EQ(read.MsgCount, row.count);
    EXPECT_EQ(read.UniqueId == id, row.keepsId);
    EXPECT_EQ(read.Subscribed(), row.subscribed);
    EXPECT_TRUE(read.IsEmpty());
  }
}

// ---------------------------------------------------------------------------
// The table

TEST(MailingListTable, FindsListsBySubjectAndScoreAndTellsListMail) {
  TMailingListList table;
  auto known = ListOf(
      "List-Id: <talk.example.org>\r\nX-BeenThere: talk@example.org\r\nPrecedence: bulk");
  known->SubjectLineSubstring = "[Talk]";
  ASSERT_EQ(table.Add(std::shared_ptr<TMailingList>(std::move(known))), 0);
  EXPECT_EQ(table.Add(nullptr), -1);

  struct Row {
    std::string header;
    int score;
    bool listMail;
  } rows[] = {
      {"Subject: [Talk] hello", 0, false},  // empty fingerprint
      {"Precedence: junk\r\nSubject: see [Talk] hello", 100, true},
      // A message that names another list is never this one's by subject.
      {"List-Id: <other.example.org>\r\nPrecedence: bulk\r\nSubject: [Talk] hi", 65, true},
      {"Precedence: bulk\r\nX-BeenThere: talk@example.org", 80, false},
      {"Precedence: bulk\r\nX-BeenThere: talk@example.org\r\nList-Id: <TALK.example.org>", 100,
       true},
      {"Precedence: bulk\r\nX-BeenThere: other@example.org", 65, false},
      {"Precedence: LIST", 64, true},
      {"Errors-To: e@example.org", 60, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.header);
    const auto fingerprint = ListOf(row.header);
    const TMailingListMatch match = table.FindBestMatch(*fingerprint);
    EXPECT_EQ(match.Score, row.score);
    EXPECT_EQ(match.List != nullptr, row.score > 0);
    EXPECT_EQ(table.LooksLikeMailingList(*fingerprint), row.listMail);
  }
  // Of two lists that match equally well the earlier is the answer.
  table.Add(std::shared_ptr<TMailingList>(
      ListOf("Precedence: bulk\r\nX-BeenThere: talk@example.org")));
  const auto probe = ListOf("Precedence: bulk\r\nX-BeenThere: talk@example.org\r\nSubject: x");
  const TMailingListMatch match = table.FindBestMatch(*probe);
  EXPECT_EQ(match.Score, 80);
  EXPECT_EQ(match.List, table.Items(0));
}

TEST(MailingListTable, AddOrMergeMakesOrMergesByScore) {
  TMailingListList table;
  const auto first = ListOf(
      "List-Post: <mailto:a@x>\r\nX-BeenThere: a@x\r\nList-Subscribe: s\r\nMailing-List: m\r\n"
      "Subject: one");
  const std::shared_ptr<TMailingList> made = table.AddOrMerge(*first);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->MsgCount, 1);
  EXPECT_EQ(made->UniqueId, first->UniqueId);
  EXPECT_EQ(first->MsgCount, 0);  // the fingerprint stays the caller's
  // 80 less List-Post and X-BeenThere: 50, a list of its own.
  const auto fifty = ListOf(
      "List-Post: <mailto:b@x>\r\nX-BeenThere: b@x\r\nList-Subscribe: s\r\nMailing-List: m");
  EXPECT_EQ(table.FindBestMatch(*fifty).Score, 50);
  EXPECT_NE(table.AddOrMerge(*fifty), made);
  EXPECT_EQ(table.Count(), 2);
  // 80 less List-Post, List-Subscribe and Mailing-List: 51, merged.
  const auto fiftyOne = ListOf(
      "List-Post: <mailto:c@x>\r\nX-BeenThere: a@x\r\nList-Subscribe: t\r\nMailing-List: n");
  EXPECT_EQ(table.FindBestMatch(*fiftyOne).Score, 51);
  EXPECT_EQ(table.AddOrMerge(*fiftyOne), made);
  EXPECT_EQ(made->MsgCount, 2);
  EXPECT_EQ(made->List_Post, "<mailto:c@x>");
  EXPECT_EQ(table.Count(), 2);
  // No list mail: nothing.
  EXPECT_EQ(table.AddOrMerge(*ListOf("Precedence: bulk\r\nSubject: x")), nullptr);
  EXPECT_EQ(table.AddOrMerge(TMailingList()), nullptr);
  EXPECT_EQ(table.Count(), 2);
  // A fingerprint that carries an id of the table (a random draw that met
  // one) still gives a list the table holds.
  auto clash = ListOf("List-Id: <other.example.org>");
  clash->UniqueId = made->UniqueId;
  const std::shared_ptr<TMailingList> added = table.AddOrMerge(*clash);
  ASSERT_NE(added, nullptr);
  EXPECT_NE(added->UniqueId, made->UniqueId);
  EXPECT_EQ(table.FindByUniqueId(added->UniqueId), added);
  EXPECT_EQ(table.FindByUniqueId(0), nullptr);
}

TEST(MailingListTable, AssignMatchesListsByIdAndKeepsDroppedListsAliveForTheirHolders) {
  TMailingListList global;
  auto a = std::make_shared<TMailingList>();
  a->List_ID = "<a.example.org>";
  auto b = std::make_shared<TMailingList>();
  b->List_ID = "<b.example.org>";
  global.Add(a);
  global.Add(b);

  TMailingListList copy;
  copy.Assign(global);
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.Items(0)->UniqueId, a->UniqueId);  // the order stays
  EXPECT_NE(copy.Items(0), a);                      // a copy, not the list
  copy.Items(0)->UserSuppliedName = "Edited";
  copy.Items(0)->SetSubscribed(kTriteYes);
  auto c = std::make_shared<TMailingList>();
  c->List_ID = "<c.example.org>";
  copy.Add(c);
  const std::uint32_t bId = b->UniqueId;
  ASSERT_EQ(copy.Count(), 3);
  // The editor deletes b and says OK.
  TMailingListList edited;
  edited.Add(copy.Items(2));
  edited.Add(copy.Items(0));
  global.Assign(edited);
  ASSERT_EQ(global.Count(), 2);
  EXPECT_EQ(global.Items(1), a);  // the same object, changed in place
  EXPECT_EQ(a->UserSuppliedName, "Edited");
  EXPECT_EQ(a->Subscribed(), kTriteYes);
  EXPECT_EQ(global.Items(0)->List_ID, "<c.example.org>");
  EXPECT_EQ(global.FindByUniqueId(bId), nullptr);
  EXPECT_EQ(b->List_ID, "<b.example.org>");  // still whole for its holder
  global.Clear();
  EXPECT_EQ(global.Count(), 0);
  EXPECT_EQ(a->UserSuppliedName, "Edited");
}

TEST(MailingListTable, SavesAndLoadsTheSection) {
  TMailingListList table;
  for (const char* header :
       {"List-Id: Talk <talk.example.org>\r\nSubject: [Talk] a",
        "X-BeenThere: b@example.org\r\nList-Post: <mailto:b@example.org>\r\nSubject: b"})
    table.AddOrMerge(*ListOf(header))->SetSubscribed(kTriteYes);
  table.Items(1)->UserSuppliedDiscription = "with \"quotes\", commas";
  TQuorIniFile ini("", true);
  ini.WriteString(kMailingListsSection, "List9", "stale");
  table.SaveToIni(ini);
  const std::string saved = ini.SaveToStream();
  EXPECT_EQ(saved.find("stale"), std::string::npos);

  TMailingListList loaded;
  loaded.LoadFromIni(ini);
  ASSERT_EQ(loaded.Count(), 2);
  EXPECT_EQ(loaded.Items(0)->Subscribed(), kTriteYes);
  EXPECT_EQ(loaded.Items(0)->FLastSubject, "");
  TQuorIniFile again("", true);
  loaded.SaveToIni(again);
  EXPECT_EQ(again.SaveToStream(), saved);

  // Loading stops at the first empty value and drops a taken id.
  TQuorIniFile gaps("", true);
  gaps.WriteString(kMailingListsSection, "List1", "List_ID=a,UniqueId=5");
  gaps.WriteString(kMailingListsSection, "List2", "List_ID=b,UniqueId=5");
  gaps.WriteString(kMailingListsSection, "List3", "");
  gaps.WriteString(kMailingListsSection, "List4", "List_ID=c,UniqueId=6");
  TMailingListList fromGaps;
  fromGaps.LoadFromIni(gaps);
  ASSERT_EQ(fromGaps.Count(), 1);
  EXPECT_EQ(fromGaps.Items(0)->List_ID, "a");
}

TEST(MailingListTable, TheListsModuleAnswersTheHeadersQuestion) {
  InitializeListsModule();
  TEmailHeader header;
  header.ParseText("X-BeenThere: talk@example.org\r\nPrecedence: bulk\r\nSubject: [Talk] s");
  EXPECT_FALSE(header.IsKnownMailingList());
  auto known = header.GetMailingList();
  known->SubjectLineSubstring = "[Talk]";
  GlobalMailingListList()->Add(std::shared_ptr<TMailingList>(std::move(known)));
  EXPECT_TRUE(header.IsKnownMailingList());
  FinalizeListsModule();
  EXPECT_EQ(GlobalMailingListList(), nullptr);
  EXPECT_FALSE(header.IsKnownMailingList());
}

// ---------------------------------------------------------------------------
// The corpus

// Python reads List-Id, List-Post, List-Subscribe and List-Unsubscribe of
// each file named on its input (compat32, the values unfolded and their
// encoded words decoded) and takes the pieces the getters give. One line per
// file: the five pieces, tab-separated, in getter order.
const char* const kPythonListFields = R"PY(
import re, sys
from email.header import decode_header
from email.parser import BytesHeaderParser
from email.policy import compat32

CTL = ''.join(map(chr, range(33)))

def value(m, name):
    v = m.get(name)
    if v is None:
        return ''
    v = re.sub(r'\r?\n', '', str(v).strip(CTL))
    try:
        out = b''
        for text, charset in decode_header(v):
            out += text if isinstance(text, bytes) else text.encode('latin-1', 'replace')
        return out.decode('latin-1')
    except Exception:
        return v

def between(text, start, end):
    i = text.find(start)
    if i < 0:
        return None
    j = text.find(end, i + len(start))
    return None if j < 0 else text[i + len(start):j]

def mailto(text):
    i = text.lower().find('mailto:')
    if i < 0:
        return ''
    j = text.find('>', i + 7)
    return '' if j < 0 else text[i + 7:j]

def entry(text, lower):
    for letter in (lower, lower.upper()):
        piece = between(text, '<' + letter, '>')
        if piece is not None:
            return (letter + piece).strip(CTL)
    return ''

for path in sys.stdin.read().split('\n'):
    if not path:
        continue
    with open(path, 'rb') as f:
        m = BytesHeaderParser(policy=compat32).parse(f)
    lid = value(m, 'List-Id')
    piece = between(lid, '<', '>')
    unsub = value(m, 'List-Unsubscribe')
    out = [(lid if piece is None else piece).strip(CTL), mailto(value(m, 'List-Post')),
           mailto(value(m, 'List-Subscribe')).split('?')[0], entry(unsub, 'h'), entry(unsub, 'm')]
    print('\t'.join(x.replace('\t', ' ') for x in out))
)PY";

TEST(MailingListCorpus, GettersAgreeWithPythonsEmail) {
  const std::vector<std::string> files = test::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  std::string names;
  for (const std::string& file : files) names += file + "\n";
  const test::CommandResult python = test::RunPython(kPythonListFields, names);
  ASSERT_EQ(python.ExitCode, 0) << python.Output;
  const std::vector<std::string> lines = test::OutputLines(python.Output);
  ASSERT_EQ(lines.size(), files.size());
  int withList = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto list = ListOf(test::CorpusHeaderText(files[i]));
    std::string mine;
    int n = 0;
    for (std::string piece :
         {list->GetListId(), list->GetPostAddress(), list->GetSubscribeAddress(),
          list->GetUnsubscribeUrl(), list->GetUnsubscribeMailto()}) {
      std::replace(piece.begin(), piece.end(), '\t', ' ');
      if (n++ > 0) mine += '\t';
      mine += piece;
    }
    if (!list->GetListId().empty()) ++withList;
    EXPECT_EQ(mine, lines[i]) << files[i];
  }
  EXPECT_GT(withList, 1000);
}

// The table made from one group in file order: each list gathers the
// messages of one list id, apart from the few that came into a list whose
// fields looked like theirs (a list loses its id for a while when a message
// without one is merged into it, its fields following its newest message).
// Saved, loaded and saved again it gives the same bytes.
TEST(MailingListCorpus, OneGroupGathersEachListIdInOneList) {
  const std::vector<std::string> files = test::CorpusFiles("easy-ham-1");
  if (files.empty()) GTEST_SKIP() << "no mail corpus";
  TMailingListList table;
  // Per list: how many of its messages carry each list id.
  std::map<std::uint32_t, std::map<std::string, int>> idsByList;
  std::set<std::string> allIds;
  int listMessages = 0;
  for (const std::string& file : files) {
    const auto fingerprint = ListOf(test::CorpusHeaderText(file));
    const std::shared_ptr<TMailingList> list = table.AddOrMerge(*fingerprint);
    if (!list) continue;
    ++listMessages;
    const std::string listId = LowerCase1252(fingerprint->GetListId());
    if (listId.empty()) continue;
    ++idsByList[list->UniqueId][listId];
    allIds.insert(listId);
  }
  int strays = 0;
  std::set<std::string> dominantIds;
  for (const auto& [id, ids] : idsByList) {
    int all = 0, most = 0;
    std::string dominant;
    for (const auto& [listId, count] : ids) {
      all += count;
      if (count > most) {
        most = count;
        dominant = listId;
      }
    }
    EXPECT_TRUE(dominantIds.insert(dominant).second) << "two lists for " << dominant;
    for (const auto& [listId, count] : ids)
      if (listId != dominant)
        std::cout << count << " of " << listId << " in the list of " << dominant << "\n";
    strays += all - most;
  }
  std::cout << "easy-ham-1: " << listMessages << " list messages, " << table.Count() << " lists, "
            << allIds.size() << " list ids, " << strays << " in the list of another id\n";
  EXPECT_EQ(listMessages, 1695);
  EXPECT_EQ(allIds.size(), 18u);
  EXPECT_LE(strays, 3);

  TQuorIniFile ini("", true);
  table.SaveToIni(ini);
  TMailingListList loaded;
  loaded.LoadFromIni(ini);
  EXPECT_EQ(loaded.Count(), table.Count());
  TQuorIniFile again("", true);
  loaded.SaveToIni(again);
  EXPECT_EQ(again.SaveToStream(), ini.SaveToStream());
}

}  // namespace
}  // namespace halvorn
