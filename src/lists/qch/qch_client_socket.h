// TQCHClientSocket: the program's TCP client of the central service.
//
// It opens the connection with a handshake that may redirect it to another
// host, assign the program its user id and key, or hand the user a message;
// sends the requests of qch_messages.h; and waits for their replies, matching
// each reply to its request by message id and parking replies that arrive
// for other requests (at most kMaxQchPending, none older than 60 s once the
// next request goes out).
//
// Connecting: the host is the service host (qch_service.h) unless a redirect
// changed it; names are resolved here (the service host from /etc/hosts
// only, a redirect's name within 1000 ms), so the base socket only ever gets
// a dotted address, and one attempt of at most 2000 ms is made. A failed
// connection, or a handshake that gets no reply, blocks every socket's Open
// for 60 s. A redirect whose host cannot be reached falls back to the service
// host (at most 5 times in a socket's life); at most 5 redirects are
// followed in one Open. Either limit ends the Open on the service host with
// the back-off started.
//
// Waiting: every wait is bounded by ReplyWait (from the request's send) and
// IdleLimit (from its id, a tick count), checked at every turn, and ends when
// the owner's terminated or stop flag is set. A frame of an unknown type is
// skipped, a reply that does not decode is logged and dropped, and an
// impossible frame length closes the connection; the wait answers none only
// when its own reply cannot come.
//
// Failures answer false, none or 0 with one log line each (service "QCH");
// nothing raises out of the socket except EThreadAbandoned. A socket serves
// one thread at a time; the state it shares with other sockets (back-off,
// ids, identity, stop codes) is safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "foundation/net/quor_client_socket.h"
#include "foundation/text/trite_array.h"
#include "lists/qch/qch_messages.h"
#include "lists/qch/qch_records.h"
#include "message/category_probability.h"

namespace halvorn {

// The most pending entries (requests awaiting replies and parked replies) a
// socket keeps; the oldest goes first.
inline constexpr std::size_t kMaxQchPending = 1000;
// Pending entries older than this go at the next Send.
inline constexpr std::int64_t kQchPendingMaxAgeMs = 60000;

// The reply text of a categorisation of a message the service never saw;
// kept byte for byte, its spelling included.
inline constexpr const char* kQchNotContactedText =
    "Quorvantis server was not contacted durring the processing of this email, and thus knows "
    "nothing about it.";

class TQCHClientSocket : public TQuorClientSocket {
 public:
  // A socket for the service host, not connected. Takes the program's user
  // id and key; while there is no id and another socket's handshake is under
  // way, it first waits for that (at most 10 x 200 ms).
  explicit TQCHClientSocket(std::string name);
  // Drops the pending entries and closes.
  ~TQCHClientSocket() override;

  // Called for every message taken from the receive buffer (unset unless a
  // user sets it).
  std::function<void(TQCHClientSocket*)> OnMessage;
  // Milliseconds a reply may take after its request was sent.
  int ReplyWait = 1000;
  // Milliseconds a wait may last, counted from the request's message id.
  int IdleLimit = 4000;
  // The local user the socket talks for ("SingleUser"): names the account
  // whose UniqueId's MD5 fills the requests' ClientTag, and whose repository
  // receives a message the service hands over in a handshake.
  std::string UserName;
  // The program's user id and key as this socket sends them (taken from the
  // identity store again while the id is 0).
  std::int32_t UserId = 0;
  std::string Key;
  // The socket's own stop flag, handed to the base as the owner's terminated
  // flag unless the owner points the base at its own (SetTerminatedFlag).
  // Any thread may set it to end a wait.
  std::atomic<bool> Terminated{false};

  // How often the socket fell back to the service host.
  int FallbackTries() const { return FFallbackTries; }
  // The host the socket connects to: the service host or a redirect's.
  const std::string& CurrentHost() const { return FHostName; }
  // The text of the last error the base socket reported and nobody took yet.
  const std::string& LastError() const { return FLastError; }
  std::size_t PendingCount() const { return FPending.size(); }
  std::size_t BufferedBytes() const { return FRecv.Size(); }

  // Connects and shakes hands; true at once when already connected.
  bool Open();
  // Clears LastError, empties the receive buffer and closes the connection,
  // ignoring errors. Answers true.
  bool Close() override;

