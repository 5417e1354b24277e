// The DCC packets against tests/data/dcc_packets.py, which builds them with
// struct from the protocol's layout: what we send byte for byte, and what we
// read from every reply, hostile ones included.
#include "lists/dcc/dcc_packets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace halvorn {
namespace {

std::vector<std::string> Packets(const std::string& requests) {
  const auto result =
      test::RunCommand({test::PythonPath(), test::DataPath("dcc_packets.py")}, requests);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  std::vector<std::string> packets;
  for (const std::string& line : test::OutputLines(result.Output))
    packets.push_back(test::BytesFromHex(line));
  return packets;
}

TDigest16 Sum(int seed) {
  TDigest16 sum{};
  for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = static_cast<std::uint8_t>(seed * 16 + i);
  return sum;
}

TEST(DccPackets, NopAndQueriesOfZeroToFourteenItems) {
  const TDccRequestNumbers numbers{0x01020304, 4242, 0xA0B0C0D0, 1};
  std::string requests = "nop 16909060 4242 2695938256 1\n";
  std::vector<std::string> ours{BuildDccNop(numbers)};
  // Types 1 to 12 go out even with a zero sum; other types (0, 13 and up)
  // never; at most 14 items.
  for (int items = 0; items <= 16; ++items) {
    TDccChecksums record;
    ClearDccRecord(record);
    std::string line = "query 16909060 4242 2695938256 1";
    int sent = 0;
    for (int i = 0; i < items; ++i) {
      const int type = 1 + i % 12;
      const TDigest16 sum = i == 3 ? TDigest16{} : Sum(i);
      record.Slots[static_cast<std::size_t>(i)].Type = static_cast<std::uint8_t>(type);
      record.Slots[static_cast<std::size_t>(i)].Sum = sum;
      if (sent < kDccMaxItems) {
        line += " " + std::to_string(type) + ":" +
                test::HexOf(std::string(reinterpret_cast<const char*>(sum.data()), sum.size()));
        ++sent;
      }
    }
    record.Slots[19].Type = 13;  // not a queried type
    requests += line + "\n";
    ours.push_back(BuildDccQuery(record, numbers));
    EXPECT_EQ(ours.back().size(), DccQueryBytes(sent)) << items;
    EXPECT_EQ(DccQueryTypes(record).size(), static_cast<std::size_t>(sent));
  }
  const std::vector<std::string> theirs = Packets(requests);
  ASSERT_EQ(theirs.size(), ours.size());
  for (std::size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(test::HexOf(ours[i]), test::HexOf(theirs[i])) << i;
}

TEST(DccPackets, Replies) {
  const std::string brand64(64, 'B');
  const std::vector<std::string> p = Packets(
      "resp 77 9 0 1 16777200 4294967295\n"
      "ok 78 10 4 250 " + test::HexOf("Fake: brand\r\nX") + "\n"
      "ok 78 11 4 0 " + test::HexOf(brand64) + "\n"
      "error 79 12 " + test::HexOf("no <b>way</b>") + "\n");
  ASSERT_EQ(p.size(), 4u);

  const TDccReply resp(p[0]);
  EXPECT_TRUE(resp.IsPacket());
  EXPECT_EQ(resp.Operation(), DCC_OP_QUERY_RESP);
  EXPECT_EQ(resp.Sender(), 77u);
  EXPECT_EQ(resp.R(), 9u);
  EXPECT_EQ(resp.Length(), DccAnswerBytes(4));
  EXPECT_EQ((std::vector<std::uint32_t>{resp.Count(0), resp.Count(1), resp.Count(2), resp.Count(3), resp.Count(4)}),
            (std::vector<std::uint32_t>{0, 1, 16777200, 4294967295u, 0}));

  const TDccReply ok(p[1]);
  EXPECT_TRUE(ok.IsPacket());
  EXPECT_EQ(ok.Operation(), DCC_OP_OK);
  EXPECT_EQ(ok.MaxPacketVersion(), 4);
  EXPECT_EQ(ok.DelayMs(), 250);
  EXPECT_EQ(ok.Brand(), "Fake: brand\r\nX");
  // A brand filling its 64 bytes without a zero stops at them.
  EXPECT_EQ(TDccReply(p[2]).Brand(), brand64);

  const TDccReply error(p[3]);
  EXPECT_TRUE(error.IsPacket());
  EXPECT_EQ(error.ErrorText(), "no <b>way</b>");
  // Cut short: the length field no longer matches, and texts stop at the
  // bytes that arrived.
  const TDccReply cut(std::string_view(p[3]).substr(0, 28));
  EXPECT_FALSE(cut.IsPacket());
  EXPECT_EQ(cut.ErrorText(), "no <");
  const TDccReply cutOk(std::string_view(p[1]).substr(0, 30));
  EXPECT_EQ(cutOk.Brand(), "Fa");
  // Longer than the buffer: kept in part, never a packet.
  const TDccReply huge(std::string(4000, '\x07'));
  EXPECT_FALSE(huge.IsPacket());
  EXPECT_TRUE(huge.Arrived());
  EXPECT_FALSE(TDccReply().Arrived());
  EXPECT_FALSE(TDccReply(std::string_view(p[0]).substr(0, 3)).IsPacket());
  EXPECT_EQ(DccOperationName(4), "DCC_OP_QUERY_RESP");
  EXPECT_EQ(DccOperationName(200), "DCC_OP_200");
}

}  // namespace
}  // namespace halvorn
