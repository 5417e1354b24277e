// The central service's TCP client against a scripted fake service on
// 127.0.0.1 (tests/data/qch_fake_service.py): every request over each
// layout a peer may use, the handshake's redirect, assignment and message,
// replies out of order, hostile services, the fallback and the back-off,
// and bounded waits.
#include "lists/qch/qch_client_socket.h"

#include <gtest/gtest.h>


#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/crypto/md5.h"
#include "foundation/files/install_folders.h"
#include "foundation/files/quor_ini_file.h"
#include "foundation/files/version_info.h"
#include "foundation/net/host_names.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/time/clock.h"
#include "lists/qch/qch_identity.h"
#include "lists/qch/qch_service.h"
#include "lists/qch/qch_udp.h"
#include "message/repository_test_support.h"
#include "support/dns_test_servers.h"
#include "support/qch_fake_service.h"
#include "support/qch_fields.h"
#include "support/scripted_tcp_server.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using test::LogRecorder;
using test::QchFakeService;

// The messages a fake logged receiving, of one type, decoded here.
std::vector<std::unique_ptr<TQchMsg>> Received(const QchFakeService& fake, int type) {
  std::vector<std::unique_ptr<TQchMsg>> result;
  for (const auto& event : fake.EventsOf("tcp", type)) {
    TQchBuffer buffer;
    buffer.Append(test::BytesFromHex(event.at("frame")));
    result.push_back(CreateQchMsgFromStream(buffer));
  }
  return result;
}

bool Logged(const std::string& part) {
  for (const auto& record : LogRecorder::Records())
    if (record.Text.find(part) != std::string::npos) return true;
  return false;
}

TDigest16 Digest(std::uint8_t seed) {
  TDigest16 d{};
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(seed * 16 + i);
  return d;
}

class QchClient : public test::RepositoryTest {
 protected:
  QchClient() {
    FAccount = GlobalLocalAccounts().Add();
    FAccount->SetUserId(kSingleUserName);
  }

  void Start(const std::string& script) {
    FFake = std::make_unique<QchFakeService>(script);
    ASSERT_TRUE(FFake->Ok()) << FFake->Error();
    FScope = std::make_unique<ScopedQchServiceForTests>(FFake->Host(), FFake->TcpPort(),
                                                        FFake->UdpPort());
  }

  std::unique_ptr<TQCHClientSocket> Socket() {
    auto socket = std::make_unique<TQCHClientSocket>("Test");
    socket->UserName = kSingleUserName;
    return socket;
  }

  TLocalAccountRef FAccount;
  std::unique_ptr<QchFakeService> FFake;
  std::unique_ptr<ScopedQchServiceForTests> FScope;
};

