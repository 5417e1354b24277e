#include "lists/qch/qch_client_socket.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "foundation/crypto/md5.h"
#include "foundation/log/log_sink.h"
#include "foundation/net/host_names.h"
#include "foundation/text/code_page_1252.h"
#include "foundation/threads/abandonment.h"
#include "foundation/time/clock.h"
#include "lists/qch/qch_identity.h"
#include "lists/qch/qch_service.h"
#include "lists/qch/qch_udp.h"
#include "message/accounts.h"
#include "message/email_msg.h"
#include "message/email_msg_list.h"
#include "message/message_repository.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "QCH";
constexpr int kConnectTimeOutMs = 2000;
constexpr int kRedirectResolveMs = 1000;
constexpr int kMaxFallbacks = 5;
constexpr int kMaxRedirects = 5;

std::string TypeText(const TQchMsg& msg) {
  return std::to_string(static_cast<int>(msg.MsgType));
}

}  // namespace

// ---------------------------------------------------------------------------
// Life

TQCHClientSocket::TQCHClientSocket(std::string name) : TQuorClientSocket(std::move(name)) {
  SetBinaryMode(true);
  SetOnError([this](TQuorAbstractClientSocket*, const std::string& text) { FLastError = text; });
  SetOnDisconnect({});
  SetTerminatedFlag([this] { return Terminated.load(); });
  TimeOut = kConnectTimeOutMs;
  ConnectRetries = 0;
  UseServiceHost();
  // An id being assigned by another socket's handshake is worth a short
  // wait; without one under way there is nothing to wait for.
  TQchIdentity identity = GetQchIdentity();
  if (identity.UserId == 0) identity = WaitForQchIdentity();
  UserId = identity.UserId;
  Key = identity.Key;
}

TQCHClientSocket::~TQCHClientSocket() {
  FDestroying = true;
  FPending.clear();
  FLastError.clear();
  try {
    Close();
  } catch (const std::exception& e) {
    Log(kLogService, Name() + ": closing failed: " + e.what(), 3, true);
  }
}

void TQCHClientSocket::Fail(const std::string& text, std::uint8_t detail) const {
  Log(kLogService, Name() + ": " + text, detail, true);
}

// ---------------------------------------------------------------------------
// Connection

void TQCHClientSocket::UseServiceHost() {
  FHostName = QchServiceHost();
  FOnServiceHost = true;
}

void TQCHClientSocket::UseRedirectHost(const std::string& host) {
  FHostName = host;
  FOnServiceHost = LowerCase1252(host) == LowerCase1252(QchServiceHost());
}

bool TQCHClientSocket::Close() {
  FLastError.clear();
  FRecv.Clear();
  CatchAllButAbandonment(
      [&]() {
        TQuorClientSocket::Close();
      },
      [&](const std::string&) {
        // Closing a dead connection has nothing left to report.
      });
  FLastError.clear();
  return true;
}

bool TQCHClientSocket::ConnectCurrentHost() {
  const std::uint32_t address =
      ResolveQchHost(FHostName, FOnServiceHost ? 0 : kRedirectResolveMs);
  if (address == 0) {
    if (FOnServiceHost)
      ReportQchHostNotFound();
    else
      Fail("the host " + FHostName + " a redirect named is not found");
    return false;
  }
  SetHost(IPToStr(address));
  SetPort(QchTcpPort());
  TimeOut = kConnectTimeOutMs;
  ConnectRetries = 0;
  FLastError.clear();
  FRecv.Clear();
  if (Connect()) return true;
  // A stop request reports nothing and is no failure of the service.
  if (IsTerminated() || IsStopRequested()) return false;
  Fail("cannot connect to " + FHostName + " (" + GetHost() + ":" + std::to_string(GetPort()) +
       "): " + FLastError);
  FLastError.clear();
  return false;
}

bool TQCHClientSocket::Open() {
  return CatchAllButAbandonment(
      [&]() -> bool {
        if (Connected()) return true;
        return OpenAndShake();
      },
      [&](const std::string& error) -> bool {
        Fail("opening failed: " + error);
        Close();
        return false;
      });
}

