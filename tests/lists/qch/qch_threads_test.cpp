// The central service's shared state under several threads (also run under
// ThreadSanitizer): reports sent from four threads while the stop codes are
// replaced from polled datagrams and probability replies and read; message
// ids; the identity while it is assigned.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/version_info.h"
#include "lists/qch/qch_identity.h"
#include "lists/qch/qch_messages.h"
#include "lists/qch/qch_service.h"
#include "lists/qch/qch_udp.h"
#include "support/qch_fake_service.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(QchThreads, ReportsFromFourThreadsWhileTheStopCodesChange) {
  test::QchFakeService fake(R"({"udp_always": [{"stopcodes": {"bits": {"160": 1}}}]})");
  ASSERT_TRUE(fake.Ok()) << fake.Error();
  ScopedQchServiceForTests scope(fake.Host(), fake.TcpPort(), fake.UdpPort());
  SetQchUdpPollIntervalForTests(0);
  constexpr int kSenders = 4;
  constexpr int kReports = 50;
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kSenders; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kReports; ++i)
        QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, std::to_string(t * 1000 + i)));
    });
  }
  // Probability replies replace the stop codes too.
  threads.emplace_back([&] {
    TStopCodesQchUdpMsg codes;
    codes.SetBit(TStopCodesQchUdpMsg::kReturnProbOnTestReport, true);
    TQchReturnProbResponseMsg reply(1, PackVersion(1, 2, 0, 1));
    reply.StopCodes = codes.Bytes();
    std::string frame;
    reply.WriteTo(frame);
    while (!done.load()) {
      TQchBuffer buffer;
      buffer.Append(frame);
      CreateQchMsgFromStream(buffer);
    }
  });
  threads.emplace_back([&] {
    std::size_t seen = 0;
    while (!done.load()) seen += QchStopCodes()->DumpText().size();
    EXPECT_GT(seen, 0u);
  });
  for (int t = 0; t < kSenders; ++t) threads[static_cast<std::size_t>(t)].join();
  done.store(true);
  threads[kSenders].join();
  threads[kSenders + 1].join();
  // A last send takes whatever waited in the queue along.
  QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, "last"));
  EXPECT_EQ(QchUdpQueueCount(), 0u);
  EXPECT_TRUE(test::Eventually([&] { return fake.Count("udp") == kSenders * kReports + 1; }))
      << fake.Count("udp");
}

TEST(QchThreads, MessageIdsFromManyThreadsAreDistinct) {
  constexpr int kThreads = 4;
  constexpr int kIds = 20000;
  std::vector<std::vector<std::int32_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ids, t] {
      for (int i = 0; i < kIds; ++i) ids[static_cast<std::size_t>(t)].push_back(NextMsgId());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::int32_t> all;
  for (const auto& list : ids) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kIds));
  EXPECT_EQ(all.count(0), 0u);
}

TEST(QchThreads, TheIdentityIsNeverReadHalfAssigned) {
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 1; i <= 20000; ++i) SetQchIdentity(i, "key-" + std::to_string(i));
    done.store(true);
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        const TQchIdentity identity = GetQchIdentity();
        if (identity.UserId != 0) {
          ASSERT_EQ(identity.Key, "key-" + std::to_string(identity.UserId));
        }
      }
    });
  }
  writer.join();
  for (auto& reader : readers) reader.join();
  SetQchIdentity(0, "");
}

}  // namespace
}  // namespace halvorn
