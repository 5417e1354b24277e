// Accounts used from several threads at once, as the main thread (logins,
// forms), the download thread (UIDL states, merges) and the savers use them.
// A lock taken against the order would show as a lock time-out; a field read
// without its lock shows under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/threads/mutex_critical_section.h"
#include "message/account_test_support.h"
#include "message/accounts.h"
#include "message/accounts_file.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// Runs the body, turning a lock time-out into a test failure.
void Guarded(const char* who, const std::function<void()>& body) {
  try {
    body();
  } catch (const ECriticalSectionException& e) {
    ADD_FAILURE() << who << ": " << e.what();
  }
}

TEST(AccountsConcurrency, LookUpsWhileOthersMergeRecordAddHostsAndSave) {
  test::GlobalAccountsScope scope;
  test::FakeDns dns;
  for (int i = 0; i < 20; ++i) {
    dns.A["pop" + std::to_string(i) + ".test"] = {"192.0.2." + std::to_string(i + 1)};
    dns.PTR["192.0.2." + std::to_string(i + 1)] = {"pop" + std::to_string(i) + ".test"};
  }
  test::TempFolder folder;
  const TLocalAccountRef local = GlobalLocalAccounts().Add();
  local->SetUserId("alice");
  for (int i = 0; i < 8; ++i) {
    const TRemoteAccountRef account = local->RemoteAccounts->Add();
    account->SetUserId("user" + std::to_string(i));
    account->SetPassword("pw");
    account->SetHost("pop" + std::to_string(i) + ".test", false);
  }

  std::vector<std::thread> threads;
  // The main thread's part: a login finds its account, names its host and
  // shows its forms.
  threads.emplace_back([&] {
    Guarded("logins", [&] {
      for (int n = 0; n < 150; ++n) {
        const int i = n % 8;
        const std::string address = "192.0.2." + std::to_string(i + 1);
        if (TRemoteAccountRef found = GlobalLocalAccounts().FindRemoteAccount("USER" + std::to_string(i), "pw", address)) {
          found->AddHost(address);
          EXPECT_FALSE(found->GetHostText(true).empty());
          found->GetHostIP();
          EXPECT_FALSE(found->PopInfoForm().empty());
        }
        EXPECT_FALSE(local->SmtpInfoForm().empty());
      }
    });
  });
  // The download thread's part: duplicates appear and are merged away while
  // their holder goes on using them.
  threads.emplace_back([&] {
    Guarded("merges", [&] {
      for (int n = 0; n < 60; ++n) {
        const TRemoteAccountRef keeper = local->RemoteAccounts->Add();
        TRemoteAccountRef duplicate = local->RemoteAccounts->Add();
        const TRemoteAccountRef holder = duplicate;
        for (const TRemoteAccountRef& account : {keeper, duplicate}) {
          account->SetUserId("dup" + std::to_string(n));
          account->SetHost("pop" + std::to_string(n % 20) + ".test", false);
        }
        duplicate->SetUidlStatus("d" + std::to_string(n), us_Read);
        if (local->RemoteAccounts->CheckForDupUidl(keeper.get(), "d" + std::to_string(n)) == duplicate) {
          EXPECT_TRUE(keeper->MergeDuplicate(duplicate, true));
        }
        holder->SetUidlStatus("after", us_Downloaded);
        EXPECT_EQ(holder->GetEmailAddress(), "dup" + std::to_string(n) + "@pop" + std::to_string(n % 20) + ".test");
        EXPECT_EQ(keeper->GetUidlStatus("d" + std::to_string(n)), us_Read);
        if (n % 3 == 0) local->RemoteAccounts->Remove(keeper.get());
      }
    });
  });
  // The POP3 server and the queues record UIDL states.
  threads.emplace_back([&] {
    Guarded("states", [&] {
      for (int n = 0; n < 2000; ++n) {
        const TRemoteAccountRef account = local->RemoteAccounts->Items(n % 8);
        if (!account) continue;
        account->SetUidlStatus("u" + std::to_string(n % 300), static_cast<TUidlStatus>(n % 5));
        if (n % 100 == 99) {
          TStringList listed, removed;
          for (int k = 0; k < 300; k += 2) listed.Add("u" + std::to_string(k));
          account->CullUidls(listed, removed);
        }
      }
    });
  });
  // Hosts learned from intercepted connections.
  threads.emplace_back([&] {
    Guarded("hosts", [&] {
      for (int n = 0; n < 150; ++n) {
        const TRemoteAccountRef account = local->RemoteAccounts->Items(n % 8);
        if (!account) continue;
        account->AddHost("192.0.2." + std::to_string(n % 20 + 1));
        account->HasHost("pop1.test");
        GlobalLocalAccounts().GetHostNameForIP("192.0.2.3");
      }
    });
  });
  // The savers: after a download connection and at a reader's QUIT.
  for (int saver = 0; saver < 2; ++saver) {
    threads.emplace_back([&, saver] {
      Guarded("saves", [&] {
        for (int n = 0; n < 8; ++n) {
          EXPECT_EQ(SaveAccountsFile(folder.Sub("accounts.txt"), "alice", saver == 1), "");
        }
      });
    });
  }
  for (std::thread& thread : threads) thread.join();

  // What is on disk loads, and equals the accounts as they ended.
  ASSERT_EQ(SaveAccountsFile(folder.Sub("accounts.txt"), "alice", false), "");
  const std::string last = test::DumpAccounts(GlobalLocalAccounts(), false);
  TQuorIniFile ini(folder.Sub("accounts.txt"));
  ASSERT_TRUE(GlobalLocalAccounts().Load(ini));
  EXPECT_EQ(test::DumpAccounts(GlobalLocalAccounts(), true), last);
}

}  // namespace
}  // namespace halvorn