bool TQCHClientSocket::OpenAndShake() {
  int redirects = 0;
  for (;;) {
    if (QchConnectBlocked()) {
      Close();
      return false;
    }
    if (!ConnectCurrentHost()) {
      Close();
      if (IsTerminated() || IsStopRequested()) return false;
      if (!FOnServiceHost) {
        ++FFallbackTries;
        UseServiceHost();
        if (FFallbackTries > kMaxFallbacks) {
          Fail("no more fallbacks to the service host after " + std::to_string(kMaxFallbacks));
          RecordQchConnectFailure();
          return false;
        }
        continue;
      }
      RecordQchConnectFailure();
      return false;
    }

    TQchClientMsg hello;
    std::unique_ptr<TQchMsg> reply;
    {
      // A handshake without an id is one that may assign it: sockets made
      // meanwhile wait for it.
      std::optional<TQchHandshakeScope> assigning;
      if (UserId == 0 && GetQchIdentity().UserId == 0) assigning.emplace();
      if (!Send(hello)) {
        Close();
        return false;
      }
      reply = WaitForMsg(hello.MsgId);
    }
    if (!reply) {
      if (IsTerminated() || IsStopRequested()) {
        Close();
        return false;
      }
      Fail("no answer to the handshake from " + FHostName);
      Close();
      RecordQchConnectFailure();
      return false;
    }
    switch (reply->MsgType) {
      case Qch_Redirect: {
        const std::string host = static_cast<TQchRedirectMsg&>(*reply).Host;
        Close();
        if (++redirects > kMaxRedirects) {
          Fail("more than " + std::to_string(kMaxRedirects) + " redirects, the last to " + host);
          UseServiceHost();
          RecordQchConnectFailure();
          return false;
        }
        UseRedirectHost(host);
        continue;
      }
      case Qch_AssignUserId:
        TakeAssignment(static_cast<TQchAssignUserIdMsg&>(*reply));
        break;
      case Qch_EmailUser:
        DeliverEmail(static_cast<TQchEmailUserMsg&>(*reply).Text);
        break;
      default:
        break;
    }
    return true;
  }
}

void TQCHClientSocket::TakeAssignment(const TQchAssignUserIdMsg& reply) {
  const std::string key = QchKeyText(reply.Key);
  if (reply.UserId == 0 || !IsValidQchKey(key)) {
    Fail("an assigned user id " + std::to_string(reply.UserId) +
         " with a key that is empty or not printable is ignored");
    return;
  }
  UserId = reply.UserId;
  Key = key;
  StoreAssignedQchIdentity(UserId, Key);
}

void TQCHClientSocket::DeliverEmail(const std::string& text) {
  CatchAllButAbandonment(
      [&]() {
        if (!GlobalLocalAccounts().FindByUserId(UserName)) return;
        TMessageRepository* repository = GetMessageRepository(UserName);
        TEmailMsgList* queue = repository ? repository->ProcessedIncoming() : nullptr;
        if (queue == nullptr) return;
        TEmailMsgRef msg = TEmailMsg::Create(queue);
        msg->SetText(text);
        if (!msg->SaveToFile()) Fail("the message the service sent could not be stored");
      },
      [&](const std::string& error) {
        Fail("the message the service sent could not be stored: " + error);
      });
}

// ---------------------------------------------------------------------------
// Pending entries

int TQCHClientSocket::FindPending(std::int32_t id) const {
  for (std::size_t i = 0; i < FPending.size(); ++i)
    if (FPending[i].Id == id) return static_cast<int>(i);
  return -1;
}

void TQCHClientSocket::AddPending(std::int32_t id, std::unique_ptr<TQchMsg> msg) {
  while (FPending.size() >= kMaxQchPending) FPending.pop_front();
  FPending.push_back({id, SteadyMilliseconds(), std::move(msg)});
}

void TQCHClientSocket::RemovePending(std::int32_t id) {
  const int index = FindPending(id);
  if (index >= 0) FPending.erase(FPending.begin() + index);
}

