// The frame of the central service's TCP protocol: whole-frame tests, the
// factory that takes frames off a receive buffer, decoding of damaged
// frames (each field a hostile peer controls), and message ids.
#include "lists/qch/qch_msg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/files/version_info.h"
#include "foundation/time/clock.h"
#include "lists/qch/qch_messages.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

std::string Int(std::int32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), 4);
}

void PutInt(std::string& frame, std::size_t offset, std::int32_t value) {
  std::memcpy(frame.data() + offset, &value, 4);
}

std::string Frame(TQchMsg& msg) {
  std::string frame;
  msg.WriteTo(frame);
  return frame;
}

// The frame's first message, and whether it decoded.
std::unique_ptr<TQchMsg> Take(const std::string& bytes, std::string* left = nullptr) {
  TQchBuffer buffer;
  buffer.Append(bytes);
  auto msg = CreateQchMsgFromStream(buffer);
  if (left) *left = std::string(buffer.View());
  return msg;
}

TEST(QchFrame, WholeFrameStates) {
  struct Row {
    std::string Bytes;
    TQchFrameState State;
  };
  const Row rows[] = {
      {"", TQchFrameState::Incomplete},
      {"\x1e\0\0", TQchFrameState::Incomplete},
      {Int(30) + std::string(10, 'x'), TQchFrameState::Incomplete},
      {Int(30) + std::string(26, 'x'), TQchFrameState::Complete},
      {Int(30) + std::string(29, 'x'), TQchFrameState::Complete},
      {Int(5) + "\x01", TQchFrameState::Complete},
      // Lengths no frame can have are known from their four bytes alone.
      {Int(0), TQchFrameState::Invalid},
      {Int(4) + "xxxx", TQchFrameState::Invalid},
      {Int(-1), TQchFrameState::Invalid},
      {Int(2147483647), TQchFrameState::Invalid},
      {Int(kQchMaxFrameSize + 1), TQchFrameState::Invalid},
      {Int(kQchMaxFrameSize), TQchFrameState::Incomplete},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(test::HexOf(row.Bytes));
    EXPECT_EQ(QchFrameState(row.Bytes), row.State);
    EXPECT_EQ(IsCompleteQchFrame(row.Bytes), row.State == TQchFrameState::Complete);
  }
}

TEST(QchFrame, TheFactoryTakesOneFrameAndLeavesTheRest) {
  TQchGetExternalIpResponseMsg reply(9, PackVersion(1, 2, 0, 1));
  reply.Address = 77;
  const std::string frame = Frame(reply);
  // The next frame's first bytes stay, at the front.
  std::string left;
  auto msg = Take(frame + "abc", &left);
  ASSERT_TRUE(msg);
  EXPECT_TRUE(msg->Decoded());
  EXPECT_EQ(msg->MsgId, 9);
  EXPECT_EQ(msg->Stream(), frame);
  EXPECT_EQ(left, "abc");
  // Not all of it yet: nothing taken, nothing changed.
  EXPECT_FALSE(Take(frame.substr(0, frame.size() - 1), &left));
  EXPECT_EQ(left, frame.substr(0, frame.size() - 1));
  // An invalid length is left for the client, which closes.
  EXPECT_FALSE(Take(Int(-1) + "xxxx", &left));
  EXPECT_EQ(left, Int(-1) + "xxxx");
}

TEST(QchFrame, UnknownTypesAreConsumedAndATopBitIsCleared) {
  TQchGetExternalIpResponseMsg reply(9, PackVersion(1, 2, 0, 1));
  const std::string next = Frame(reply);
  for (std::uint8_t type : {0, 19, 127}) {
    SCOPED_TRACE(static_cast<int>(type));
    std::string unknown = Int(13) + std::string(1, static_cast<char>(type)) + std::string(8, '\0');
    TQchBuffer buffer;
    buffer.Append(unknown + next);
    EXPECT_FALSE(CreateQchMsgFromStream(buffer));
    EXPECT_EQ(std::string(buffer.View()), next);
    auto msg = CreateQchMsgFromStream(buffer);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->MsgType, Qch_GetExternalIpResponse);
  }
  // 0x88 makes a match response, whose own type check fails.
  TQchMatchResponseMsg match(3, PackVersion(1, 2, 0, 1));
  std::string frame = Frame(match);
  frame[4] = static_cast<char>(0x88);
  auto msg = Take(frame);
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->MsgType, Qch_MatchResponse);
  EXPECT_FALSE(msg->Decoded());
}