// Every request, against a peer of each layout: replies of an older-but-
// marked peer (no section sizes), of this version, and of a newer peer with
// longer headers and sections and frames of types it cannot know between
// the replies.
TEST_F(QchClient, EveryRequestOverEachLayout) {
  const char* scripts[] = {
      R"({})",
      R"({"peer": "at"})",
      R"({"header_extra": 9, "section_extra": 5, "unknown_before": 2})",
  };
  for (const char* script : scripts) {
    SCOPED_TRACE(script);
    FScope.reset();
    Start(script);
    const bool sized = std::string(script).find("\"at\"") == std::string::npos;
    auto socket = Socket();
    ASSERT_TRUE(socket->Open());
    ASSERT_TRUE(socket->Open());
    EXPECT_EQ(FFake->Count("tcp", Qch_Client), 1);

    std::uint32_t address = 0;
    EXPECT_TRUE(socket->GetExternalIp(address));
    EXPECT_EQ(address, StrToIP("127.0.0.1"));

    TMessageRec rec;
    EXPECT_TRUE(socket->GetMsgInfo(7, rec));
    EXPECT_EQ(rec.MsgNumber, 7);
    EXPECT_EQ(rec.FirstSeen, 37000.5);
    EXPECT_EQ(rec.TimesEncountered, 3);
    EXPECT_EQ(rec.Counts.Personal, 9);
    EXPECT_EQ(rec.ExtraInfo, "T=hello");
    EXPECT_EQ(rec.CheckSums, (TCheckSumArray{1, 2, 3}));

    std::string text;
    EXPECT_TRUE(socket->CategorizeMessage(55, Mc_CommercialSpam, 0, true, text));
    EXPECT_EQ(text, "Thanks");
    EXPECT_TRUE(socket->CategorizeMessage(56, Mc_Personal, 0, false, text));
    ASSERT_TRUE(test::Eventually([&] { return FFake->Count("tcp", Qch_CategorizeReq) == 2; }));
    const int sentBefore = FFake->Count("tcp");
    EXPECT_FALSE(socket->CategorizeMessage(-5, Mc_Personal, 0, true, text));
    EXPECT_EQ(text, kQchNotContactedText);

    TMessageRec submitted;
    InitMessageRec(submitted);
    submitted.CheckSums = {4, 5};
    submitted.BodySum = Digest(1);
    submitted.Fuz1Sum = Digest(2);
    submitted.Fuz2Sum = Digest(3);
    submitted.Counts.StaffCategory = Mc_CommercialSpam;
    submitted.ExtraInfo = "MB=x,P=y";
    EXPECT_TRUE(socket->SubmitMessage(submitted));
    EXPECT_EQ(submitted.MsgNumber, 777);
    EXPECT_EQ(submitted.CheckSums, (TCheckSumArray{4, 5}));

    TMessageRec update;
    update.MsgNumber = 900;
    update.ExtraInfo = "UT=note";
    EXPECT_TRUE(socket->AddUserInfo(update));
    EXPECT_EQ(update.MsgNumber, 900);
    EXPECT_EQ(update.ExtraInfo, "UT=note");

    // No reply is awaited on a categorisation, nor after processing while
    // the stop codes do not ask for probabilities: the caller's are
    // cleared.
    TCategoryProbability probabilities;
    probabilities.SetCategory(Mc_Personal);
    EXPECT_TRUE(socket->SubmitTests(TriteArrayFromText("yn"), "A=\"Pa=y\"", 1, probabilities));
    EXPECT_TRUE(probabilities.IsEmpty());
    probabilities.SetCategory(Mc_Personal);
    EXPECT_TRUE(socket->SubmitTests(TriteArrayFromText("ny"), "B", 0, probabilities));
    EXPECT_TRUE(probabilities.IsEmpty());
    auto codes = std::make_shared<TStopCodesQchUdpMsg>();
    codes->SetBit(TStopCodesQchUdpMsg::kReturnProbOnTestReport, true);
    codes->SetInt(TStopCodesQchUdpMsg::kTransUdpMinOffset, 4);
    SetQchStopCodes(codes);
    EXPECT_TRUE(socket->SubmitTests(TriteArrayFromText("yyy"), "C", 0, probabilities));
    EXPECT_EQ(probabilities.Percentage(Mc_CommercialSpam), 80);
    // The reply's stop codes (bit 172 on, the pacing at its defaults) are in
    // force where the layout carries them.
    EXPECT_EQ(QchStopCodes()->TransUdpMin(), sized ? 11 : 4);

    EXPECT_EQ(socket->SendAddAndMatchMsg({}, Digest(1), Digest(2), Digest(3)), 0);
    EXPECT_EQ(FFake->Count("tcp", Qch_MatchQuery), 0);
    const std::int32_t id = socket->SendAddAndMatchMsg({11, 12}, Digest(1), Digest(2), Digest(3));
    ASSERT_NE(id, 0);
    EXPECT_TRUE(socket->IsAwaitingReply(id));
    std::int32_t number = 0, item = 0;
    std::string extra;
    TMsgSearchRecArray records;
    EXPECT_TRUE(socket->ReceiveAddAndMatchMsg(id, number, item, extra, records));
    EXPECT_FALSE(socket->IsAwaitingReply(id));
    EXPECT_EQ(number, 1234);
    EXPECT_EQ(item, 1234);
    EXPECT_EQ(extra, "HT=1");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(QchMatchOverlap(records[0]), 1.0);

    // What the service received: the fields given, the socket's identity
    // and, for a local account, the MD5 of its unique id as the tag.
    auto submits = Received(*FFake, Qch_SubmitTxtReq);
    ASSERT_EQ(submits.size(), 1u);
    const auto& submit = static_cast<const TQchSubmitTextMsg&>(*submits[0]);
    EXPECT_EQ(submit.Category, Mc_CommercialSpam);
    EXPECT_EQ(submit.Text, "MB=x,P=y");
    EXPECT_EQ(submit.BodySum, Digest(1));
    EXPECT_EQ(submit.Fuz2Sum, Digest(3));
    const TMD5Digest tag = MD5String(FAccount->UniqueId());
    EXPECT_TRUE(std::equal(tag.begin(), tag.end(), submit.ClientTag.begin()));
    auto categorisations = Received(*FFake, Qch_CategorizeReq);
    ASSERT_EQ(categorisations.size(), 2u);
    EXPECT_EQ(categorisations[1]->MsgId, 0);
    auto reports = Received(*FFake, Qch_SubmitTestsReq);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0]->MsgId, 0);
    EXPECT_EQ(reports[1]->MsgId, 0);
    EXPECT_NE(reports[2]->MsgId, 0);
    EXPECT_EQ(TriteArrayToText(static_cast<const TQchSubmitTestsMsg&>(*reports[0]).Trites), "yn");
    EXPECT_EQ(static_cast<const TQchSubmitTestsMsg&>(*reports[0]).Occasion, 1);
    EXPECT_EQ(FFake->Count("tcp"), sentBefore + 6) << FFake->LogText();
    EXPECT_EQ(FFake->Count("bad"), 0);
    EXPECT_EQ(FFake->Count("open"), 1);
    SetQchStopCodes(nullptr);
  }
}

