#include "message/uidl_states.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "foundation/text/string_list.h"
#include "message/accounts.h"
#include "message/accounts_file.h"
#include "support/dns_test_servers.h"
#include "support/dovecot_server.h"
#include "support/string_list_helpers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using Record = std::vector<std::pair<std::string, TUidlStatus>>;

TEST(UidlStates, RecordingAnswersStateAndWhetherAdded) {
  TUidlStates states;
  EXPECT_EQ(states.Get("m1"), us_NonExistant);
  EXPECT_EQ(states.Set("m1", us_Read), us_Read * 256 + 1);
  EXPECT_EQ(states.Get("m1"), us_Read);
  EXPECT_EQ(states.Set("m1", us_Deleted), us_Deleted * 256);
  EXPECT_EQ(states.Set("m2", us_Downloaded), 1);
  EXPECT_EQ(states.Count(), 2);
  // Setting "unknown" forgets the UIDL.
  EXPECT_EQ(states.Set("m1", us_NonExistant), 0);
  EXPECT_EQ(states.Get("m1"), us_NonExistant);
  EXPECT_EQ(states.Count(), 1);
  EXPECT_EQ(states.Set("", us_Read), 0);
  EXPECT_EQ(states.Count(), 1);
}

// Server UIDLs are opaque: two that differ only in case are two messages. A
// record that merged them would never fetch the second one, or would delete
// it on the server unread once the first was marked us_Deleted.
TEST(UidlStates, UidlsThatDifferInCaseAreTwoMessages) {
  TUidlStates states;
  states.Set("AbC", us_Deleted);
  states.Set("abc", us_Downloaded);
  EXPECT_EQ(states.Count(), 2);
  EXPECT_EQ(states.Get("AbC"), us_Deleted);
  EXPECT_EQ(states.Get("abc"), us_Downloaded);
  EXPECT_EQ(states.Get("ABC"), us_NonExistant);

  TStringList removed;
  states.Cull(test::ListOf({"ABC", "abc"}), removed);
  EXPECT_EQ(removed.ToVector(), test::Lines{"AbC"});
  EXPECT_EQ(states.Entries(), (Record{{"abc", us_Downloaded}}));
}

TEST(UidlStates, CullingForgetsWhatTheServerNoLongerLists) {
  TUidlStates states;
  for (const char* uidl : {"a", "b", "c", "d"}) states.Set(uidl, us_Read);
  TStringList removed;
  states.Cull(test::ListOf({"d", "b", "x"}), removed);
  // Walked from the last recorded UIDL to the first.
  EXPECT_EQ(removed.ToVector(), (test::Lines{"c", "a"}));
  EXPECT_EQ(states.Entries(), (Record{{"b", us_Read}, {"d", us_Read}}));

  removed.Clear();
  states.Cull(TStringList(), removed);
  EXPECT_EQ(removed.ToVector(), (test::Lines{"d", "b"}));
  EXPECT_EQ(states.Count(), 0);
}

TEST(UidlStates, StoredFormReadsBackAndSkipsWhatCannotBeRead) {
  struct Row {
    const char* stored;
    Record expected;
  } rows[] = {
      {R"("abc,0","def,2")", {{"abc", us_Downloaded}, {"def", us_Deleted}}},
      // Unquoted, each pair is one item without a state: both are skipped.
      {"x,1", {}},
      // A later pair of the same UIDL wins.
      {R"("a,1","a,4")", {{"a", us_DeletedLocal}}},
      // A state that is no number reads as 0; one outside the five values,
      // and "unknown", record nothing.
      {R"("a,zz","b,5","c,-1","d,3","e,4")", {{"a", us_Downloaded}, {"e", us_DeletedLocal}}},
      // The program's own UIDLs are never read in.
      {R"("Quorvantis0000ABCD.2003.01.02.03.04.05,1","qUoRx,1","Squor,2")",
       {{"Squor", us_Deleted}}},
      // A comma inside a UIDL, as the comma text writes it.
      {R"("""x,y"",2")", {{"x,y", us_Deleted}}},
      {"", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stored);
    TUidlStates states;
    states.LoadStoredForm(row.stored);
    EXPECT_EQ(states.Entries(), row.expected);
  }
}

