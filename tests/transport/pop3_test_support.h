// Shared by the transport tests: a throw-away install folder with the user's
// queues, the local POP3 server on this thread's event loop, a stand-in main
// window that records what is posted to it, and clients run as programs of
// their own while this thread handles events.
#pragma once

#include <gtest/gtest.h>

#include <QObject>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/app/main_window_notifications.h"
#include "foundation/intercept/lsp_test_support.h"
#include "message/accounts.h"
#include "message/email_msg.h"
#include "message/email_msg_list.h"
#include "message/message_repository.h"
#include "message/processing_options.h"
#include "platform/qt_window_messages.h"
#include "platform/window_messages.h"
#include "support/dovecot_server.h"
#include "support/namespace_dns.h"
#include "support/test_support.h"
#include "message/accounts_file.h"
#include "foundation/files/install_folders.h"
#include "foundation/text/numbers.h"
#include "message/accounts_saver.h"
#include "transport/download_remote_mail_thread.h"
#include "transport/pop3_server.h"

namespace halvorn::test {

// Stands in for the main window: the numbers of the messages posted to it.
class MainWindowRecorder : public QObject {
 public:
  std::vector<std::uint32_t> Messages;
  bool event(QEvent* event) override {
    if (event->type() != platform::WindowMessageEvent::EventType()) return QObject::event(event);
    Messages.push_back(static_cast<platform::WindowMessageEvent*>(event)->Msg());
    return true;
  }
  int Count(std::uint32_t msg) const {
    return static_cast<int>(std::count(Messages.begin(), Messages.end(), msg));
  }
};

// One step of a scripted POP3 dialogue (pop3_dialogue.py): a line to send
// (none: only read) and what to read.
struct Pop3Step {
  std::optional<std::string> Line;
  std::string Mode;  // "1", "M", "E", "0", "drop"
};

inline std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

inline std::string StepsJson(const std::vector<Pop3Step>& steps) {
  std::string json = "[";
  for (const Pop3Step& step : steps) {
    if (json.size() > 1) json += ",";
    json += "[" + (step.Line ? JsonText(*step.Line) : std::string("null")) + "," +
            JsonText(step.Mode) + "]";
  }
  return json + "]";
}

// The fixture of the local server's tests.
class Pop3Fixture : public InterceptFixture {
 protected:
  void SetUp() override {
    InterceptFixture::SetUp();
    FTemp = std::make_unique<ScopedEnv>("TMPDIR", FHomeFolder.Sub("tmp"));
    std::filesystem::create_directories(FHomeFolder.Sub("tmp"));
    StartAccountsModule();
    StartMessageRepositoryModule();
    TProcessingOptions defaults;
    SetProcessingOptions(kSingleUserName, defaults);
    FRecorder = std::make_unique<MainWindowRecorder>();
    FRecorderWindow = platform::RegisterWindow(FRecorder.get(), "TPostRecorder");
    SetMainWindowHandle(FRecorderWindow);
  }

  void TearDown() override {
    FServer.reset();
    SetAccountsSaver({});
    EndMessageRepositoryModule();
    EndAccountsModule();
    TProcessingOptions defaults;
    SetProcessingOptions(kSingleUserName, defaults);
    SetMainWindowHandle(0);
    platform::UnregisterWindow(FRecorderWindow);
    FRecorder.reset();
    FTemp.reset();
    InterceptFixture::TearDown();
  }

  // A listening server on a free port; banners come after 20 ms.
  TPop3Server& StartServer() {
    FServer = std::make_unique<TPop3Server>();
    FServer->SetPort(0);
    FServer->SetTickInterval(20);
    FServer->SetMaxConnections(10);
    EXPECT_EQ(FServer->SetActive(true), "");
    return *FServer;
  }

  TLocalAccountRef MakeLocalAccount(const std::string& user, const std::string& password) {
    TLocalAccountRef account = GlobalLocalAccounts().Add();
    account->SetUserId(user);
    account->SetPassword(password);
    return account;
  }

  static TMessageRepository& Repository() { return *GetMessageRepository(kSingleUserName); }
  static TEmailMsgList& Processed() { return *Repository().ProcessedIncoming(); }
  static TEmailMsgList& Unprocessed() { return *Repository().UnProcessedIncoming(); }
  static TEmailMsgList& Held() { return *Repository().Pendhold(); }

  // Empties every queue, deleting the files.
  static void ClearQueues() {
    for (TEmailMsgList* queue : Repository().Queues())
      for (const TEmailMsgRef& msg : queue->Snapshot()) {
        queue->Remove(msg);
        msg->DiskDelete();
        msg->FSetFlaggedDeleted(true);
      }
  }

  // The subjects of a queue's messages, sorted.
  static std::vector<std::string> Subjects(TEmailMsgList& queue) {
    std::vector<std::string> subjects;
    for (const TEmailMsgRef& msg : queue.Snapshot()) subjects.push_back(msg->GetSubject());
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }

  // A message in the processed-incoming queue, saved; with a UIDL and a
  // source account when given (recorded there as downloaded).
  TEmailMsgRef AddProcessed(const std::string& text, const std::string& uidl = {},
                            const TRemoteAccountRef& source = nullptr) {
    TEmailMsgRef msg = TEmailMsg::Create(&Processed());
    msg->SetText(text);
    if (!uidl.empty()) msg->FSetUidl(uidl);
    if (source) msg->FSetSourceRemoteAccount(source);
    EXPECT_TRUE(msg->SaveToFile());
    return msg;
  }

  // The dialogue client to run instead of the one in tests/data (for a
  // client run as another user, who may not read the source tree).
  std::string FDialogueScript;

  // Runs a dialogue with the server; the lines received, each without its
  // CR LF, "<EOF>" for the end of the connection.
  std::vector<std::string> Dialogue(const std::vector<Pop3Step>& steps,
                                    const std::vector<std::string>& prefix = {},
                                    const std::string& host = "127.0.0.1",
                                    const std::string& source = "") {
    std::vector<std::string> argv = prefix;
    const std::string script =
        FDialogueScript.empty() ? DataPath("pop3_dialogue.py") : FDialogueScript;
    argv.insert(argv.end(), {PythonPath(), script,
                             std::to_string(FServer->BoundPort()), StepsJson(steps), host});
    if (!source.empty()) argv.push_back(source);
    const ProgramRun run = RunHandlingEvents(argv, {}, 30000);
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    std::vector<std::string> lines;
    for (const std::string& hex : OutputLines(run.Output)) {
      if (hex == "<EOF>") {
        lines.push_back(hex);
        continue;
      }
      std::string line = BytesFromHex(hex);
      if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
        line.resize(line.size() - 2);
      lines.push_back(line);
    }
    // Let the server see the end of the connection.
    RunEventsUntil([&] { return FServer->ActiveConnections() == 0; }, 5000);
    return lines;
  }

  // Runs a Python script (the port as its first argument) while handling
  // events; its output.
  std::string RunClient(const std::string& script, const std::vector<std::string>& args = {},
                        const std::vector<std::string>& prefix = {},
                        const std::vector<std::string>& environment = {}) {
    TempFolder scripts;
    const std::string path = scripts.Sub("client.py");
    EXPECT_TRUE(WriteFileBytes(path, script));
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {PythonPath(), path, std::to_string(FServer->BoundPort())});
    argv.insert(argv.end(), args.begin(), args.end());
    const ProgramRun run = RunHandlingEvents(argv, environment, 60000);
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    RunEventsUntil([&] { return FServer->ActiveConnections() == 0; }, 5000);
    return run.Output;
  }

  // Moves every message of the unprocessed-incoming queue to the
  // processed-incoming one, as processing would.
  static int MoveToProcessed() {
    int moved = 0;
    for (const TEmailMsgRef& msg : Unprocessed().Snapshot())
      moved += Repository().MoveMailMessage(msg, &Unprocessed(), &Processed()) ? 1 : 0;
    return moved;
  }

  // Lets posted events reach the recorder.
  void DeliverPosts() { RunEventsUntil([] { return false; }, 50); }

  std::unique_ptr<ScopedEnv> FTemp;
  std::unique_ptr<MainWindowRecorder> FRecorder;
  platform::WindowHandle FRecorderWindow = 0;
  std::unique_ptr<TPop3Server> FServer;
};

// Steps that log in.
inline std::vector<Pop3Step> LoginSteps(const std::string& user, const std::string& password) {
  return {{std::nullopt, "1"}, {"USER " + user, "1"}, {"PASS " + password, "1"}};
}

// One message as a POP3 server hands it out, in the form the program must
// store it (pop3_server_messages.py).
struct ServerMessage {
  std::int32_t Number = 0;
  std::string Uidl;
  std::string Text;
};

// A mail reader: poplib logs in as bob/secret, retrieves every message and
// deletes those whose UIDL is in the comma list of its second argument
// (those it already holds, named in its third, it skips). Prints one line per
// message retrieved: UIDL, LIST size, the octets poplib counted, the
// message as hexadecimal digits.
inline const char* kPoplibReader = R"PY(
import binascii, poplib, sys
p = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=30)
p.user("bob")
p.pass_("secret")
delete = set(sys.argv[2].split(",")) if len(sys.argv) > 2 else set()
held = set(sys.argv[3].split(",")) if len(sys.argv) > 3 else set()
uidls = dict((int(n), u) for n, u in (l.decode("latin-1").split() for l in p.uidl()[1]))
sizes = dict((int(n), int(s)) for n, s in (l.decode().split() for l in p.list()[1]))
for n in sorted(uidls):
    if uidls[n] not in held:
        resp, lines, octets = p.retr(n)
        text = b"".join(l + b"\r\n" for l in lines)
        print(uidls[n], sizes[n], octets, binascii.hexlify(text).decode())
    if uidls[n] in delete:
        p.dele(n)
p.quit()
)PY";

// One line of kPoplibReader's output.
struct ReaderMessage {
  std::string Uidl;
  std::int64_t Size = 0;
  std::int64_t Octets = 0;
  std::string Text;
};