void TQCHClientSocket::PrunePending() {
  const std::int64_t oldest = SteadyMilliseconds() - kQchPendingMaxAgeMs;
  std::erase_if(FPending, [oldest](const TPending& entry) { return entry.Time < oldest; });
}

// ---------------------------------------------------------------------------
// Sending and waiting

bool TQCHClientSocket::Send(TQchMsg& request) {
  return CatchAllButAbandonment(
      [&]() -> bool {
        PrunePending();
        if (request.MsgId != 0) AddPending(request.MsgId, nullptr);
        FLastError.clear();
        if (auto* client = dynamic_cast<TQchClientMsg*>(&request)) {
          if (UserId == 0) {
            const TQchIdentity identity = GetQchIdentity();
            UserId = identity.UserId;
            Key = identity.Key;
          }
          client->UserId = UserId;
          client->Key = Key;
          if (TLocalAccountRef account = GlobalLocalAccounts().FindByUserId(UserName)) {
            const TMD5Digest tag = MD5String(account->UniqueId());
            std::copy(tag.begin(), tag.end(), client->ClientTag.begin());
          }
        }
        if (!Connected()) {
          const bool opened = request.MsgType != Qch_Client && Open();
          if (!opened) {
            RemovePending(request.MsgId);
            return false;
          }
        }
        std::string frame;
        request.WriteTo(frame);
        bool written = WriteStream(frame, {});
        if (!FLastError.empty()) {
          Fail("writing a request of type " + TypeText(request) + " failed: " + FLastError);
          FLastError.clear();
          written = false;
        }
        if (!written) {
          RemovePending(request.MsgId);
          Close();
        }
        return written;
      },
      [&](const std::string& error) -> bool {
        Fail("sending failed: " + error);
        RemovePending(request.MsgId);
        Close();
        return false;
      });
}

bool TQCHClientSocket::ReadIntoBuffer() {
  std::string chunk;
  const bool got = ReadAvailable(chunk);
  FRecv.Append(chunk);
  return got;
}

std::unique_ptr<TQchMsg> TQCHClientSocket::WaitForMsg(std::int32_t id, std::int64_t deadlineMs) {
  return CatchAllButAbandonment(
      [&]() -> std::unique_ptr<TQchMsg> {
        if (id == 0) return nullptr;
        const int index = FindPending(id);
        if (deadlineMs == 0)
          deadlineMs = (index >= 0 ? FPending[index].Time : SteadyMilliseconds()) + ReplyWait;
        if (index >= 0 && FPending[index].Msg) {
          std::unique_ptr<TQchMsg> parked = std::move(FPending[index].Msg);
          FPending.erase(FPending.begin() + index);
          return parked;
        }
        ReadIntoBuffer();
        ReadIntoBuffer();
        for (;;) {
          if (IsTerminated() || IsStopRequested()) return nullptr;
          const bool late = SteadyMilliseconds() > deadlineMs;
          if (late || TicksSince(id) > IdleLimit) {
            Fail("no reply to request " + std::to_string(id) + " within " +
                     (late ? std::to_string(ReplyWait) + " ms"
                           : "the idle limit of " + std::to_string(IdleLimit) + " ms"),
                 3);
            // Half a frame left behind would be read as the start of the next
            // reply: a peer that slow is dropped.
            if (!FRecv.Empty() && QchFrameState(FRecv.View()) == TQchFrameState::Incomplete) Close();
            return nullptr;
          }
          if (!FLastError.empty()) {
            Fail("reading failed: " + FLastError);
            FLastError.clear();
            return nullptr;
          }
          const TQchFrameState state = QchFrameState(FRecv.View());
          if (state == TQchFrameState::Invalid) {
            Fail("a frame length that cannot be (" + std::to_string(FRecv.Size()) +
                 " bytes buffered); the connection is closed");
            Close();
            return nullptr;
          }
          if (state == TQchFrameState::Incomplete) {
            if (!ReadIntoBuffer() && !Connected()) {
              Fail("the connection closed while a reply was awaited", 3);
              Close();
              return nullptr;
            }
            continue;
          }
          const std::size_t before = FRecv.Size();
          std::unique_ptr<TQchMsg> msg = CreateQchMsgFromStream(FRecv);
          if (!msg) {
            // An unknown type was skipped; anything else is out of step.
            if (FRecv.Size() == before) {
              Close();
              return nullptr;
            }
            continue;
          }
          if (!msg->Decoded()) {
            Fail("a reply of type " + TypeText(*msg) + " that does not decode is dropped", 3);
            continue;
          }
          if (OnMessage) OnMessage(this);
          if (msg->MsgId == id) {
            RemovePending(id);
            return msg;
          }
          // An old peer's replies carry no id: nothing can be matched to them.
          if (msg->MsgId == 0) continue;
          const int parked = FindPending(msg->MsgId);
          if (parked >= 0) {
            FPending[parked].Msg = std::move(msg);
            FPending[parked].Time = SteadyMilliseconds();
          } else {
            const std::int32_t otherId = msg->MsgId;
            AddPending(otherId, std::move(msg));
          }
        }
      },
      [&](const std::string& error) -> std::unique_ptr<TQchMsg> {
        Fail("waiting failed: " + error);
        return nullptr;
      });
}