TEST_F(QchClient, AnOldPeersRepliesCarryNoIdAndAreDropped) {
  Start(R"({"peer": "old"})");
  auto socket = Socket();
  socket->ReplyWait = 300;
  EXPECT_FALSE(socket->Open());
  EXPECT_EQ(FFake->Count("tcp", Qch_Client), 1);
  // A handshake that gets no answer counts as a failed connection.
  EXPECT_TRUE(QchConnectBlocked());
}

TEST_F(QchClient, AHandshakeAssignsTheIdentity) {
  Start(R"({"assign": {"user_id": 4242, "key": ")" + test::HexOf("Sekrit-Key-12345") + R"("}})");
  auto socket = Socket();
  ASSERT_TRUE(socket->Open());
  EXPECT_EQ(GetQchIdentity().UserId, 4242);
  EXPECT_EQ(GetQchIdentity().Key, "Sekrit-Key-12345");
  EXPECT_EQ(UserNumber.load(), 4242);
  TQuorIniFile settings(GetSettingsFilePath());
  EXPECT_EQ(settings.ReadInteger("Security", "UserNumber", 0), 4242);
  EXPECT_EQ(settings.ReadString("Security", "Key", ""), "Sekrit-Key-12345");
  // Later requests and reports carry them.
  std::uint32_t address = 0;
  EXPECT_TRUE(socket->GetExternalIp(address));
  QchUdpSend(MakeQchUdpReport(kQchUdpStatDataDone, "x"));
  ASSERT_TRUE(test::Eventually([&] { return FFake->Count("udp") == 1; }));
  EXPECT_EQ(FFake->EventsOf("udp")[0].at("identity"), "ok");
  EXPECT_EQ(FFake->EventsOf("tcp", Qch_GetExternalIp)[0].at("identity"), "ok");
  // A socket made now has them at once.
  EXPECT_EQ(Socket()->UserId, 4242);
}

TEST_F(QchClient, AKeyThatCouldBreakASettingsLineIsIgnored) {
  const std::pair<std::int32_t, std::string> rows[] = {
      {4242, "line\r\nbreak"}, {4242, std::string(16, '\0')}, {4242, "tab\tkey"},
      {4242, "\x7f" "delete"},  {0, "GoodKey"},
  };
  for (const auto& [id, key] : rows) {
    SCOPED_TRACE(test::HexOf(key));
    FScope.reset();
    Start(R"({"assign": {"user_id": )" + std::to_string(id) + R"(, "key": ")" + test::HexOf(key) +
          R"("}})");
    LogRecorder log;
    auto socket = Socket();
    EXPECT_TRUE(socket->Open());
    EXPECT_EQ(GetQchIdentity().UserId, 0);
    EXPECT_EQ(GetQchIdentity().Key, "");
    EXPECT_TRUE(Logged("is ignored"));
  }
}

TEST_F(QchClient, ARedirectMovesTheSocketToTheOtherService) {
  Start(R"({"handshake": [[{"redirect": "127.0.0.2"}]]})");
  QchFakeService other("{}", "127.0.0.2", FFake->TcpPort(), FFake->UdpPort());
  ASSERT_TRUE(other.Ok()) << other.Error();
  auto socket = Socket();
  ASSERT_TRUE(socket->Open());
  EXPECT_EQ(socket->CurrentHost(), "127.0.0.2");
  std::uint32_t address = 0;
  EXPECT_TRUE(socket->GetExternalIp(address));
  EXPECT_EQ(FFake->Count("tcp"), 1);
  EXPECT_EQ(other.Count("tcp", Qch_Client), 1);
  EXPECT_EQ(other.Count("tcp", Qch_GetExternalIp), 1);
  EXPECT_EQ(socket->FallbackTries(), 0);
}

