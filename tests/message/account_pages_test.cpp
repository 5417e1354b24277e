// The account forms: their exact text, what an HTML parser and a real browser
// make of them, and what the browser submits.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "foundation/text/list_helpers.h"
#include "foundation/crypto/md5.h"
#include "foundation/threads/heartbeat.h"
#include "message/account_test_support.h"
#include "message/accounts.h"
#include "message/link_key.h"
#include "support/dns_test_servers.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// The hidden field every account form starts with.
std::string KeyField() {
  return "<input type=\"hidden\" name=\"LinkKey\" value=\"" + GetLinkKey() + "\">";
}

class AccountPagesTest : public ::testing::Test {
 protected:
  void SetUp() override { CategoryRequestPort = 6173; }
  void TearDown() override { CategoryRequestPort = 6173; }

  test::GlobalAccountsScope FScope;
  test::FakeDns FDns;
};

TEST_F(AccountPagesTest, PopFormOfAnOwnedAccount) {
  const TLocalAccountRef local = GlobalLocalAccounts().Add();
  local->SetUserId("alice");
  const TRemoteAccountRef account = local->RemoteAccounts->Add("ABCD1234");
  account->SetUserId("bob");
  account->SetPassword("secret");
  account->SetHost("pop.example.com\r\n192.0.2.7", false);
  account->Port = 995;
  const std::string identity =
      "<p><input type=\"hidden\" name=\"QuorUserId\" value=\"alice\">\r\n"
      "<p><input type=\"hidden\" name=\"UniqueId\" value=\"ABCD1234\">\r\n"
      "<p><input type=\"hidden\" name=\"PasswordMD5\" value=\"5EBE2294ECD0E0F08EAB7690D2A6EE69\">\r\n";
  EXPECT_EQ(account->PopInfoForm(),
            "<form action=\"http://LocalHost:6173/PopUserInfo\" method=GET>" + KeyField() + "\r\n"
            "<p>New UserId: <input type=\"text\" name=\"NewUserId\" value=\"bob\" size=\"36\">\r\n"
            "<p>New Password: <input type=\"password\" name=\"NewPassWord\" value=\"secret\" size=\"34\">\r\n"
            "<p>New Server Address: <input type=\"text\" name=\"NewServer\" value=\"pop.example.com\" size=\"30\">\r\n"
            "<p>Port: <input type=\"text\" name=\"NewPort\" value=\"995\" size=\"20\">\r\n" +
                identity +
                "<input type=\"Submit\" value=\"Change Account Information\" align=\"MIDDLE\"> </form>"
                "<form action=\"http://LocalHost:6173/DeleteAccount\" method=get>" + KeyField() +
                identity + "<input type=\"Submit\" value=\"Delete Account\" align=\"MIDDLE\">");
}

TEST_F(AccountPagesTest, FormsFollowTheAccount) {
  CategoryRequestPort = 8080;
  // Nobody owns this one: no owner field and no delete form.
  const TRemoteAccountRef orphan = std::make_shared<TRemoteAccount>("ORPHAN01");
  orphan->SetHost("192.0.2.7\r\n192.0.2.8", false);
  for (const std::string& form : {orphan->PopInfoForm(), orphan->WebmailInfoForm()}) {
    EXPECT_EQ(form.find("QuorUserId"), std::string::npos);
    EXPECT_EQ(form.find("DeleteAccount"), std::string::npos);
    EXPECT_NE(form.find("http://LocalHost:8080/"), std::string::npos);
    // No password: the digest of the empty text.
    EXPECT_NE(form.find("name=\"PasswordMD5\" value=\"D41D8CD98F00B204E9800998ECF8427E\""),
              std::string::npos);
  }
  EXPECT_NE(orphan->PopInfoForm().find("name=\"NewServer\" value=\"192.0.2.7\""), std::string::npos);
  const std::string webmail = orphan->WebmailInfoForm();
  EXPECT_EQ(webmail.rfind("<form action=\"http://LocalHost:8080/HotmailUserInfo\" method=get>" +
                              KeyField() + "\r\n",
                          0),
            0u);
  EXPECT_EQ(webmail.find("NewServer"), std::string::npos);
  EXPECT_EQ(webmail.find("NewPort"), std::string::npos);

  const TLocalAccountRef local = GlobalLocalAccounts().Add();
  local->SetUserId("alice");
  local->SetPassword("own password");
  local->SetSMTPUserId("smtp user");
  local->SetSMTPPassword("smtp password");
  local->SetSMTPServer("smtp.example.com");
  const std::string smtp = local->SmtpInfoForm();
  EXPECT_NE(smtp.find("name=NewPassWord value=\"smtp password\""), std::string::npos);
  // The form is authorised by the local account's own password.
  EXPECT_NE(smtp.find("value=\"" + MD5HexUpper("own password") + "\""), std::string::npos);
  EXPECT_EQ(smtp.find("UniqueId"), std::string::npos);
}