TEST(QchFrame, AFrameWithoutMarkerIsAnOldPeers) {
  TQchClientMsg hello;
  hello.Version = PackVersion(1, 0, 0, 9);
  hello.UserId = 12;
  const std::string frame = Frame(hello);
  ASSERT_EQ(frame.size(), 45u);
  auto msg = Take(frame);
  ASSERT_TRUE(msg);
  EXPECT_TRUE(msg->Decoded());
  // The request's own section carries the old version; the id is the one
  // the object was made with.
  EXPECT_EQ(msg->Version, PackVersion(1, 0, 0, 9));
  EXPECT_NE(msg->MsgId, 0);
  EXPECT_EQ(static_cast<TQchClientMsg&>(*msg).UserId, 12);
  TQchServerMsg server(0, 0);
  server.Version = PackVersion(1, 0, 0, 9);
  server.Status = 1;
  auto reply = Take(Frame(server));
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->Decoded());
  EXPECT_EQ(reply->Version, kQchMarkerlessVersion);
  EXPECT_EQ(reply->MsgId, 0);
}

// Each field of a frame that a hostile peer controls, damaged: the message
// decodes false without reading past its frame, and the frame is consumed
// whole, so the next frame still decodes.
TEST(QchFrame, DamagedFramesDecodeFalseAndNeverReadTheNextFrame) {
  const std::uint32_t v = PackVersion(1, 2, 0, 1);
  TQchMsgRecResponseMsg record(5, v);
  record.Status = 1;
  record.Rec.ExtraInfo = "T=x";
  record.Rec.CheckSums = {1, 2};
  const std::string recordFrame = Frame(record);
  const std::size_t sumsCount = recordFrame.size() - 4 - 8;
  TQchMatchResponseMsg match(6, v);
  match.Status = 1;
  TMsgSearchRec one;
  InitMsgSearchRec(one);
  one.Kind = 1;
  match.Records = {one, one};
  match.ExtraInfo = "HT=1";
  const std::string matchFrame = Frame(match);
  const std::size_t recordCount = 21 + 5 + 4 + 4;
  TQchMatchQueryMsg query;
  query.CheckSums = {1, 2, 3};
  const std::string queryFrame = Frame(query);
  const std::size_t queryCount = 21 + 40 + 4;

  struct Row {
    const char* Name;
    std::string Base;
    std::function<void(std::string&)> Damage;
  };
  const std::vector<Row> rows = {
      {"a version below 1.1.2.66 with a marker", recordFrame,
       [](std::string& f) { PutInt(f, 13, static_cast<std::int32_t>(PackVersion(1, 0, 0, 0))); }},
      {"a header size below 21", recordFrame, [](std::string& f) { PutInt(f, 9, 20); }},
      {"a header size past the frame", recordFrame,
       [](std::string& f) { PutInt(f, 9, static_cast<std::int32_t>(f.size() + 1)); }},
      {"a section size too small", recordFrame, [](std::string& f) { PutInt(f, 21, 4); }},
      {"a section size past the frame", recordFrame, [](std::string& f) { PutInt(f, 21, 1000); }},
      {"a negative section size", recordFrame, [](std::string& f) { PutInt(f, 26, -8); }},
      {"a negative checksum count", recordFrame, [=](std::string& f) { PutInt(f, sumsCount, -4); }},
      {"a checksum count not a multiple of 4", recordFrame,
       [=](std::string& f) { PutInt(f, sumsCount, 6); }},
      {"a checksum count past the frame", recordFrame,
       [=](std::string& f) { PutInt(f, sumsCount, 12); }},
      {"a text length past the frame", recordFrame,
       [](std::string& f) { PutInt(f, 21 + 5 + 4 + 4 + 16, 4000); }},
      {"a negative record count", matchFrame, [=](std::string& f) { PutInt(f, recordCount, -44); }},
      {"a record count not a multiple of 44", matchFrame,
       [=](std::string& f) { PutInt(f, recordCount, 50); }},
      {"a record count past the frame", matchFrame,
       [=](std::string& f) { PutInt(f, recordCount, 132); }},
      // Without its checksums a query's digests cannot be found.
      {"a query's checksum count past the frame", queryFrame,
       [=](std::string& f) { PutInt(f, queryCount, 4000); }},
      {"a frame cut after its section size", recordFrame,
       [](std::string& f) {
         f.resize(30);
         PutInt(f, 0, 30);
       }},
  };
  TQchGetExternalIpResponseMsg follower(7, v);
  follower.Address = 0x0A0B0C0D;
  const std::string next = Frame(follower);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    std::string frame = row.Base;
    row.Damage(frame);
    TQchBuffer buffer;
    buffer.Append(frame + next);
    auto msg = CreateQchMsgFromStream(buffer);
    ASSERT_TRUE(msg);
    EXPECT_FALSE(msg->Decoded());
    EXPECT_EQ(msg->Stream().size(), frame.size());
    if (auto* m = dynamic_cast<TQchMatchResponseMsg*>(msg.get())) {
      EXPECT_TRUE(m->Records.empty());
    }
    auto after = CreateQchMsgFromStream(buffer);
    ASSERT_TRUE(after);
    EXPECT_TRUE(after->Decoded());
    EXPECT_EQ(static_cast<TQchGetExternalIpResponseMsg&>(*after).Address, 0x0A0B0C0D);
    EXPECT_TRUE(buffer.Empty());
  }
}

