// The eighteen messages of the central service's TCP protocol against an
// oracle built from the protocol's description alone (tests/data/
// qch_frames.py, struct.pack): in each of the three layouts every message
// encodes to the oracle's bytes, and the oracle's bytes decode to the same
// fields; a newer peer's longer header and sections decode too.
#include "lists/qch/qch_messages.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/files/version_info.h"
#include "lists/qch/qch_service.h"
#include "lists/qch/qch_udp.h"
#include "support/qch_fields.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::QchFieldsJson;

const std::uint32_t kBelow = PackVersion(1, 0, 5, 3);
const std::uint32_t kAt = kQchSizedVersion;
const std::uint32_t kAbove = PackVersion(1, 2, 0, 1);

TDigest16 Digest(std::uint8_t seed) {
  TDigest16 d{};
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(seed + i * 7);
  return d;
}

TMsgSearchRec Record(std::uint8_t kind, int common, int extra, int missing, std::uint16_t votes) {
  TMsgSearchRec r;
  InitMsgSearchRec(r);
  r.Kind = kind;
  r.TimesEncountered = 12;
  r.Counts.Hoax = votes;
  r.Counts.Personal = 3;
  r.Counts.StaffCategory = 7;
  r.ItemId = -99;
  r.CommonCount = common;
  r.ExtraCount = extra;
  r.MissingCount = missing;
  return r;
}