// Values with every character that means something in HTML or in a URL, and 8-bit
// bytes, survive the page: html5lib reads each field back as the account
// holds it, and Chromium, submitting each form from a page with the charset
// the notices declare to a server on 127.0.0.1, sends exactly those bytes.
TEST_F(AccountPagesTest, ParsersAndABrowserReadTheValuesBack) {
  const std::string chromium = "/usr/bin/chromium";
  if (test::RunCommand({"test", "-x", chromium}).ExitCode != 0) GTEST_SKIP() << "no chromium";
  const std::string tricky = "a\"b&c<d>e+f%g h  i\xE9\x81\xA0\xFF";
  const TLocalAccountRef local = GlobalLocalAccounts().Add();
  local->SetUserId("alice " + tricky);
  local->SetPassword("own \"pw\" & <x>");
  local->SetSMTPUserId("smtp " + tricky);
  local->SetSMTPPassword("pw " + tricky);
  local->SetSMTPServer("smtp.example.com");
  const TRemoteAccountRef pop = local->RemoteAccounts->Add();
  pop->SetUserId("bob " + tricky);
  pop->SetPassword("\"quoted\" " + tricky + "\"");
  FDns.PTR = {{"192.0.2.7", {"mail.evil\"><script>alert(1)</script>.test"}}};
  pop->SetHost("192.0.2.7", true);  // a reverse name with markup in it
  const TRemoteAccountRef webmail = local->RemoteAccounts->Add();
  webmail->SetUserId("carol " + tricky);
  webmail->SetPassword("<" + tricky + ">");
  webmail->SetHost("Hotmail", false);

  struct Form {
    std::string Text;
    std::map<std::string, std::string> Fields;  // what every form of it carries
    std::map<std::string, std::string> Change;  // what only the change form carries
    std::string Password;  // whose digest "PasswordMD5" holds
  };
  std::vector<Form> forms = {
      {"",
       {{"QuorUserId", local->UserId()}, {"UniqueId", pop->UniqueId()}},
       {{"NewUserId", pop->UserId()}, {"NewPassWord", pop->Password()},
        {"NewServer", pop->GetHostText(false)}, {"NewPort", "110"}},
       pop->Password()},
      {"",
       {{"QuorUserId", local->UserId()}, {"UniqueId", webmail->UniqueId()}},
       {{"NewUserId", webmail->UserId()}, {"NewPassWord", webmail->Password()}},
       webmail->Password()},
      {"",
       {{"QuorUserId", local->UserId()}},
       {{"NewUserId", local->SMTPUserId()}, {"NewPassWord", local->SMTPPassword()},
        {"NewServer", "smtp.example.com"}, {"NewPort", "25"}},
       local->Password()},
  };
  ASSERT_EQ(pop->GetHostText(false), "mail.evil\"><script>alert(1)</script>.test");

  const std::string script = R"(
import html5lib, hashlib, http.server, socketserver, subprocess, sys, tempfile, threading, urllib.parse, shutil
pages, hashes = [], []
for line in sys.stdin.read().split('\n'):
    if line.startswith('PAGE '): pages.append(bytes.fromhex(line[5:]))
    if line.startswith('HASH '): hashes.append(bytes.fromhex(line[5:]))
for p in hashes:
    print('H', p.hex(), hashlib.md5(p).hexdigest().upper())
for n, page in enumerate(pages):
    doc = html5lib.parse(page.decode('latin-1'), namespaceHTMLElements=False)
    for f, form in enumerate(doc.iter('form')):
        print('F', n, f, form.get('action').encode('latin-1').hex(), form.get('method'))
        for i in form.iter('input'):
            if i.get('name') is not None:
                print('I', n, f, i.get('name'), i.get('value').encode('latin-1').hex())
got = []
class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *a): pass
    def reply(self, code, body=b'', location=None):
        self.send_response(code)
        self.send_header('Content-Type', 'text/html; charset=us-ascii')
        if location: self.send_header('Location', location)
        self.end_headers()
        self.wfile.write(body)
    def do_GET(self):
        if self.path.startswith('/page/'):
            self.reply(200, pages[int(self.path[6:])])
        elif self.path == '/done':
            self.reply(200, b'<html><body>done</body></html>')
        elif self.path.startswith('/favicon'):
            self.reply(404)
        else:
            got.append(self.path)
            self.reply(302, location='/page/%d' % len(got) if len(got) < len(pages) else '/done')