TEST(QchFrame, AMatchResponseKeepsItsRecordsWhenOnlyItsTextIsBad) {
  TQchMatchResponseMsg match(6, PackVersion(1, 2, 0, 1));
  match.Status = 1;
  TMsgSearchRec one;
  InitMsgSearchRec(one);
  one.Kind = 1;
  one.CommonCount = 3;
  match.Records = {one};
  match.ExtraInfo = "HT=1";
  std::string frame = Frame(match);
  PutInt(frame, frame.size() - 8, 1000);  // the text's length
  auto msg = Take(frame);
  ASSERT_TRUE(msg);
  EXPECT_TRUE(msg->Decoded());
  auto& m = static_cast<TQchMatchResponseMsg&>(*msg);
  ASSERT_EQ(m.Records.size(), 1u);
  EXPECT_EQ(m.Records[0].CommonCount, 3);
  EXPECT_EQ(m.ExtraInfo, "");
}

TEST(QchFrame, ManyBufferedFramesComeOutInOrder) {
  TQchBuffer buffer;
  for (int i = 1; i <= 5000; ++i) {
    TQchGetExternalIpResponseMsg reply(i, PackVersion(1, 2, 0, 1));
    std::string frame;
    reply.WriteTo(frame);
    buffer.Append(frame);
  }
  for (int i = 1; i <= 5000; ++i) {
    auto msg = CreateQchMsgFromStream(buffer);
    ASSERT_TRUE(msg);
    ASSERT_EQ(msg->MsgId, i);
  }
  EXPECT_TRUE(buffer.Empty());
}

TEST(QchFrame, MessageIdsAreDistinctAndCountFromTheirTick) {
  // Many ids within one tick each get the next number, never a repeat.
  std::vector<std::int32_t> ids(10000);
  for (auto& id : ids) id = NextMsgId();
  for (std::size_t i = 1; i < ids.size(); ++i) {
    ASSERT_GT(static_cast<std::int32_t>(static_cast<std::uint32_t>(ids[i]) -
                                        static_cast<std::uint32_t>(ids[i - 1])),
              0);
    ASSERT_NE(ids[i], 0);
  }
  const std::int32_t fresh = NextMsgId();
  EXPECT_LE(TicksSince(fresh), 1000);
  // An id ahead of the clock (handed out fast) counts as no time at all.
  EXPECT_EQ(TicksSince(fresh + 100000), 0);
  const std::int32_t tick = static_cast<std::int32_t>(static_cast<std::uint32_t>(SteadyMilliseconds()));
  EXPECT_GE(TicksSince(tick - 5000), 5000);
}

}  // namespace
}  // namespace halvorn