// One populated message of each type, in the layout of `version` (StatData,
// Occasion and StopCodes travel only above 1.1.2.66, so they keep their
// initial values below).
std::vector<std::unique_ptr<TQchMsg>> AllMessages(std::uint32_t version) {
  const bool sized = QchLayoutOf(version) == TQchLayout::New;
  std::vector<std::unique_ptr<TQchMsg>> all;
  auto client = [&](auto msg) {
    msg->Version = version;
    msg->MsgId = 0x01020304;
    msg->UserId = 4242;
    msg->Key = "K3y-with-16char!";
    for (std::size_t i = 0; i < 16; ++i) msg->ClientTag[i] = static_cast<std::uint8_t>(0xA0 + i);
    return msg;
  };
  auto server = [&](auto msg) {
    msg->Status = 1;
    return msg;
  };
  all.push_back(std::make_unique<TQchMsg>());
  all.back()->Version = version;
  all.back()->MsgId = 77;
  auto hello = client(std::make_unique<TQchClientMsg>());
  hello->Key = "short";
  all.push_back(std::move(hello));
  all.push_back(server(std::make_unique<TQchServerMsg>(78, version)));
  auto query = client(std::make_unique<TQchMatchQueryMsg>());
  query->CheckSums = {1, 0xFFFFFFFF, 123456789};
  query->BodySum = Digest(1);
  query->Fuz1Sum = Digest(2);
  query->Fuz2Sum = Digest(3);
  all.push_back(std::move(query));
  auto recReq = client(std::make_unique<TQchMsgRecReqMsg>());
  recReq->MsgNumber = 7;
  all.push_back(std::move(recReq));
  auto categorize = client(std::make_unique<TQchCategorizeReqMsg>());
  categorize->MsgNumber = 55;
  categorize->Category = Mc_CommercialSpam;
  all.push_back(std::move(categorize));
  auto submit = client(std::make_unique<TQchSubmitTextMsg>());
  submit->CheckSums = {9, 8};
  submit->Category = Mc_Virus;
  submit->Text = std::string("Body\r\n\0with a zero", 18);
  submit->BodySum = Digest(4);
  submit->Fuz1Sum = Digest(5);
  submit->Fuz2Sum = Digest(6);
  all.push_back(std::move(submit));
  auto update = client(std::make_unique<TQchUserUpdateMsg>());
  update->MsgNumber = 901;
  update->ExtraInfo = "UT=\"1,note\",UL=http://x.test/";
  all.push_back(std::move(update));
  auto tests = client(std::make_unique<TQchSubmitTestsMsg>());
  tests->Trites = TriteArrayFromText("yynuuny");
  tests->Probabilities.SetCategory(Mc_Personal);
  if (sized) {
    tests->StatData = "Id1=\"Pa=y\",Id2=\"Pa=n\"";
    tests->Occasion = 2;
  }
  all.push_back(std::move(tests));
  all.push_back(client(std::make_unique<TQchGetExternalIpMsg>()));
  auto redirect = server(std::make_unique<TQchRedirectMsg>(79, version));
  redirect->Host = "127.0.0.2";
  all.push_back(std::move(redirect));
  auto assign = server(std::make_unique<TQchAssignUserIdMsg>(80, version));
  assign->UserId = 31337;
  assign->Key = QchKeyBytes("AssignedKey");
  assign->Spare = 9;
  all.push_back(std::move(assign));
  auto email = server(std::make_unique<TQchEmailUserMsg>(81, version));
  email->Text = "Subject: hello\r\n\r\nBody\r\n";
  all.push_back(std::move(email));
  auto match = server(std::make_unique<TQchMatchResponseMsg>(82, version));
  match->MsgNumber = -3;
  match->Records = {Record(1, 4, 1, 0, 9), Record(2, 0, 0, 0, 1)};
  match->TextItemId = 555;
  match->ExtraInfo = "HT=1,T=hello";
  all.push_back(std::move(match));
  auto rec = server(std::make_unique<TQchMsgRecResponseMsg>(83, version));
  rec->Rec.MsgNumber = 6000;
  rec->Rec.FirstSeen = 37622.75;
  rec->Rec.LastSeen = 45000.125;
  rec->Rec.ExtraInfo = "T=seen";
  rec->Rec.TimesEncountered = 42;
  rec->Rec.Counts.Bulk = 65535;
  rec->Rec.Counts.StaffCategory = 0x87;
  rec->Rec.CheckSums = {5, 6, 7};
  all.push_back(std::move(rec));
  auto answer = server(std::make_unique<TQchCategorizeResponseMsg>(84, version));
  answer->Text = "Thanks";
  all.push_back(std::move(answer));
  auto probabilities = server(std::make_unique<TQchReturnProbResponseMsg>(85, version));
  probabilities->Probabilities.SetCategory(Mc_CommercialSpam);
  if (sized) {
    TStopCodesQchUdpMsg stopCodes;
    stopCodes.SetBit(TStopCodesQchUdpMsg::kReturnProbOnTestReport, true);
    probabilities->StopCodes = stopCodes.Bytes();
  }
  all.push_back(std::move(probabilities));
  auto address = server(std::make_unique<TQchGetExternalIpResponseMsg>(86, version));
  address->Address = 0x0100007F;
  all.push_back(std::move(address));
  return all;
}

// The oracle's frames for the messages' fields, with `extra` added to the
// JSON of each (a newer peer's surplus).
std::vector<std::string> OracleFrames(const std::vector<std::unique_ptr<TQchMsg>>& messages,
                                      const std::string& extra = "") {
  std::string json = "[";
  for (std::size_t i = 0; i < messages.size(); ++i) {
    std::string fields = QchFieldsJson(*messages[i]);
    if (!extra.empty()) fields.insert(fields.size() - 1, "," + extra);
    json += (i ? "," : "") + fields;
  }
  json += "]";
  const test::CommandResult result = test::RunCommand(
      {test::PythonPath(), test::DataPath("qch_frames.py"), "encode"}, json);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  std::vector<std::string> frames;
  for (const std::string& line : test::OutputLines(result.Output))
    frames.push_back(test::BytesFromHex(line));
  EXPECT_EQ(frames.size(), messages.size());
  return frames;
}

class QchMessages : public ::testing::Test {
 protected:
  // Decoding a probability reply replaces the global stop codes.
  void TearDown() override { SetQchStopCodes(nullptr); }
};