TEST_F(QchClient, AServiceMessageLandsInProcessedIncoming) {
  const std::string mail = "Subject: From the service\r\n\r\nHello user\r\n";
  Start(R"({"email": ")" + test::HexOf(mail) + R"("})");
  auto socket = Socket();
  ASSERT_TRUE(socket->Open());
  TEmailMsgList* queue = Repository().ProcessedIncoming();
  ASSERT_EQ(queue->Count(), 1);
  EXPECT_EQ(queue->Items(0)->GetSubject(), "From the service");
  const auto files = test::EmlFiles(queue->Folder());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(test::ReadFileBytes(queue->Folder() + "/" + files[0]).find("Hello user"),
            std::string::npos);
}

TEST_F(QchClient, RepliesOutOfOrderWaitForTheirRequests) {
  Start(R"({"requests": {"9": [[{"hold": 2}], [{"hold": 2}]]}})");
  auto socket = Socket();
  ASSERT_TRUE(socket->Open());
  TQchMsgRecReqMsg first;
  first.MsgNumber = 1;
  TQchMsgRecReqMsg second;
  second.MsgNumber = 2;
  ASSERT_TRUE(socket->Send(first));
  ASSERT_TRUE(socket->Send(second));
  // The second's reply comes first and is parked for it.
  auto reply = socket->WaitForMsg(first.MsgId);
  ASSERT_TRUE(reply);
  EXPECT_EQ(static_cast<TQchMsgRecResponseMsg&>(*reply).Rec.MsgNumber, 1);
  EXPECT_EQ(socket->PendingCount(), 1u);
  EXPECT_EQ(socket->BufferedBytes(), 0u);
  reply = socket->WaitForMsg(second.MsgId);
  ASSERT_TRUE(reply);
  EXPECT_EQ(static_cast<TQchMsgRecResponseMsg&>(*reply).Rec.MsgNumber, 2);
  EXPECT_EQ(socket->PendingCount(), 0u);
}

// Frames for the hostile services, damaged in one field each.
struct Hostile {
  const char* Name;
  std::string Actions;   // the fake's answer to the first request
  bool Match = false;    // ask a match query instead of a message record
  bool Succeeds = false;
};

std::string Raw(const std::string& bytes) {
  return R"({"raw": ")" + test::HexOf(bytes) + R"("})";
}

std::vector<Hostile> HostileRows() {
  auto put = [](std::string frame, std::size_t offset, std::int32_t value) {
    std::memcpy(frame.data() + offset, &value, 4);
    return frame;
  };
  TQchMsgRecResponseMsg record(1, PackVersion(1, 2, 0, 1));
  record.Status = 1;
  record.Rec.CheckSums = {1, 2};
  std::string recordFrame;
  record.WriteTo(recordFrame);
  const std::size_t sums = recordFrame.size() - 12;
  TQchMatchResponseMsg match(1, PackVersion(1, 2, 0, 1));
  match.Status = 1;
  match.Records.resize(2);
  std::string matchFrame;
  match.WriteTo(matchFrame);
  auto length = [](std::int32_t n) { return std::string(reinterpret_cast<char*>(&n), 4) + "x"; };
  return {
      {"a truncated frame, then the peer closes",
       Raw(recordFrame.substr(0, 10)) + R"(, {"close": true})"},
      {"length 0", Raw(length(0))},
      {"length 4", Raw(length(4))},
      {"length -1", Raw(length(-1))},
      {"length 2^31-1", Raw(length(2147483647))},
      {"a wrong marker", Raw(put(recordFrame, 5, 12345))},
      {"a section size too small", Raw(put(recordFrame, 21, 4))},
      {"a section size past the frame", Raw(put(recordFrame, 26, 100000))},
      {"a negative checksum count", Raw(put(recordFrame, sums, -8))},
      {"a checksum count not a multiple of 4", Raw(put(recordFrame, sums, 7))},
      {"a checksum count past the frame", Raw(put(recordFrame, sums, 400))},
      {"a negative record count", Raw(put(matchFrame, 34, -44)), true},
      {"a record count not a multiple of 44", Raw(put(matchFrame, 34, 50)), true},
      {"a record count past the frame", Raw(put(matchFrame, 34, 440)), true},
      {"one byte per 100 ms", R"({"slow": 100}, {"reply": {}})"},
      // More than the wait's time to read: the deadline holds while whole
      // frames keep coming.
      {"a flood of replies for other ids", R"({"flood": 20000})"},
      {"silence", R"({"silent": true})"},
      {"a reply that does not decode, then the reply", Raw(put(recordFrame, 21, 4)) + R"(, {"reply": {}})",
       false, true},
      {"frames of unknown types, then the reply", R"({"unknown": 50}, {"reply": {}})", false, true},
  };
}

