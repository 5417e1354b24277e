// Shared pieces of the account tests: a DNS world of the test's own behind
// the accounts' look-up seam, a stand-in main window that records what the
// accounts post, and a text form of a whole account set for comparisons.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "foundation/app/main_window_notifications.h"
#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/text/list_helpers.h"
#include "foundation/files/file_helpers.h"
#include "foundation/app/window_handle.h"
#include "message/account_hosts.h"
#include "message/accounts.h"
#include "platform/qt_test_app.h"
#include "platform/window_messages.h"
#include "platform/qt_window_messages.h"

namespace halvorn::test {

// Answers the accounts' look-ups from tables while it lives, so that no test
// outside a network namespace of its own sends a datagram. A name without an
// entry does not exist (dns_NoError, nothing found). Every look-up is counted
// and checked to start with no account or collection lock held.
class FakeDns {
 public:
  std::map<std::string, std::vector<std::string>> A;    // lower-case name -> addresses
  std::map<std::string, std::vector<std::string>> PTR;  // dotted address -> names
  std::set<std::string> Silent;                         // names and addresses that time out

  FakeDns() {
    ForgetFailedHostLookups();
    THostLookupsForTests seam;
    seam.Observer = [this](const std::string& kind, const std::string& name) {
      EXPECT_EQ(AccountLocksHeldByThisThread(), 0) << kind << " " << name;
      std::lock_guard<std::mutex> lock(FMutex);
      FStarted.push_back(kind + " " + name);
    };
    seam.Reverse = [this](const std::string& address, TStringList& names) {
      std::lock_guard<std::mutex> lock(FMutex);
      if (Silent.count(address)) return dns_Timeout;
      const auto found = PTR.find(address);
      if (found != PTR.end())
        for (const auto& name : found->second) names.Add(name);
      return dns_NoError;
    };
    seam.Forward = [this](const std::string& name, std::vector<std::uint32_t>& addresses) {
      std::lock_guard<std::mutex> lock(FMutex);
      if (Silent.count(LowerCase1252(name))) return dns_Timeout;
      const auto found = A.find(LowerCase1252(name));
      if (found != A.end())
        for (const auto& address : found->second) addresses.push_back(StrToIP(address));
      return dns_NoError;
    };
    seam.Resolve = [this](const std::string& name, std::uint32_t& address) {
      std::lock_guard<std::mutex> lock(FMutex);
      if (Silent.count(LowerCase1252(name))) return dns_Timeout;
      const auto found = A.find(LowerCase1252(name));
      if (found != A.end() && !found->second.empty()) address = StrToIP(found->second.front());
      return dns_NoError;
    };
    SetHostLookupsForTests(std::move(seam));
  }
  ~FakeDns() {
    SetHostLookupsForTests({});
    ForgetFailedHostLookups();
  }
  FakeDns(const FakeDns&) = delete;
  FakeDns& operator=(const FakeDns&) = delete;

  // The look-ups started so far ("A name", "PTR address", "resolve name").
  std::vector<std::string> Started() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FStarted;
  }
  void ClearStarted() {
    std::lock_guard<std::mutex> lock(FMutex);
    FStarted.clear();
  }

 private:
  std::mutex FMutex;
  std::vector<std::string> FStarted;
};

// Stands in for the main window and records the messages posted to it.
class PostRecorder : public QObject {
 public:
  struct TPost {
    std::uint32_t Msg;
    TMessageParam WParam;
    TMessageParam LParam;
  };

  PostRecorder() {
    EnsureQtApplication();
    FWindow = platform::RegisterWindow(this, kMainFormClassName);
    SetMainWindowHandle(FWindow);
  }
  ~PostRecorder() override {
    SetMainWindowHandle(0);
    platform::UnregisterWindow(FWindow);
    QCoreApplication::removePostedEvents(this);
  }
  // Delivers what was posted and answers how many messages of the number
  // arrived since the last call.
  int Take(std::uint32_t msg) { return static_cast<int>(TakePosts(msg).size()); }
  // Delivers what was posted and answers, in order, the messages of the
  // number that arrived since the last call.
  std::vector<TPost> TakePosts(std::uint32_t msg) {
    QCoreApplication::sendPostedEvents(this);
    std::vector<TPost> taken, rest;
    for (const TPost& post : FPosts) (post.Msg == msg ? taken : rest).push_back(post);
    FPosts = rest;
    return taken;
  }
  bool event(QEvent* event) override {
    if (event->type() != platform::WindowMessageEvent::EventType()) return QObject::event(event);
    auto* message = static_cast<platform::WindowMessageEvent*>(event);
    FPosts.push_back({message->Msg(), message->WParam(), message->LParam()});
    return true;
  }

 private:
  TWindowHandle FWindow = 0;
  std::vector<TPost> FPosts;
};

// Every stored field of every account, one per line. After a load the
// stored "intercepted" flag is InterceptedLastRun; before a save it is
// InterceptedThisRun.
inline std::string DumpAccounts(const TLocalAccounts& accounts, bool afterLoad) {
  std::string out;
  for (const TLocalAccountRef& local : accounts.Snapshot()) {
    out += "local " + local->UniqueId() + " user=" + local->UserId() +
           " password=" + local->Password() + " enabled=" + std::to_string(local->Enabled) +
           " smtp=" + local->SMTPServer() + ":" + std::to_string(local->SMTPPort) +
           " smtpuser=" + local->SMTPUserId() + " smtppassword=" + local->SMTPPassword() + "\n";
    for (const TRemoteAccountRef& remote : local->RemoteAccounts->Snapshot()) {
      out += " remote " + remote->UniqueId() + " user=" + remote->UserId() +
             " password=" + remote->Password() + " email=" + remote->EmailAddress() +
             " port=" + std::to_string(remote->Port) +
             " process=" + std::to_string(remote->ProcessUsingQuor) +
             " auto=" + std::to_string(remote->AutoGenerated) + " intercepted=" +
             std::to_string(afterLoad ? remote->InterceptedLastRun : remote->InterceptedThisRun) +
             "\n  hosts:";
      // As stored: texts only, exact repeats once.
      TStringList hosts;
      for (const THostEntry& host : remote->Hosts()) hosts.Add(host.Text);
      RemoveDuplicateLinesUnsorted(hosts);
      for (int i = 0; i < hosts.Count(); ++i) out += " [" + hosts[i] + "]";
      out += "\n  uidls:";
      for (const auto& [uidl, state] : remote->Uidls())
        out += " [" + uidl + "]=" + std::to_string(static_cast<int>(state));
      out += "\n";
    }
  }
  return out;
}

// Empties the global collection for one test and again after it.
class GlobalAccountsScope {
 public:
  GlobalAccountsScope() { GlobalLocalAccounts().Clear(); }
  ~GlobalAccountsScope() { GlobalLocalAccounts().Clear(); }
  GlobalAccountsScope(const GlobalAccountsScope&) = delete;
  GlobalAccountsScope& operator=(const GlobalAccountsScope&) = delete;
};

}  // namespace halvorn::test
