// Reads fuzzed bytes as a message file, parses it into its MIME part tree and
// runs the part views over every part. Besides crashes it checks that a
// message saved, read, parsed and saved again gives the same bytes the
// second time, and that its size is the size of what it writes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "message/email_msg.h"

using namespace halvorn;

namespace {

// Every view of every part, depth first.
void Visit(TEmailMsgPartCollection& parts) {
  for (int i = 0; i < parts.Count(); ++i) {
    TEmailMsgPart* part = parts.Items(i);
    std::string stream;
    part->DecodeToStream(stream, true);
    TStringList lines;
    part->DecodeToStringList(lines, false);
    part->AppendPlainText(lines, false);
    part->AppendDecodedText(lines, false);
    part->CheckSum();
    part->MaxLineLength(true);
    part->HasOwnHeader();
    TEmailMsgPart* plain = nullptr;
    TEmailMsgPart* html = nullptr;
    FindTextParts(part, plain, html);
    Visit(part->Children());
  }
}

// The message of the bytes, parsed, as its file's bytes.
std::string Saved(const std::string& bytes, bool visit) {
  TEmailMsgRef msg = TEmailMsg::Create();
  msg->LoadFromStream(bytes);
  msg->FSetFlaggedDeleted(true);
  std::string out;
  {
    TCriticalSectionGuard guard(msg->MessageLock());
    if (visit) Visit(msg->GetParts());
    msg->GetParts();
    msg->SaveToStream(out);
    const std::size_t lineEnd = out.find("\r\n");
    if (msg->GetSize() != static_cast<std::int32_t>(out.size() - lineEnd - 2)) __builtin_trap();
  }
  return out;
}

// The bytes without the property line (which holds the side-record Id).
std::string Body(const std::string& file) {
  return file.substr(file.find("\r\n") + 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string once = Saved(bytes, true);
  const std::string twice = Saved(once, false);
  const std::string thrice = Saved(twice, false);
  if (Body(twice) != Body(thrice)) __builtin_trap();
  return 0;
}
