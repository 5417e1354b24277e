// Sixteen address checks at once, sharing the cache, while another thread
// takes snapshots of their running records (ThreadSanitizer runs this).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "address_check_support.h"
#include "classify/valid_email_addr.h"

namespace halvorn {
namespace {

TEST(AddressCheckThreads, ChecksShareTheCacheWhileSnapshotsAreTaken) {
  ClearAddressCache();
  // Each sender's own entry names the server and its address, so no DNS is
  // asked.
  std::vector<TValidEmailAddrRec> known(16);
  for (int i = 0; i < 16; ++i) {
    known[static_cast<std::size_t>(i)].Address = "user" + std::to_string(i) + "@mx.test";
    known[static_cast<std::size_t>(i)].MailServer = "mx.mx.test";
    known[static_cast<std::size_t>(i)].MailServerIP = StrToIP("203.0.113.5");
    known[static_cast<std::size_t>(i)].Level = acl_Format;
    known[static_cast<std::size_t>(i)].Result = ear_Timeout;
  }
  SetAddressCacheEntries(known);
  // The server accepts anyone: the first probe to end says so, and checks
  // that look later end at the cache's word.
  TScopedAddrCheckSocketMaker maker([] {
    auto mine = std::make_shared<std::vector<std::string>>();
    return std::make_unique<test::ScriptedSmtp>(
        test::ServerScript{true, {"220 ready"}, {{"250 hi"}, {"250 ok"}, {"250 ok"}, {"354 go"},
                                                  {"354 go"}}},
        mine);
  });
  std::vector<TThreadHandle> handles;
  std::vector<TAddrCheckStateRef> states;
  for (int i = 0; i < 16; ++i) {
    TValidEmailAddrThread2* t =
        StartAddressCheckThread("user" + std::to_string(i) + "@mx.test", acl_Data);
    handles.push_back(t->Handle());
    states.push_back(t->State());
  }
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load())
      for (const auto& s : states) (void)s->Snapshot().Transcript.size();
  });
  for (const auto& s : states) EXPECT_TRUE(WaitForAddressCheck(*s, 30000));
  stop.store(true);
  reader.join();
  for (const auto& h : handles) FreeThreadByHandle(h);
  for (const auto& s : states) {
    const TValidEmailAddrRec r = s->Snapshot();
    EXPECT_EQ(r.Level, acl_Data) << r.Transcript;
    EXPECT_EQ(r.Result, ear_Valid) << r.Transcript;
  }
  // Each outcome appended beside its sender's older time-out.
  EXPECT_EQ(AddressCacheEntries().size(), 32u);
  ClearAddressCache();
}

}  // namespace
}  // namespace halvorn