TEST(UidlStates, StoredFormLeavesOwnUidlsOut) {
  TUidlStates states;
  states.Set("Quorvantis0000ABCD.2003.01.02.03.04.05", us_Read);
  states.Set("z\"1,2 3", us_Deleted);
  states.Set("b", us_Downloaded);
  const std::string stored = states.StoredForm();
  EXPECT_EQ(stored, R"("b,0","""z""""1,2 3"",2")");
  TUidlStates back;
  back.LoadStoredForm(stored);
  EXPECT_EQ(back.Entries(), (Record{{"b", us_Downloaded}, {"z\"1,2 3", us_Deleted}}));
}

// The listing a real POP3 server gives, as Python's poplib reads it, goes
// into an account, through the accounts file and back, and is culled against
// the server's next listing.
TEST(UidlStates, RealServerListingIsRecordedSavedAndCulled) {
  if (test::DovecotBinary().empty()) GTEST_SKIP() << "dovecot-pop3d is not installed";
  const std::uint16_t port = test::FreeLocalPort();
  ASSERT_NE(port, 0);
  test::DovecotServer server(port, {{"alice", "secret"}});
  ASSERT_TRUE(server.Ok()) << server.Error();
  for (int i = 1; i <= 5; ++i) {
    ASSERT_TRUE(server.AddMessage("alice", "m" + std::to_string(i),
                                  "Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n"));
  }
  // One run: the listing, then the first message deleted, then the listing
  // again.
  const std::string script = R"(
import poplib, sys
def listing():
    p = poplib.POP3('127.0.0.1', int(sys.argv[1]))
    p.user('alice'); p.pass_('secret')
    lines = [l.decode('latin-1') for l in p.uidl()[1]]
    return p, lines
p, first = listing()
p.dele(1); p.quit()
p, second = listing()
p.quit()
for l in first: print('1 ' + l)
for l in second: print('2 ' + l)
)";
  const test::CommandResult run =
      test::RunCommand({test::PythonPath(), "-c", script, std::to_string(port)});
  ASSERT_EQ(run.ExitCode, 0) << run.Output << server.LogText();
  TStringList lines, first, second;
  lines.SetText(run.Output);
  for (int i = 0; i < lines.Count(); ++i) {
    // "<round> <number> <uidl>": the UIDL is what follows the number's blank.
    const std::string& line = lines[i];
    const std::string rest = line.substr(2);
    const std::string uidl = rest.substr(rest.find(' ') + 1);
    (line[0] == '1' ? first : second).Add(uidl);
  }
  ASSERT_EQ(first.Count(), 5);
  ASSERT_EQ(second.Count(), 4);

  test::TempFolder folder;
  const std::string path = folder.Sub("accounts.txt");
  GlobalLocalAccounts().Clear();
  const TLocalAccountRef local = GlobalLocalAccounts().Add();
  local->SetUserId("alice");
  const TRemoteAccountRef account = local->RemoteAccounts->Add();
  account->SetUserId("alice");
  for (int i = 0; i < first.Count(); ++i) account->SetUidlStatus(first[i], us_Downloaded);
  // The same ids in the other case, as another server could list them: two
  // more entries, which the real server's listing does not hold.
  TStringList otherCase;
  for (int i = 0; i < first.Count(); ++i) {
    std::string lower = first[i];
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower != first[i]) otherCase.Add(lower);
  }
  for (int i = 0; i < otherCase.Count(); ++i) account->SetUidlStatus(otherCase[i], us_Read);
  ASSERT_EQ(account->UidlCount(), first.Count() + otherCase.Count());

  ASSERT_EQ(SaveAccountsFile(path, "alice", false), "");
  TQuorIniFile ini(path);
  ASSERT_TRUE(GlobalLocalAccounts().Load(ini));
  const TRemoteAccountRef loaded = GlobalLocalAccounts().Items(0)->RemoteAccounts->Items(0);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->Uidls(), account->Uidls());

  TStringList removed;
  loaded->CullUidls(second, removed);
  std::vector<std::string> expectedRemoved = otherCase.ToVector();
  expectedRemoved.push_back(first[0]);
  std::vector<std::string> gotRemoved = removed.ToVector();
  std::sort(expectedRemoved.begin(), expectedRemoved.end());
  std::sort(gotRemoved.begin(), gotRemoved.end());
  EXPECT_EQ(gotRemoved, expectedRemoved);
  EXPECT_EQ(loaded->UidlCount(), 4);
  for (int i = 0; i < second.Count(); ++i) EXPECT_EQ(loaded->GetUidlStatus(second[i]), us_Downloaded);
  GlobalLocalAccounts().Clear();
}

}  // namespace
}  // namespace halvorn