TEST_F(QchMessages, EachLayoutEncodesAsTheOracleAndDecodesFieldForField) {
  for (std::uint32_t version : {kBelow, kAt, kAbove}) {
    SCOPED_TRACE("version " + VersionToText(version));
    const auto messages = AllMessages(version);
    const auto frames = OracleFrames(messages);
    ASSERT_EQ(frames.size(), messages.size());
    const bool old = QchLayoutOf(version) == TQchLayout::Old;
    for (std::size_t i = 0; i < messages.size(); ++i) {
      TQchMsg& msg = *messages[i];
      SCOPED_TRACE("type " + std::to_string(msg.MsgType));
      std::string written;
      msg.WriteTo(written);
      EXPECT_EQ(test::HexOf(written), test::HexOf(frames[i]));
      EXPECT_EQ(msg.GetHeaderSize(), static_cast<int>(written.size()));

      TQchBuffer buffer;
      buffer.Append(frames[i]);
      std::unique_ptr<TQchMsg> decoded = CreateQchMsgFromStream(buffer);
      ASSERT_TRUE(decoded);
      EXPECT_TRUE(decoded->Decoded());
      EXPECT_TRUE(buffer.Empty());
      EXPECT_EQ(decoded->Stream(), frames[i]);
      // A frame without marker carries no id, and a reply's version then
      // reads as 0.1.2.66; a request carries its version in its section.
      const bool request = dynamic_cast<TQchClientMsg*>(&msg) != nullptr;
      EXPECT_EQ(QchFieldsJson(*decoded, !old), QchFieldsJson(msg, !old));
      if (old) {
        EXPECT_EQ(decoded->Version, request ? version : kQchMarkerlessVersion);
      }
    }
  }
}

TEST_F(QchMessages, TheFramesOfTheProtocolDescription) {
  // The base message of this program is 21 bytes: its length, type 1, the
  // marker, the header size, the version and the id.
  TQchMsg blank;
  blank.MsgId = 0x11223344;
  std::string frame;
  blank.WriteTo(frame);
  const std::uint32_t v = GetPackedVersion();
  std::string expected = test::BytesFromHex("1500000001" "65fdff7f" "15000000");
  expected.append(reinterpret_cast<const char*>(&v), 4);
  expected += test::BytesFromHex("44332211");
  EXPECT_EQ(test::HexOf(frame), test::HexOf(expected));
  // A message-record request for number 7: 69 bytes ending in the section
  // (size 8, then 7); an external-address request: 65 bytes, its section
  // only its size 4.
  TQchMsgRecReqMsg recReq;
  recReq.MsgNumber = 7;
  frame.clear();
  recReq.WriteTo(frame);
  ASSERT_EQ(frame.size(), 69u);
  EXPECT_EQ(test::HexOf(frame.substr(61)), "0800000007000000");
  EXPECT_EQ(test::HexOf(frame.substr(21, 4)), "28000000");  // the client section: 40
  TQchGetExternalIpMsg address;
  frame.clear();
  address.WriteTo(frame);
  ASSERT_EQ(frame.size(), 65u);
  EXPECT_EQ(test::HexOf(frame.substr(61)), "04000000");
  // At exactly 1.1.2.66 the client section has no size: 36 bytes.
  recReq.Version = kAt;
  EXPECT_EQ(recReq.GetHeaderSize(), 21 + 36 + 4);
}

TEST_F(QchMessages, ANewerPeersLongerHeaderAndSectionsAreSkipped) {
  const auto messages = AllMessages(kAbove);
  const auto frames = OracleFrames(messages, "\"header_extra\":7,\"section_extra\":3");
  ASSERT_EQ(frames.size(), messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE("type " + std::to_string(messages[i]->MsgType));
    TQchBuffer buffer;
    buffer.Append(frames[i]);
    buffer.Append("next");
    std::unique_ptr<TQchMsg> decoded = CreateQchMsgFromStream(buffer);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->Decoded());
    EXPECT_EQ(QchFieldsJson(*decoded), QchFieldsJson(*messages[i]));
    EXPECT_EQ(std::string(buffer.View()), "next");
  }
}