template <class T>
std::unique_ptr<T> TQCHClientSocket::Expect(std::unique_ptr<TQchMsg> reply, TQCHMsgType type,
                                            const char* request) const {
  if (!reply) return nullptr;
  if (reply->MsgType != type) {
    Fail(std::string("a reply of type ") + TypeText(*reply) + " to " + request);
    return nullptr;
  }
  return std::unique_ptr<T>(static_cast<T*>(reply.release()));
}

template <class R, class F>
R TQCHClientSocket::Guarded(const char* what, R failed, F request) {
  return CatchAllButAbandonment(
      [&]() -> R {
        return request();
      },
      [&](const std::string& error) -> R {
        Fail(std::string(what) + " failed: " + error);
        return failed;
      });
}

// ---------------------------------------------------------------------------
// Requests

std::int32_t TQCHClientSocket::SendAddAndMatchMsg(const TCheckSumArray& checkSums,
                                                  const TDigest16& bodySum,
                                                  const TDigest16& fuz1Sum,
                                                  const TDigest16& fuz2Sum) {
  if (checkSums.empty()) return 0;
  return Guarded("the match query", 0, [&] {
    TQchMatchQueryMsg query;
    query.CheckSums = checkSums;
    query.BodySum = bodySum;
    query.Fuz1Sum = fuz1Sum;
    query.Fuz2Sum = fuz2Sum;
    return Send(query) ? query.MsgId : 0;
  });
}

bool TQCHClientSocket::ReceiveAddAndMatchMsg(std::int32_t id, std::int32_t& msgNumber,
                                             std::int32_t& textItemId, std::string& extraInfo,
                                             TMsgSearchRecArray& records) {
  msgNumber = 0;
  textItemId = 0;
  extraInfo.clear();
  records.clear();
  return Guarded("the match response", false, [&] {
    auto reply = Expect<TQchMatchResponseMsg>(WaitForMsg(id), Qch_MatchResponse, "a match query");
    if (!reply) return false;
    msgNumber = reply->MsgNumber;
    textItemId = reply->TextItemId;
    extraInfo = reply->ExtraInfo;
    records = reply->Records;
    return reply->Status != 0;
  });
}

bool TQCHClientSocket::GetMsgInfo(std::int32_t msgNumber, TMessageRec& record) {
  InitMessageRec(record);
  return Guarded("the message-record request", false, [&] {
    TQchMsgRecReqMsg request;
    request.MsgNumber = msgNumber;
    if (!Send(request)) return false;
    auto reply = Expect<TQchMsgRecResponseMsg>(WaitForMsg(request.MsgId), Qch_MsgRecResponse,
                                               "a message-record request");
    if (!reply) return false;
    record = reply->Rec;
    return reply->Status != 0;
  });
}

