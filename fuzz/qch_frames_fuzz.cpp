// Feeds arbitrary bytes to the central service's frame factory twice, whole
// and cut where the first byte says, the way a connection receives them:
// both must give the same messages; the factory never keeps more than it
// got nor hands a message more than its frame; and every message that
// decoded re-encodes to a frame that decodes to the same fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "lists/qch/qch_messages.h"
#include "support/qch_fields.h"

namespace {

using namespace halvorn;

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Taken {
  int Type;
  bool Decoded;
  std::string Fields;
  bool operator==(const Taken&) const = default;
};

std::vector<Taken> Feed(std::string_view input, std::size_t step) {
  std::vector<Taken> taken;
  TQchBuffer buffer;
  std::size_t given = 0;
  for (std::size_t pos = 0; pos < input.size(); pos += step) {
    const std::string_view piece = input.substr(pos, step);
    buffer.Append(piece);
    given += piece.size();
    for (;;) {
      const TQchFrameState state = QchFrameState(buffer.View());
      // The client closes the connection on an invalid length.
      if (state == TQchFrameState::Invalid) return taken;
      if (state == TQchFrameState::Incomplete) break;
      const std::size_t before = buffer.Size();
      std::unique_ptr<TQchMsg> msg = CreateQchMsgFromStream(buffer);
      Check(buffer.Size() < before && buffer.Size() <= given);
      if (!msg) {
        taken.push_back({-1, false, ""});
        continue;
      }
      Check(msg->Stream().size() == before - buffer.Size());
      taken.push_back({msg->MsgType, msg->Decoded(),
                       msg->Decoded() ? test::QchFieldsJson(*msg, false) : ""});
      if (!msg->Decoded()) continue;
      std::string frame;
      msg->WriteTo(frame);
      TQchBuffer again;
      again.Append(frame);
      std::unique_ptr<TQchMsg> copy = CreateQchMsgFromStream(again);
      Check(copy && copy->Decoded() && again.Empty());
      Check(test::QchFieldsJson(*copy, false) == taken.back().Fields);
    }
  }
  return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 64;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto whole = Feed(input, input.size() + 1);
  const auto cut = Feed(input, step);
  Check(whole == cut);
  return 0;
}
