// Feeds any server output to the SMTP reply reader of the return-address
// check, over an in-memory client: the reply must hold exactly the lines up
// to the one that ends it, nothing beyond it may be read, the code must be
// the first three characters when they are digits (else -1), and a read that
// fails after part of a line must fail the reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "classify/valid_email_addr.h"
#include "foundation/net/quor_client_socket.h"

namespace {

// Lines end at LF; bytes after the last LF are a line that never ends.
class MemoryClient : public halvorn::TQuorAbstractClientSocket {
 public:
  MemoryClient(std::vector<std::string> lines, std::string tail)
      : TQuorAbstractClientSocket("fuzz"), FLines(std::move(lines)), FTail(std::move(tail)) {}
  int GetPort() const override { return 25; }
  void SetPort(int) override {}
  std::string GetHost() const override { return {}; }
  void SetHost(const std::string&) override {}
  std::uint32_t GetHostIP() const override { return 0; }
  bool Connect() override { return true; }
  bool Connected() override { return true; }
  bool Close() override { return true; }
  bool ReadLn(std::string& line) override {
    ++Reads;
    if (Next < FLines.size()) {
      line = FLines[Next++];
      return true;
    }
    Partial = FTail;
    return false;
  }
  std::string UnfinishedLine() const override { return Partial; }
  bool WriteLn(const std::string&) override { return true; }
  bool ReadAvailable(std::string&) override { return false; }
  bool WriteStream(const std::string&, const halvorn::TWriteProgress&) override { return false; }

  std::size_t Next = 0;
  std::size_t Reads = 0;
  std::string Partial;

 private:
  std::vector<std::string> FLines;
  std::string FTail;
};

bool Continues(const std::string& line) {
  return line.size() >= 4 && line[3] == '-';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t lf = input.find('\n'); lf != std::string::npos; lf = input.find('\n', start)) {
    lines.push_back(input.substr(start, lf - start));
    start = lf + 1;
  }
  const std::string tail = input.substr(start);
  if (lines.empty()) return 0;

  // What the reply must be.
  std::string expected = lines[0];
  bool expectedOk = true;
  std::size_t used = 1;
  if (lines[0].size() > 4 && lines[0][3] == '-') {
    std::string line;
    do {
      if (used < lines.size()) {
        line = lines[used++];
      } else if (!tail.empty()) {
        expectedOk = false;
        break;
      } else {
        line.clear();
      }
      expected += "\r\n" + line;
    } while (Continues(line));
  }

  MemoryClient client(lines, tail);
  std::string first;
  if (!client.ReadLn(first)) std::abort();
  std::string reply = first;
  const bool ok = halvorn::CollectSmtpReply(client, reply);
  if (ok != expectedOk || reply != expected) std::abort();
  if (client.Next != used) std::abort();  // read beyond the reply
  const int code = halvorn::SmtpReplyCode(reply);
  const bool digits = reply.size() >= 3 && reply[0] >= '0' && reply[0] <= '9' &&
                      reply[1] >= '0' && reply[1] <= '9' && reply[2] >= '0' && reply[2] <= '9';
  if (digits != (code >= 0)) std::abort();
  if (digits && code != std::stoi(reply.substr(0, 3))) std::abort();
  return 0;
}