bool TQCHClientSocket::CategorizeMessage(std::int32_t msgNumber, std::uint8_t category,
                                         std::int32_t spare, bool wantReply,
                                         std::string& replyText) {
  if (msgNumber < 0) {
    replyText = kQchNotContactedText;
    return false;
  }
  replyText.clear();
  return Guarded("the categorisation", false, [&] {
    TQchCategorizeReqMsg request;
    request.MsgNumber = msgNumber;
    request.Category = category;
    request.Spare = spare;
    if (!wantReply) request.MsgId = 0;
    if (!Send(request)) return false;
    if (!wantReply) return true;
    auto reply = Expect<TQchCategorizeResponseMsg>(WaitForMsg(request.MsgId),
                                                   Qch_CategorizeResponse, "a categorisation");
    if (!reply) return false;
    replyText = reply->Text;
    return reply->Status != 0;
  });
}

bool TQCHClientSocket::SubmitMessage(TMessageRec& record) {
  return Guarded("the submission", false, [&] {
    record.MsgNumber = 0;
    record.FirstSeen = Now();
    record.LastSeen = record.FirstSeen;
    record.TimesEncountered = 0;
    TQchSubmitTextMsg request;
    request.CheckSums = record.CheckSums;
    request.BodySum = record.BodySum;
    request.Fuz1Sum = record.Fuz1Sum;
    request.Fuz2Sum = record.Fuz2Sum;
    request.Category = record.Counts.StaffCategory;
    request.Text = record.ExtraInfo;
    if (!Send(request)) return false;
    auto reply = Expect<TQchMsgRecResponseMsg>(WaitForMsg(request.MsgId), Qch_MsgRecResponse,
                                               "a submission");
    if (!reply) return false;
    record = reply->Rec;
    return reply->Status != 0;
  });
}

bool TQCHClientSocket::AddUserInfo(TMessageRec& record) {
  return Guarded("the user update", false, [&] {
    record.FirstSeen = Now();
    record.LastSeen = record.FirstSeen;
    record.TimesEncountered = 0;
    TQchUserUpdateMsg request;
    request.MsgNumber = record.MsgNumber;
    request.ExtraInfo = record.ExtraInfo;
    if (!Send(request)) return false;
    auto reply = Expect<TQchMsgRecResponseMsg>(WaitForMsg(request.MsgId), Qch_MsgRecResponse,
                                               "a user update");
    if (!reply) return false;
    record = reply->Rec;
    return reply->Status != 0;
  });
}

bool TQCHClientSocket::GetExternalIp(std::uint32_t& address) {
  address = 0;
  return Guarded("the external-address request", false, [&] {
    TQchGetExternalIpMsg request;
    if (!Send(request)) return false;
    auto reply = Expect<TQchGetExternalIpResponseMsg>(
        WaitForMsg(request.MsgId), Qch_GetExternalIpResponse, "an external-address request");
    if (!reply) return false;
    address = static_cast<std::uint32_t>(reply->Address);
    return reply->Status != 0;
  });
}

bool TQCHClientSocket::SubmitTests(const TTriteArray& trites, const std::string& statData,
                                   std::uint8_t occasion, TCategoryProbability& probabilities) {
  return Guarded("the test report", false, [&] {
    TQchSubmitTestsMsg request;
    request.Trites = trites;
    request.StatData = statData;
    request.Probabilities.LoadFromText(probabilities.SaveToText());
    request.Occasion = occasion;
    if (occasion != 0 ||
        !QchStopCodes()->GetBit(TStopCodesQchUdpMsg::kReturnProbOnTestReport))
      request.MsgId = 0;
    probabilities.Clear();
    if (!Send(request)) return false;
    if (request.MsgId == 0) return true;
    auto reply = Expect<TQchReturnProbResponseMsg>(WaitForMsg(request.MsgId),
                                                   Qch_ReturnProbResponse, "a test report");
    if (!reply) return false;
    probabilities.LoadFromText(reply->Probabilities.SaveToText());
    return reply->Status != 0;
  });
}

void QCHOpenThenClose() {
  CatchAllButAbandonment(
      [&]() {
        TQCHClientSocket socket("QCHOpenThenClose");
        if (socket.Open()) socket.Close();
      },
      [&](const std::string& error) {
        Log(kLogService, "QCHOpenThenClose failed: " + error, 5, true);
      });
}

}  // namespace halvorn
