// The central service's datagrams against struct.pack (tests/data/
// qch_frames.py): the header's overlapping offsets, the default stop codes
// and their dump; bits, self-tests and the parser's classes.
#include "lists/qch/qch_udp_msg.h"

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "lists/qch/qch_identity.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

std::vector<std::string> Oracle(const std::string& command, const std::string& json) {
  const auto result =
      test::RunCommand({test::PythonPath(), test::DataPath("qch_frames.py"), command}, json);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  return test::OutputLines(result.Output);
}

TEST(QchUdpMsg, HeaderFieldsOverlapAsTheServiceReadsThem) {
  SetQchIdentity(4242, "key");
  TQchUdpMsg plain;
  EXPECT_EQ(plain.Bytes().size(), 20u);
  EXPECT_EQ(plain.GetInt(kQchUdpVersionOffset), 1);
  EXPECT_EQ(plain.UserId(), 4242);
  auto report = MakeQchUdpReport(kQchUdpStatDataDone, std::string("Id=\"Pa=y\"\0!", 11));
  report->SetInt(kQchUdpQueryIdOffset, 99);
  const auto lines = Oracle(
      "udp", R"([{"kind":7,"user_id":4242,"query_id":99,"data":")" +
                 test::HexOf(std::string("Id=\"Pa=y\"\0!", 11)) + "\"}]");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(test::HexOf(report->Bytes()), lines[0]);
  // Byte 3 holds the kind's low byte, so the version reads back with it.
  EXPECT_EQ(report->GetInt(kQchUdpVersionOffset), 1 + (7 << 24));
  EXPECT_EQ(report->Kind(), kQchUdpStatDataDone);
  EXPECT_EQ(report->GetText(), std::string("Id=\"Pa=y\"\0!", 11));
  EXPECT_EQ(report->GetDataSize(), 11);
  SetQchIdentity(0, "");
}

TEST(QchUdpMsg, DefaultStopCodesAndTheirDump) {
  TStopCodesQchUdpMsg codes;
  codes.SetInt(kQchUdpUserIdOffset, 5);
  codes.SetInt(kQchUdpQueryIdOffset, 123456);
  const auto lines = Oracle("stopcodes", R"([{"user_id":5,"query_id":123456}])");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(test::HexOf(codes.Bytes()), lines[0]);
  // The dump, a JSON string: CR LF written as \r\n.
  std::string dump = lines[1].substr(1, lines[1].size() - 2);
  for (std::size_t at; (at = dump.find("\\r\\n")) != std::string::npos;) dump.replace(at, 4, "\r\n");
  EXPECT_EQ(codes.DumpText(), dump);
  EXPECT_NE(dump.find("RepStandTestArrayOnDoneProcessing=False"), std::string::npos);
  EXPECT_NE(dump.find("RepQuorTestStatDataOnCatSpam=True"), std::string::npos);
  EXPECT_NE(dump.find("TransSendSomeUdp=False\r\nTransSmartUdp=True\r\nTransUdpMin=11"),
            std::string::npos);
  EXPECT_FALSE(codes.GetBit(TStopCodesQchUdpMsg::kReturnProbOnTestReport));

  codes.SetInt(TStopCodesQchUdpMsg::kTransUdpErrorMinOffset, 10);
  codes.SetInt(TStopCodesQchUdpMsg::kTransUdpSmartPastOffset, 0);
  codes.SetInt(TStopCodesQchUdpMsg::kTransUdpSmartFutureOffset, 0);
  EXPECT_TRUE(codes.TransSendSomeUdp());
  EXPECT_FALSE(codes.TransSmartUdp());
  codes.ResetTransUdpMin();
  codes.ResetTransUdpSmart();
  EXPECT_FALSE(codes.TransSendSomeUdp());
  EXPECT_TRUE(codes.TransSmartUdp());
}

TEST(QchUdpMsg, BitsAndIntegersGrowTheDatagram) {
  TQchUdpMsg msg;
  EXPECT_FALSE(msg.GetBit(160));
  msg.SetBit(160, true);
  ASSERT_EQ(msg.Bytes().size(), 21u);
  EXPECT_EQ(msg.Bytes()[20], '\x01');
  EXPECT_TRUE(msg.GetBit(160));
  msg.SetBit(160, false);
  EXPECT_FALSE(msg.GetBit(160));
  EXPECT_EQ(msg.GetInt(40), 0);
  msg.SetInt(40, -2);
  EXPECT_EQ(msg.Bytes().size(), 44u);
  EXPECT_EQ(msg.GetInt(40), -2);
  msg.SetDataSize(2);
  EXPECT_EQ(msg.GetData(), std::string(2, '\0'));
  // A received datagram shorter than the header reads as kind 0.
  EXPECT_EQ(TQchUdpMsg(std::string("\x01\0\0\x01\0\0", 6)).Kind(), 0);
}

TEST(QchUdpMsg, SelfTestsPutTheBytesBack) {
  TQchUdpMsg plain;
  TStopCodesQchUdpMsg codes;
  auto text = MakeQchUdpReport(kQchUdpTestsCatSpam, "!abc");
  for (TQchUdpMsg* msg : {&plain, static_cast<TQchUdpMsg*>(&codes), static_cast<TQchUdpMsg*>(text.get())}) {
    SCOPED_TRACE(typeid(*msg).name());
    const std::string before = msg->Bytes();
    EXPECT_TRUE(msg->SelfTest());
    EXPECT_EQ(msg->Bytes(), before);
  }
}

TEST(QchUdpMsg, ParsedKindsMakeTheirClasses) {
  struct Row {
    std::int32_t Kind;
    const char* Class;  // none when empty
  };
  const Row rows[] = {{1, "TStopCodesQchUdpMsg"}, {2, "TQchUdpMsg"}, {3, "TQchUdpMsg"},
                      {4, "TStringQchUdpMsg"},    {9, "TStringQchUdpMsg"}, {0, ""},
                      {10, ""},                   {12, ""},          {-1, ""}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Kind);
    TQchUdpMsg source;
    source.SetInt(kQchUdpKindOffset, row.Kind);
    source.SetDataSize(5);
    auto parsed = QchUdpParse(source.Bytes());
    if (*row.Class == '\0') {
      EXPECT_FALSE(parsed);
      continue;
    }
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->Bytes(), source.Bytes());
    const std::string name = typeid(*parsed).name();
    EXPECT_NE(name.find(row.Class), std::string::npos) << name;
    if (row.Kind == 2 || row.Kind == 3) {
      EXPECT_EQ(dynamic_cast<TStringQchUdpMsg*>(parsed.get()), nullptr);
    }
  }
  EXPECT_FALSE(QchUdpParse("short"));
}

}  // namespace
}  // namespace halvorn