TEST_F(QchClient, HostileServicesFailRecoverablyWithinTheirBounds) {
  for (const Hostile& row : HostileRows()) {
    SCOPED_TRACE(row.Name);
    FScope.reset();
    const char* type = row.Match ? "7" : "9";
    Start(std::string(R"({"requests": {")") + type + R"(": [[)" + row.Actions + "]]}}");
    LogRecorder log;
    auto socket = Socket();
    socket->ReplyWait = 300;
    // A wait that ignored ReplyWait would last a minute, far past the bound
    // below, whatever the load on the machine.
    socket->IdleLimit = 60000;
    ASSERT_TRUE(socket->Open());
    auto ask = [&] {
      if (row.Match) {
        const std::int32_t id = socket->SendAddAndMatchMsg({1}, {}, {}, {});
        std::int32_t number = 0, item = 0;
        std::string extra;
        TMsgSearchRecArray records;
        return socket->ReceiveAddAndMatchMsg(id, number, item, extra, records);
      }
      TMessageRec rec;
      return socket->GetMsgInfo(7, rec);
    };
    const std::int64_t start = SteadyMilliseconds();
    EXPECT_EQ(ask(), row.Succeeds);
    EXPECT_LT(test::ElapsedSince(start), 20000);
    EXPECT_LE(socket->PendingCount(), kMaxQchPending);
    if (!row.Succeeds) {
      EXPECT_FALSE(LogRecorder::Records().empty());
    }
    // The next request works (the fake answers it normally, after what is
    // left of a flood).
    socket->ReplyWait = 10000;
    socket->IdleLimit = 10000;
    EXPECT_TRUE(ask());
  }
}

TEST_F(QchClient, HandshakesThatGoNowhereEndTheOpen) {
  struct Row {
    const char* Name;
    std::string Script;
    int Handshakes;
  };
  std::string redirects;
  for (int i = 0; i < 6; ++i) redirects += std::string(i ? "," : "") + R"([{"redirect": "127.0.0.1"}])";
  const Row rows[] = {
      {"a silent handshake", R"({"handshake": [[{"silent": true}]]})", 1},
      {"a redirect to itself, for ever", R"({"handshake": [)" + redirects + "]}", 6},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    FScope.reset();
    Start(row.Script);
    LogRecorder log;
    auto socket = Socket();
    socket->ReplyWait = 500;
    socket->IdleLimit = 60000;
    const std::int64_t start = SteadyMilliseconds();
    EXPECT_FALSE(socket->Open());
    EXPECT_LT(test::ElapsedSince(start), 20000);
    EXPECT_EQ(FFake->Count("tcp", Qch_Client), row.Handshakes);
    EXPECT_FALSE(LogRecorder::Records().empty());
    // Backed off: no connection for 60 s.
    EXPECT_FALSE(socket->Open());
    EXPECT_EQ(FFake->Count("open"), row.Handshakes);
    AgeQchBackOffForTests(61000);
    EXPECT_TRUE(socket->Open());
    std::uint32_t address = 0;
    EXPECT_TRUE(socket->GetExternalIp(address));
  }
}

TEST_F(QchClient, ARedirectToAHostNobodyServesFallsBackFiveTimes) {
  // 127.0.0.3 answers no connection on the service's port.
  std::string redirects;
  for (int i = 0; i < 20; ++i) redirects += std::string(i ? "," : "") + R"([{"redirect": "127.0.0.3"}])";
  Start(R"({"handshake": [)" + redirects + "]}");
  LogRecorder log;
  auto socket = Socket();
  EXPECT_FALSE(socket->Open());
  EXPECT_EQ(socket->FallbackTries(), 5);
  EXPECT_EQ(FFake->Count("tcp", Qch_Client), 6);
  EXPECT_EQ(socket->CurrentHost(), FFake->Host());
  EXPECT_TRUE(Logged("redirects"));
  // Within 60 s nothing connects.
  EXPECT_FALSE(socket->Open());
  EXPECT_EQ(FFake->Count("open"), 6);
  AgeQchBackOffForTests(61000);
  // The sixth fallback is one too many: the socket stays on the service
  // host, backed off.
  EXPECT_FALSE(socket->Open());
  EXPECT_EQ(socket->FallbackTries(), 6);
  EXPECT_EQ(socket->CurrentHost(), FFake->Host());
  EXPECT_TRUE(QchConnectBlocked());
  EXPECT_TRUE(Logged("no more fallbacks"));
}

TEST_F(QchClient, UnreachableServicesFailAtOnceAndBackOff) {
  test::HangingTcpListener blackHole;
  struct Row {
    const char* Name;
    std::string Host;
    int Port;
    int LeastMs, MostMs;
  };
  const Row rows[] = {
      // The attempt counts below tell one connect budget from two; the upper
      // bounds only catch a hang, loose enough for a loaded machine.
      {"a host no hosts line names", kQchServiceHost, kQchServicePort, 0, 5000},
      {"a refused port", "127.0.0.1", test::FreeLocalPort(), 0, 5000},
      {"a black-holed connect: one connect budget", "127.0.0.1", blackHole.Port(), 1500, 20000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    ScopedQchServiceForTests scope(row.Host, row.Port, row.Port);
    LogRecorder log;
    auto socket = Socket();
    std::int64_t start = SteadyMilliseconds();
    EXPECT_FALSE(socket->Open());
    const std::int64_t took = test::ElapsedSince(start);
    EXPECT_GE(took, row.LeastMs);
    EXPECT_LT(took, row.MostMs);
    EXPECT_EQ(socket->LastConnectAttempts(), row.Host == kQchServiceHost ? 0 : 1);
    EXPECT_EQ(LogRecorder::Records().size(), 1u);
    // Every later request of any socket fails at once, without a connect.
    auto other = Socket();
    start = SteadyMilliseconds();
    std::uint32_t address = 0;
    EXPECT_FALSE(other->GetExternalIp(address));
    EXPECT_EQ(other->SendAddAndMatchMsg({1}, {}, {}, {}), 0);
    EXPECT_LT(test::ElapsedSince(start), 5000);
    EXPECT_EQ(other->LastConnectAttempts(), 0);
  }
}

TEST_F(QchClient, AWaitEndsAtTheIdleLimitAndAtTheOwnersStopFlag) {
  Start(R"({"requests": {"9": [[{"silent": true}], [{"silent": true}]]}})");
  auto socket = Socket();
  socket->ReplyWait = 20000;
  socket->IdleLimit = 300;
  ASSERT_TRUE(socket->Open());
  TMessageRec rec;
  std::int64_t start = SteadyMilliseconds();
  EXPECT_FALSE(socket->GetMsgInfo(1, rec));
  EXPECT_GE(test::ElapsedSince(start), 250);
  EXPECT_LT(test::ElapsedSince(start), 5000);
  // The owner asks to stop while the socket waits.
  socket->IdleLimit = 20000;
  int polls = 0;
  socket->SetTerminatedFlag([&] { return ++polls > 200; });
  start = SteadyMilliseconds();
  EXPECT_FALSE(socket->GetMsgInfo(2, rec));
  EXPECT_LT(test::ElapsedSince(start), 5000);
}

TEST_F(QchClient, ANewSocketWaitsForAnIdOnlyWhileAHandshakeIsUnderWay) {
  SetQchIdentity(0, "");
  std::int64_t start = SteadyMilliseconds();
  EXPECT_EQ(TQCHClientSocket("none under way").UserId, 0);
  EXPECT_LT(test::ElapsedSince(start), 1500);  // a wait for an id takes 2 s
  {
    TQchHandshakeScope handshake;
    std::promise<std::int32_t> made;
    std::thread maker([&] { made.set_value(TQCHClientSocket("waits").UserId); });
    SetQchIdentity(99, "key");
    EXPECT_EQ(made.get_future().get(), 99);
    maker.join();
    SetQchIdentity(0, "");
    start = SteadyMilliseconds();
    EXPECT_EQ(WaitForQchIdentity(3, 100).UserId, 0);
    EXPECT_GE(test::ElapsedSince(start), 250);
  }
}

TEST_F(QchClient, OpenThenCloseGetsTheProgramItsId) {
  Start(R"({"assign": {"user_id": 7, "key": ")" + test::HexOf("K") + R"("}})");
  QCHOpenThenClose();
  EXPECT_EQ(GetQchIdentity().UserId, 7);
  ASSERT_TRUE(test::Eventually([&] { return FFake->Count("close") == 1; }));
}

}  // namespace
}  // namespace halvorn