server = socketserver.ThreadingTCPServer(('127.0.0.1', int(sys.argv[1])), Handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
profile = tempfile.mkdtemp()
try:
    subprocess.run([sys.argv[2], '--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run',
                    '--disable-background-networking', '--disable-component-update', '--disable-sync',
                    '--user-data-dir=' + profile, '--virtual-time-budget=30000', '--dump-dom',
                    'http://LocalHost:%s/page/0' % sys.argv[1]],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=90)
except subprocess.TimeoutExpired:
    print('TIMEOUT')  # what arrived so far still follows
finally:
    shutil.rmtree(profile, ignore_errors=True)
for n, path in enumerate(got):
    target, _, query = path.partition('?')
    print('S', n, target)
    for name, value in urllib.parse.parse_qsl(query, keep_blank_values=True, encoding='latin-1'):
        print('V', n, name, value.encode('latin-1').hex())
)";
  // The forms carry the server's port.
  const std::uint16_t port = test::FreeLocalPort();
  ASSERT_NE(port, 0);
  CategoryRequestPort = port;
  forms[0].Text = pop->PopInfoForm();
  forms[1].Text = webmail->WebmailInfoForm();
  forms[2].Text = local->SmtpInfoForm();
  // One page per form to submit: the change forms, and the delete forms of
  // the two remote accounts.
  struct Page {
    std::size_t Form;
    int Index;  // which form of the text
  };
  const std::vector<Page> pages = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}};
  std::string input;
  for (const Page& page : pages) {
    const std::string html =
        "<html><head><meta charset=\"us-ascii\"></head><body>\r\n" + forms[page.Form].Text +
        "\r\n<script>document.forms[" + std::to_string(page.Index) + "].submit()</script>\r\n"
        "</body></html>";
    input += "PAGE " + test::HexOf(html) + "\n";
  }
  for (const Form& form : forms) input += "HASH " + test::HexOf(form.Password) + "\n";
  const test::CommandResult run = test::RunCommand(
      {test::PythonPath(), "-c", script, std::to_string(port), chromium}, input);
  ASSERT_EQ(run.ExitCode, 0) << run.Output;

  std::map<std::string, std::string> digests;                   // password -> Python's digest
  std::map<std::pair<int, int>, std::map<std::string, std::string>> parsed;  // (page, form) -> fields
  std::map<std::pair<int, int>, std::string> actions;
  std::vector<std::string> targets;
  std::vector<std::map<std::string, std::string>> submitted;
  TStringList lines;
  lines.SetText(run.Output);
  for (int i = 0; i < lines.Count(); ++i) {
    TStringList f;
    SplitToList(lines[i], " ", f);
    const auto hex = [&](int k) { return k < f.Count() ? test::BytesFromHex(f[k]) : std::string(); };
    if (f[0] == "H") digests[hex(1)] = f[2];
    if (f[0] == "F") actions[{std::stoi(f[1]), std::stoi(f[2])}] = hex(3) + " " + f[4];
    if (f[0] == "I") parsed[{std::stoi(f[1]), std::stoi(f[2])}][f[3]] = hex(4);
    if (f[0] == "S") {
      targets.push_back(f[2]);
      submitted.emplace_back();
    }
    if (f[0] == "V") submitted[static_cast<std::size_t>(std::stoi(f[1]))][f[2]] = hex(3);
  }

  const std::string base = "http://LocalHost:" + std::to_string(port) + "/";
  const char* commands[] = {"PopUserInfo", "DeleteAccount", "HotmailUserInfo", "DeleteAccount",
                            "SmtpUserInfo"};
  ASSERT_EQ(targets.size(), pages.size()) << run.Output;
  for (std::size_t n = 0; n < pages.size(); ++n) {
    SCOPED_TRACE(commands[n]);
    const Form& form = forms[pages[n].Form];
    std::map<std::string, std::string> expected = form.Fields;
    if (pages[n].Index == 0) expected.insert(form.Change.begin(), form.Change.end());
    ASSERT_EQ(digests.count(form.Password), 1u);
    expected["PasswordMD5"] = digests[form.Password];
    expected["LinkKey"] = GetLinkKey();
    EXPECT_EQ(expected["PasswordMD5"], MD5HexUpper(form.Password));
    const int page = static_cast<int>(n);
    const std::pair<int, int> key{page, pages[n].Index};
    EXPECT_EQ(actions[key],
              base + commands[n] + (std::string(commands[n]) == "PopUserInfo" ? " GET" : " get"));
    EXPECT_EQ(parsed[key], expected);
    EXPECT_EQ(targets[n], std::string("/") + commands[n]);
    EXPECT_EQ(submitted[n], expected);
  }
}

}  // namespace
}  // namespace halvorn