inline std::vector<ReaderMessage> ParseReaderOutput(const std::string& output) {
  std::vector<ReaderMessage> messages;
  for (const std::string& line : OutputLines(output)) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
      const std::size_t blank = line.find(' ', start);
      fields.push_back(line.substr(start, blank - start));
      if (blank == std::string::npos) break;
      start = blank + 1;
    }
    if (fields.size() != 4) continue;
    messages.push_back({fields[0], std::stoll(fields[1]), std::stoll(fields[2]),
                        BytesFromHex(fields[3])});
  }
  return messages;
}

// The fixture of the download tests: a Dovecot of the test's own on port 110
// and a DNS server answering the look-ups, both inside a network namespace
// of the test's own (the test body starts with
// HALVORN_IN_OWN_NETWORK_NAMESPACE), the queues installed for the download,
// and the accounts saved by the accounts file's writer.
class DownloadFixture : public Pop3Fixture {
 protected:
  void SetUp() override {
    Pop3Fixture::SetUp();
    SetAccountsSaver([] { return SaveAccountsFile(GetAccountsFilePath(), "bob", false); });
  }

  void TearDown() override {
    FDovecot.reset();
    FDns.reset();
    Pop3Fixture::TearDown();
  }

  // Inside the namespace: the DNS server with the records and, when users
  // are given, Dovecot on 127.0.0.1:110 with them.
  void StartMailServers(const std::vector<DovecotServer::User>& users,
                        const std::vector<std::string>& records = {}) {
    FDns = std::make_unique<PrivateNetworkDns>(records);
    ASSERT_TRUE(FDns->Ok()) << FDns->Error();
    if (users.empty()) return;
    {
      // Dovecot's unprivileged processes must reach its folder.
      ScopedEnv temp("TMPDIR", "/tmp");
      FDovecot = std::make_unique<DovecotServer>(110, users);
    }
    ASSERT_TRUE(FDovecot->Ok()) << FDovecot->Error();
  }

  TRemoteAccountRef MakeRemoteAccount(const TLocalAccountRef& local, const std::string& user,
                                      const std::string& password,
                                      const std::string& host = "127.0.0.1", int port = 110) {
    TRemoteAccountRef remote = local->RemoteAccounts->Add();
    remote->SetHost(host, false);
    remote->SetUserId(user);
    remote->SetPassword(password);
    remote->Port = port;
    remote->NewThisRun = false;
    return remote;
  }

  // One pass of the download over every account (mode 1), then the thread is
  // stopped as at shut-down. False when it did not finish in time.
  bool RunDownload(std::uint8_t mode = dmCheckNow, int timeoutMs = 180000) {
    auto* thread = CreateQuorThread<TDownloadRemoteMailThread>(true);
    const TThreadHandle handle = thread->Handle();
    thread->SetTimeOut(10000);
    thread->StartWithMode(mode);
    // The thread suspends itself once a pass has taken every account.
    const bool passed = Eventually(
        [&] { return !ThreadHandleAlive(handle) || (thread->Suspended() && !thread->Finished()); },
        timeoutMs);
    if (ThreadHandleAlive(handle)) {
      thread->FStopRequested = true;
      thread->StartWithMode(dmShutDown);
    }
    return WaitThreadWithTimeout(handle, 20000, false) && passed;
  }

  // What the server holds for the user now, as the program must store it.
  std::vector<ServerMessage> ServerMessages(const std::string& user, const std::string& password,
                                            std::uint16_t port = 110) {
    const CommandResult result =
        RunCommand({PythonPath(), DataPath("pop3_server_messages.py"), "127.0.0.1",
                    std::to_string(port), user, password});
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    std::vector<ServerMessage> messages;
    for (const std::string& line : OutputLines(result.Output)) {
      ServerMessage m;
      const std::size_t a = line.find(' ');
      const std::size_t b = line.find(' ', a + 1);
      if (a == std::string::npos || b == std::string::npos) continue;
      if (!TryStrToInt(line.substr(0, a), m.Number)) continue;
      m.Uidl = line.substr(a + 1, b - a - 1);
      m.Text = BytesFromHex(line.substr(b + 1));
      messages.push_back(m);
    }
    return messages;
  }

  // The stored messages of a queue by UIDL: their files without the
  // property line and without the Received line (which `received` gets).
  std::map<std::string, std::string> StoredByUidl(TEmailMsgList& queue,
                                                  std::vector<std::string>* received = nullptr) {
    std::map<std::string, std::string> stored;
    for (const TEmailMsgRef& msg : queue.Snapshot()) {
      std::string file = ReadFileBytes(msg->GetFileName());
      if (file.rfind(kPropertyLinePrefix, 0) == 0) file.erase(0, file.find("\r\n") + 2);
      const std::size_t end = file.find("\r\n");
      if (received != nullptr) received->push_back(file.substr(0, end));
      if (end != std::string::npos) file.erase(0, end + 2);
      stored[msg->GetInfoValue(TEmailInfoKey::UIDL)] += file;
    }
    return stored;
  }

  std::unique_ptr<PrivateNetworkDns> FDns;
  std::unique_ptr<DovecotServer> FDovecot;
};

}  // namespace halvorn::test
