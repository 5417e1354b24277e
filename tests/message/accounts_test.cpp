#include "message/accounts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/files/quor_ini_file.h"
#include "foundation/text/random_texts.h"
#include "foundation/crypto/random_source.h"
#include "message/account_test_support.h"

namespace halvorn {
namespace {

class AccountsTest : public ::testing::Test {
 protected:
  test::GlobalAccountsScope FScope;
  test::FakeDns FDns;
  test::PostRecorder FPosts;
};

TEST_F(AccountsTest, NewAccountsGetIdsNoOtherAccountHasInAnyCase) {
  // The settings file's section names ignore case, so an id that another
  // account has in another case would share its section.
  SeedRandomForThisThread(7);
  const std::string first = RandomPrintable(8);
  std::string other = first;
  for (char& c : other) c = static_cast<char>(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c) : std::tolower(c));
  ASSERT_NE(other, first);
  const TLocalAccountRef local = GlobalLocalAccounts().Add("LOCAL");
  local->RemoteAccounts->Add(other);

  SeedRandomForThisThread(7);
  const TRemoteAccountRef remote = local->RemoteAccounts->Add();
  EXPECT_EQ(remote->UniqueId().size(), 8u);
  EXPECT_FALSE(SameText1252(remote->UniqueId(), first));
  SeedRandomForThisThread(7);
  EXPECT_FALSE(SameText1252(GlobalLocalAccounts().Add()->UniqueId(), first));
}

TEST_F(AccountsTest, LookUpsByIdAndUserId) {
  const TLocalAccountRef first = GlobalLocalAccounts().Add("L1");
  const TLocalAccountRef second = GlobalLocalAccounts().Add("L2");
  first->SetUserId("SingleUser");
  const TRemoteAccountRef a = first->RemoteAccounts->Add("A1");
  const TRemoteAccountRef b = first->RemoteAccounts->Add("B1");
  const TRemoteAccountRef c = second->RemoteAccounts->Add("C1");
  a->SetUserId("Bob");
  b->SetUserId("bob");
  c->SetUserId("carol");

  // User ids compare ignoring case: the first "bob" is "Bob".
  EXPECT_EQ(first->RemoteAccounts->FindByUserId("BOB"), a);
  EXPECT_EQ(first->RemoteAccounts->FindByUserId("nobody"), nullptr);
  EXPECT_EQ(GlobalLocalAccounts().FindByRemoteUserId("CAROL"), second);
  // The program serves one user: any id finds the first local account.
  EXPECT_EQ(GlobalLocalAccounts().FindByUserId("whoever"), first);
  // Unique ids compare exactly.
  EXPECT_EQ(first->RemoteAccounts->FindById("B1"), b);
  EXPECT_EQ(first->RemoteAccounts->FindById("b1"), nullptr);
  EXPECT_EQ(first->RemoteAccounts->FindById(""), nullptr);
  EXPECT_EQ(GlobalLocalAccounts().FindRemoteAccountById("C1"), c);
  EXPECT_EQ(first->FindRemoteAccountById("C1"), nullptr);
  EXPECT_EQ(GlobalLocalAccounts().FindOwner(c.get()), second);
  EXPECT_EQ(c->GetLocalAccount(), first);

  TRemoteAccountList all;
  GlobalLocalAccounts().CollectRemoteAccounts(all);
  EXPECT_EQ(all, (TRemoteAccountList{c, b, a}));

  // Taken out of its collection, an account is nobody's and stays usable.
  EXPECT_TRUE(first->RemoteAccounts->Remove(b.get()));
  EXPECT_FALSE(first->RemoteAccounts->Remove(b.get()));
  EXPECT_EQ(GlobalLocalAccounts().FindOwner(b.get()), nullptr);
  EXPECT_EQ(b->Collection(), nullptr);
  EXPECT_EQ(b->UserId(), "bob");
  EXPECT_EQ(first->RemoteAccounts->Items(1), nullptr);
}

TEST_F(AccountsTest, UserIdChangesAreAnnouncedAndReachTheRepository) {
  std::vector<std::pair<std::string, std::string>> renames;
  SetRenameUserRepository([&](const std::string& oldId, const std::string& newId) {
    // The repository's lock comes before every account lock.
    EXPECT_EQ(AccountLocksHeldByThisThread(), 0);
    renames.emplace_back(oldId, newId);
  });
  const TLocalAccountRef local = GlobalLocalAccounts().Add();
  const TRemoteAccountRef remote = local->RemoteAccounts->Add();
  EXPECT_EQ(FPosts.Take(WM_REFRESH_ACCOUNTS), 1);  // the local account's Add

  struct Row {
    const char* what;
    std::function<void()> change;
    int posts;
    std::string localId;
  } rows[] = {
      {"first id: no rename", [&] { local->SetUserId("alice"); }, 1, "alice"},
      {"same id: nothing", [&] { local->SetUserId("alice"); }, 0, "alice"},
      {"empty id: announced, kept", [&] { local->SetUserId(""); }, 1, "alice"},
      {"case counts", [&] { local->SetUserId("Alice"); }, 1, "Alice"},
      {"remote id", [&] { remote->SetUserId("bob"); }, 1, "Alice"},
      {"remote same id", [&] { remote->SetUserId("bob"); }, 0, "Alice"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    row.change();
    EXPECT_EQ(FPosts.Take(WM_REFRESH_ACCOUNTS), row.posts);
    EXPECT_EQ(local->UserId(), row.localId);
  }
  EXPECT_EQ(renames, (std::vector<std::pair<std::string, std::string>>{{"alice", "Alice"}}));
  SetRenameUserRepository(nullptr);
}

TEST_F(AccountsTest, WebmailAccountsAndTheirAddresses) {
  const TRemoteAccountRef account = GlobalLocalAccounts().Add()->RemoteAccounts->Add();
  account->SetUserId("bob");
  struct Row {
    const char* hosts;
    const char* emailAddress;
    bool hotmail, msn;
    const char* address;
  } rows[] = {
      {"Hotmail", "", true, false, "bob@hotmail.com"},
      {"msn", "bob@elsewhere.example", false, true, "bob@msn.com"},
      {"hotmail", "", false, false, "bob@hotmail"},  // the pseudo-host is exact
      {"pop.example.com", "bob@example.com", false, false, "bob@example.com"},
      {"pop.example.com\r\n192.0.2.7", "", false, false, "bob@pop.example.com"},
      {"192.0.2.7\r\n192.0.2.8", "", false, false, "bob@192.0.2.7"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hosts);
    account->SetHost(row.hosts, false);
    account->SetEmailAddress(row.emailAddress);
    EXPECT_EQ(account->IsHotmail(), row.hotmail);
    EXPECT_EQ(account->IsMsn(), row.msn);
    EXPECT_EQ(account->IsWebmail(), row.hotmail || row.msn);
    EXPECT_EQ(account->GetEmailAddress(), row.address);
  }

  // A new web-mail account's 110 has "mark read" on and "unread only" off.
  account->SetHost("Hotmail", true);
  EXPECT_TRUE(account->HasOption(2));
  EXPECT_FALSE(account->HasOption(1));
  account->SetOption(1, true);
  EXPECT_EQ(account->Port, 111);
  account->SetOption(2, false);
  EXPECT_EQ(account->Port, 109);
  EXPECT_TRUE(FDns.Started().empty());  // web-mail hosts are never looked up
}

TEST_F(AccountsTest, MergingRefusesWhatIsNotADuplicate) {
  const TLocalAccountRef local = GlobalLocalAccounts().Add();
  const TRemoteAccountRef keeper = local->RemoteAccounts->Add("KEEP");
  keeper->SetUserId("Bob");
  keeper->SetPassword("pw");
  struct Row {
    const char* what;
    const char* uniqueId;
    const char* userId;
    const char* password;
    bool checkPassword;
  } rows[] = {
      {"same unique id", "KEEP", "bob", "pw", true},
      {"another user", "O1", "bobby", "pw", false},
      {"another password, checked", "O2", "bob", "PW", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TRemoteAccountRef other = std::make_shared<TRemoteAccount>(row.uniqueId);
    other->SetUserId(row.userId);
    other->SetPassword(row.password);
    other->SetUidlStatus("u", us_Read);
    const TRemoteAccountRef held = other;
    EXPECT_FALSE(keeper->MergeDuplicate(other, row.checkPassword));
    EXPECT_EQ(other, held);
    EXPECT_EQ(keeper->UidlCount(), 0);
  }
  TRemoteAccountRef self = keeper;
  EXPECT_FALSE(keeper->MergeDuplicate(self, false));
  TRemoteAccountRef none;
  EXPECT_FALSE(keeper->MergeDuplicate(none, false));
  EXPECT_EQ(FPosts.Take(WM_CANCEL_DOWNLOAD), 0);
}

TEST_F(AccountsTest, MergingAbsorbsTheDuplicate) {
  FDns.A = {{"pop.example.com", {"192.0.2.10"}}, {"mail.example.com", {"192.0.2.11"}}};
  const TLocalAccountRef local = GlobalLocalAccounts().Add();
  const TRemoteAccountRef keeper = local->RemoteAccounts->Add();
  const TRemoteAccountRef middle = local->RemoteAccounts->Add();
  TRemoteAccountRef other = local->RemoteAccounts->Add();
  keeper->SetUserId("bob");
  keeper->SetPassword("old");
  keeper->SetHost("pop.example.com", false);
  keeper->SetUidlStatus("known", us_Read);
  other->SetUserId("BOB");
  other->SetPassword("new");
  other->SetHost("mail.example.com", false);
  other->SetUidlStatus("known", us_Deleted);
  other->SetUidlStatus("only-other", us_DeletedLocal);
  other->ProcessUsingQuor = false;
  const TRemoteAccountRef holder = other;  // a thread still working on it

  EXPECT_TRUE(keeper->MergeDuplicate(other, false));
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(FPosts.Take(WM_CANCEL_DOWNLOAD), 1);
  EXPECT_EQ(keeper->Uidls(), (std::vector<std::pair<std::string, TUidlStatus>>{
                                 {"known", us_Read}, {"only-other", us_DeletedLocal}}));
  EXPECT_FALSE(keeper->ProcessUsingQuor);
  EXPECT_EQ(keeper->Hosts(), (std::vector<THostEntry>{{"pop.example.com", StrToIP("192.0.2.10")},
                                                      {"mail.example.com", StrToIP("192.0.2.11")}}));
  EXPECT_EQ(local->RemoteAccounts->Snapshot(), (TRemoteAccountList{keeper, middle}));
  // The merged-away account stays whole for its holder.
  EXPECT_EQ(holder->UserId(), "BOB");
  EXPECT_EQ(holder->GetUidlStatus("only-other"), us_DeletedLocal);
  holder->SetUidlStatus("later", us_Read);
  EXPECT_EQ(holder->Collection(), nullptr);
  EXPECT_EQ(GlobalLocalAccounts().FindOwner(holder.get()), nullptr);
}

TEST_F(AccountsTest, DuplicateUidlsAreFoundInOtherAccountsFromTheLast) {
  const TLocalAccountRef local = GlobalLocalAccounts().Add();
  const TRemoteAccountRef a = local->RemoteAccounts->Add();
  const TRemoteAccountRef b = local->RemoteAccounts->Add();
  const TRemoteAccountRef c = local->RemoteAccounts->Add();
  a->SetUidlStatus("u1", us_Read);
  b->SetUidlStatus("u1", us_Downloaded);
  c->SetUidlStatus("u2", us_Read);
  EXPECT_EQ(local->RemoteAccounts->CheckForDupUidl(a.get(), "u1"), b);
  EXPECT_EQ(local->RemoteAccounts->CheckForDupUidl(c.get(), "u1"), b);
  EXPECT_EQ(local->RemoteAccounts->CheckForDupUidl(b.get(), "u1"), a);
  EXPECT_EQ(local->RemoteAccounts->CheckForDupUidl(c.get(), "U1"), nullptr);
  EXPECT_EQ(local->RemoteAccounts->CheckForDupUidl(c.get(), "u2"), nullptr);
}


TEST_F(AccountsTest, AssignCopiesWhatTheAccountsFileKeeps) {
  TLocalAccounts source;
  const TLocalAccountRef local = source.Add("LOCAL1");
  local->SetUserId("alice");
  local->SetPassword("secret");
  local->SetSMTPServer("smtp.example.org");
  const TRemoteAccountRef remote = local->RemoteAccounts->Add("REMOTE1");
  remote->SetUserId("bob");
  remote->SetPassword("p w");
  remote->Port = 995;
  remote->SetHost("192.0.2.7", false);
  remote->SetUidlStatus("u1", us_Read);
  remote->InterceptedThisRun = true;
  FPosts.Take(WM_REFRESH_ACCOUNTS);

  TLocalAccounts copy;
  copy.Add("OLD");
  copy.Assign(source);
  EXPECT_GE(FPosts.Take(WM_REFRESH_ACCOUNTS), 1);
  EXPECT_EQ(test::DumpAccounts(copy, true), test::DumpAccounts(source, false));
  // The copy has accounts of its own: changing one leaves the source alone.
  copy.Items(0)->RemoteAccounts->Items(0)->SetUserId("carol");
  EXPECT_EQ(remote->UserId(), "bob");
  EXPECT_EQ(copy.Items(0)->RemoteAccounts->Items(0)->Collection(), copy.Items(0)->RemoteAccounts);

  TRemoteAccounts remotes;
  remotes.Assign(*local->RemoteAccounts);
  ASSERT_EQ(remotes.Count(), 1);
  EXPECT_EQ(remotes.Items(0)->UniqueId(), "REMOTE1");
  EXPECT_EQ(remotes.Items(0)->Password(), "p w");
  EXPECT_EQ(remotes.Items(0)->GetUidlStatus("u1"), us_Read);
  remotes.Assign(remotes);  // a copy of itself keeps it
  EXPECT_EQ(remotes.Count(), 1);

  EXPECT_EQ(copy.GetNamePath(), "TLocalAccounts");
  EXPECT_EQ(remotes.GetNamePath(), "TRemoteAccounts");
}
}  // namespace
}  // namespace halvorn