// Frames the oracle builds from fields no well-behaved sender writes.
TEST_F(QchMessages, ClassRulesForFieldsOutOfRange) {
  struct Row {
    const char* Fields;
    bool Decodes;
    std::function<void(const TQchMsg&)> Check;
  };
  const Row rows[] = {
      // A categorisation of category 12 reads as category 0, and false.
      {R"({"type":11,"id":5,"msg_number":3,"category":12})", false,
       [](const TQchMsg& m) { EXPECT_EQ(static_cast<const TQchCategorizeReqMsg&>(m).Category, 0); }},
      {R"({"type":13,"id":5,"category":10,"text":""})", false,
       [](const TQchMsg& m) { EXPECT_EQ(static_cast<const TQchSubmitTextMsg&>(m).Category, 0); }},
      {R"({"type":13,"id":5,"category":9,"text":"41"})", true, nullptr},
      // Two records (88 bytes).
      {R"({"type":8,"id":5,"status":1,"records":[{"kind":1},{"kind":2}]})", true,
       [](const TQchMsg& m) {
         EXPECT_EQ(static_cast<const TQchMatchResponseMsg&>(m).Records.size(), 2u);
       }},
  };
  std::string json = "[";
  for (const Row& row : rows) json += std::string(json.size() > 1 ? "," : "") + row.Fields;
  json += "]";
  const auto result =
      test::RunCommand({test::PythonPath(), test::DataPath("qch_frames.py"), "encode"}, json);
  const auto lines = test::OutputLines(result.Output);
  ASSERT_EQ(lines.size(), std::size(rows)) << result.Output;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(rows[i].Fields);
    TQchBuffer buffer;
    buffer.Append(test::BytesFromHex(lines[i]));
    auto msg = CreateQchMsgFromStream(buffer);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->Decoded(), rows[i].Decodes);
    if (rows[i].Check) rows[i].Check(*msg);
  }
}

TEST_F(QchMessages, AProbabilityReplyReplacesTheStopCodesOnlyWithValidOnes) {
  auto reply = [](const std::string& stopCodes) {
    TQchReturnProbResponseMsg msg(1, kAbove);
    msg.Status = 1;
    msg.StopCodes = stopCodes;
    std::string frame;
    msg.WriteTo(frame);
    TQchBuffer buffer;
    buffer.Append(frame);
    return CreateQchMsgFromStream(buffer);
  };
  const auto before = QchStopCodes();
  // Empty: unchanged.
  EXPECT_TRUE(reply("")->Decoded());
  EXPECT_EQ(QchStopCodes(), before);
  // Cut short, or of another kind: logged and dropped, unchanged.
  TStopCodesQchUdpMsg codes;
  codes.SetBit(TStopCodesQchUdpMsg::kReturnProbOnTestReport, true);
  codes.SetInt(TStopCodesQchUdpMsg::kTransUdpMinOffset, 3);
  EXPECT_TRUE(reply(codes.Bytes().substr(0, 38))->Decoded());
  EXPECT_EQ(QchStopCodes(), before);
  TStringQchUdpMsg other;
  other.SetInt(kQchUdpKindOffset, kQchUdpStatDataDone);
  other.SetText(std::string(60, 'x'));
  EXPECT_TRUE(reply(other.Bytes())->Decoded());
  EXPECT_EQ(QchStopCodes(), before);
  // Whole: replaced, bit 172 included.
  EXPECT_TRUE(reply(codes.Bytes())->Decoded());
  EXPECT_TRUE(QchStopCodes()->GetBit(TStopCodesQchUdpMsg::kReturnProbOnTestReport));
  EXPECT_EQ(QchStopCodes()->TransUdpMin(), 3);
}

}  // namespace
}  // namespace halvorn