  // Writes one request, opening the connection first when needed (a
  // handshake message is only ever sent on an open one). A request with a
  // non-zero MsgId becomes a pending entry. False when the connection cannot
  // be opened or the write failed (the connection is then closed).
  bool Send(TQchMsg& request);
  // The reply to the request with that id, or none (see the top of this
  // file). `deadlineMs` is a SteadyMilliseconds() reading; 0 means the
  // request's send time (or now) + ReplyWait. The caller owns the reply.
  std::unique_ptr<TQchMsg> WaitForMsg(std::int32_t id, std::int64_t deadlineMs = 0);
  // The index of the pending entry of the id; -1 when none.
  int FindPending(std::int32_t id) const;
  bool IsAwaitingReply(std::int32_t id) const { return FindPending(id) >= 0; }

  // Requests. Each answers the reply's Status when a reply of the expected
  // type came, false otherwise.

  // Sends a match query without waiting: its message id, or 0 when the
  // checksum array is empty (nothing is sent) or the send failed.
  std::int32_t SendAddAndMatchMsg(const TCheckSumArray& checkSums, const TDigest16& bodySum,
                                  const TDigest16& fuz1Sum, const TDigest16& fuz2Sum);
  // Waits for the match response of that query: the service's number of the
  // message, the item the extra information describes, the extra
  // information and the records (all cleared first).
  bool ReceiveAddAndMatchMsg(std::int32_t id, std::int32_t& msgNumber, std::int32_t& textItemId,
                             std::string& extraInfo, TMsgSearchRecArray& records);
  // The service's record of a message (InitMessageRec first).
  bool GetMsgInfo(std::int32_t msgNumber, TMessageRec& record);
  // The user's category for a message the service knows. A negative number
  // answers false at once with kQchNotContactedText; without wantReply
  // nothing waits and the answer is whether the request was written.
  bool CategorizeMessage(std::int32_t msgNumber, std::uint8_t category, std::int32_t spare,
                         bool wantReply, std::string& replyText);
  // Submits the record's checksums, digests, category (Counts.StaffCategory)
  // and text (ExtraInfo); the reply's record replaces it.
  bool SubmitMessage(TMessageRec& record);
  // Sends the record's MsgNumber and ExtraInfo (the user's notes and links);
  // the reply's record replaces it.
  bool AddUserInfo(TMessageRec& record);
  // This computer's address as the service sees it (first byte lowest; 0
  // first). A new request every time.
  bool GetExternalIp(std::uint32_t& address);
  // A test report: the results, the result text and the occasion (0 after
  // processing, 1 personal, 2 spam). A reply is awaited only after
  // processing and when the stop codes ask for probabilities (bit 172); the
  // caller's probabilities are cleared, and receive the reply's.
  bool SubmitTests(const TTriteArray& trites, const std::string& statData, std::uint8_t occasion,
                   TCategoryProbability& probabilities);

 private:
  struct TPending {
    std::int32_t Id = 0;
    std::int64_t Time = 0;  // SteadyMilliseconds of the send or the arrival
    std::unique_ptr<TQchMsg> Msg;
  };

  bool OpenAndShake();
  bool ConnectCurrentHost();
  void UseServiceHost();
  void UseRedirectHost(const std::string& host);
  void TakeAssignment(const TQchAssignUserIdMsg& reply);
  void DeliverEmail(const std::string& text);
  bool ReadIntoBuffer();
  void AddPending(std::int32_t id, std::unique_ptr<TQchMsg> msg);
  void RemovePending(std::int32_t id);
  void PrunePending();
  // One log line naming the socket.
  void Fail(const std::string& text, std::uint8_t detail = 5) const;
  // A reply of the type, or none (logged) for a missing or other one.
  // The request's answer, or `failed` (logged, naming `what`) when it
  // raises anything but EThreadAbandoned.
  template <class R, class F>
  R Guarded(const char* what, R failed, F request);
  template <class T>
  std::unique_ptr<T> Expect(std::unique_ptr<TQchMsg> reply, TQCHMsgType type,
                            const char* request) const;

  TQchBuffer FRecv;
  std::deque<TPending> FPending;
  std::string FLastError;
  std::string FHostName;
  bool FOnServiceHost = true;
  int FFallbackTries = 0;
  bool FDestroying = false;
};

// Opens a socket named "QCHOpenThenClose" (a handshake, which assigns the
// program its id when it has none) and closes it again. Never raises except
// EThreadAbandoned.
void QCHOpenThenClose();

}  // namespace halvorn
