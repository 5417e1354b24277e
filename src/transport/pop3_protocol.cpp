#include "transport/pop3_protocol.h"

#include <algorithm>
#include <exception>

#include "foundation/net/connection_checks.h"
#include "foundation/threads/abandonment.h"
#include "foundation/threads/heartbeat.h"
#include "foundation/threads/message_loop.h"
#include "foundation/time/clock.h"

namespace halvorn {

namespace {

bool Good(const std::string& reply) {
  return !reply.empty() && reply[0] == '+';
}

}  // namespace

TPop3LoginOutcome Pop3Login(TQuorClientSocket& client, const std::string& user,
                            const std::string& password, const TPop3LoginDialogue& how) {
  TPop3LoginOutcome outcome;
  auto read = [&](std::string& line) {
    return how.ReadLine ? how.ReadLine(line) : client.ReadLn(line);
  };
  auto stop = [&](TPop3LoginDialogue::TPoint point) { return how.Stop && how.Stop(point); };
  auto fail = [&](TPop3LoginOutcome::TFailure failure) {
    outcome.Failure = failure;
    return outcome;
  };
  // Reads the reply of the current step and judges it.
  auto reply = [&](bool mustBeGood) {
    if (!read(outcome.Reply)) return TPop3LoginOutcome::ReadFailed;
    if (how.ClosedReplyIsDisconnect && !client.Connected()) return TPop3LoginOutcome::Disconnected;
    if (mustBeGood && !Good(outcome.Reply)) return TPop3LoginOutcome::Rejected;
    return TPop3LoginOutcome::None;
  };

  outcome.Step = TPop3LoginOutcome::Banner;
  TPop3LoginOutcome::TFailure failure = reply(false);
  if (failure == TPop3LoginOutcome::None && how.RefuseErrorBanner && !outcome.Reply.empty() &&
      outcome.Reply[0] == '-')
    failure = TPop3LoginOutcome::Rejected;
  if (failure != TPop3LoginOutcome::None) return fail(failure);

  outcome.Step = TPop3LoginOutcome::User;
  if (stop(TPop3LoginDialogue::BeforeUser)) return fail(TPop3LoginOutcome::Stopped);
  if (!client.WriteLn(how.UserCommand + user)) return fail(TPop3LoginOutcome::WriteFailed);
  if (stop(TPop3LoginDialogue::AfterUserSent)) return fail(TPop3LoginOutcome::Stopped);
  failure = reply(true);
  if (failure != TPop3LoginOutcome::None) return fail(failure);

  outcome.Step = TPop3LoginOutcome::Pass;
  if (stop(TPop3LoginDialogue::BeforePass)) return fail(TPop3LoginOutcome::Stopped);
  if (!client.WriteLn(how.PassCommand + password)) return fail(TPop3LoginOutcome::WriteFailed);
  if (stop(TPop3LoginDialogue::AfterPassSent)) return fail(TPop3LoginOutcome::Stopped);
  return fail(reply(true));
}

namespace {

std::string CheckPopLoginHere(const std::string& user, const std::string& password,
                              const std::string& host, int timeoutMs) {
  const std::int64_t deadline = SteadyMilliseconds() + timeoutMs;
  auto passed = [&] { return SteadyMilliseconds() > deadline; };
  TQuorClientSocket client("CheckPOPLogin");
  FollowCallingWorker(client);
  client.SetHost(host);
  client.SetPort(110);
  client.TimeOut = timeoutMs;
  client.ConnectRetries = 0;  // one attempt within the time-out
  const std::string notConnected = CatchAllButAbandonment(
      [&]() -> std::string { return client.Connect() ? "" : "Could not connect to " + host; },
      [&](const std::string&) -> std::string { return "Connection to " + host + " failed."; });
  if (!notConnected.empty()) return notConnected;
  std::string stopText;
  TPop3LoginDialogue how;
  how.UserCommand = "User ";
  how.PassCommand = "Pass ";
  // Each read waits only for what is left of the check's time.
  how.ReadLine = [&](std::string& line) {
    const std::int64_t left = deadline - SteadyMilliseconds();
    client.TimeOut = static_cast<int>(std::max<std::int64_t>(left, 1));
    return client.ReadLn(line);
  };
  how.Stop = [&](TPop3LoginDialogue::TPoint point) {
    static const char* const kAfter[] = {"Timed out after banner", "Timed out after userid",
                                         "Timed out after userid response",
                                         "Timed out after pass"};
    if (passed())
      stopText = kAfter[point];
    else if (Heartbeat("", -1, -1))
      stopText = kLoginCheckStopped;
    return !stopText.empty();
  };
  const TPop3LoginOutcome outcome = Pop3Login(client, user, password, how);
  std::string text;
  switch (outcome.Failure) {
    case TPop3LoginOutcome::None:
      break;
    case TPop3LoginOutcome::Stopped:
      text = stopText;
      break;
    case TPop3LoginOutcome::WriteFailed:
      text = outcome.Step == TPop3LoginOutcome::User ? "Failed to send userid" : "Failed to send pass";
      break;
    case TPop3LoginOutcome::ReadFailed:
    case TPop3LoginOutcome::Disconnected:
      text = outcome.Step == TPop3LoginOutcome::Banner ? "Timed out waiting on banner"
             : outcome.Step == TPop3LoginOutcome::User ? "Timed out waiting on userid response"
                                                       : "Timed out waiting on pass response";
      break;
    case TPop3LoginOutcome::Rejected: {
      const bool userStep = outcome.Step == TPop3LoginOutcome::User;
      text = outcome.Reply.empty()
                 ? (userStep ? "Empty userid response" : "Empty pass response")
                 : std::string(userStep ? "server rejected userid with " : "server rejected pass with ") +
                       outcome.Reply;
      break;
    }
  }
  if (text.empty()) {
    client.TimeOut = 1000;
    client.WriteLn("quit");
  }
  client.Close();
  return text;
}

}  // namespace

std::string CheckPopLogin(const std::string& user, const std::string& password,
                          const std::string& host, int timeoutMs) {
  return CatchAllButAbandonment(
      [&]() -> std::string {
        if (IsMainThread()) {
          auto* thread = CreateQuorThread<TCheckPopLoginThread>(true, user, password, host, timeoutMs);
          const TThreadHandle handle = thread->Handle();
          thread->Resume();
          WaitHandlingMessages([thread] { return thread->Done(); }, timeoutMs);
          const std::string result = thread->Done() ? thread->Result() : kLoginCheckTimedOut;
          FreeThreadByHandle(handle);
          return result;
        }
        return CheckPopLoginHere(user, password, host, timeoutMs);
      },
      [&](const std::string& error) -> std::string {
        return "Login check failed: " + error;
      });
}

TCheckPopLoginThread::TCheckPopLoginThread(std::string user, std::string password, std::string host,
                                           int timeoutMs)
    : FUser(std::move(user)),
      FPassword(std::move(password)),
      FHost(std::move(host)),
      FTimeOut(timeoutMs) {}

std::string TCheckPopLoginThread::Result() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FResult;
}

void TCheckPopLoginThread::Execute() {
  const std::string text = CatchAllButAbandonment(
      [&] { return CheckPopLoginHere(FUser, FPassword, FHost, FTimeOut); },
      [](const std::string& error) { return "Login check failed: " + error; });
  {
    std::lock_guard<std::mutex> guard(FLock);
    FResult = text;
  }
  FDone.store(true);
}

}  // namespace halvorn
