// Takes arbitrary bytes as the central service's reply to a match query: the
// first 8 bytes pick the two tests' settings, the rest goes through the
// client's frame factory. The records of the match responses that decode,
// sorted as the processing keeps them, go onto a message with an image
// attachment, and the category and uniqueness checks judge it. Properties:
// nothing raises; at most one of the staff-category tests 682 to 689 is yes
// (none is set without a record); the sightings tests 691 to 705 are yes up
// to some power of two and no after it; each answer agrees with its result
// code.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "classify/qch_tests.h"
#include "classify/test_numbers.h"
#include "lists/qch/qch_messages.h"
#include "lists/qch/qch_records.h"
#include "message/email_msg.h"

namespace {

using namespace halvorn;

void Check(bool ok) {
  if (!ok) std::abort();
}

constexpr const char* kMessage =
    "From: Ann <ann@example.org>\r\nSubject: Fuzz\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
    "--b\r\nContent-Type: text/plain\r\n\r\nSee the picture.\r\n"
    "--b\r\nContent-Type: image/gif; name=\"pic.gif\"\r\n"
    "Content-Disposition: attachment; filename=\"pic.gif\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\n"
    "R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7\r\n--b--\r\n";

std::int32_t Weight(std::uint8_t pick) {
  const std::int32_t weights[] = {-100, -1, 0, 1, 10, 350, 65535, 2147483647};
  return weights[pick % 8];
}

TTrite Standard(TEmailMsg& msg, std::int32_t number) {
  TTriteArray trites;
  msg.WithInfo([&](TEmailInfo& info) { trites = info.StandardTests(); });
  return TriteGet(trites, number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  TMsgSearchRecArray records;
  TQchBuffer buffer;
  buffer.Append(std::string_view(reinterpret_cast<const char*>(data) + 8, size - 8));
  while (QchFrameState(buffer.View()) == TQchFrameState::Complete) {
    std::unique_ptr<TQchMsg> msg = CreateQchMsgFromStream(buffer);
    if (const auto* match = dynamic_cast<const TQchMatchResponseMsg*>(msg.get());
        match != nullptr && match->Decoded())
      records.insert(records.end(), match->Records.begin(), match->Records.end());
  }
  SortMsgSearchRecs(records);

  TEmailMsgRef msg = TEmailMsg::Create();
  msg->SetText(kMessage);
  msg->FSetFlaggedDeleted(true);
  {
    TCriticalSectionGuard guard(msg->MessageLock());
    msg->SearchRecs() = records;
  }

  auto category = std::make_shared<TQCHCategoryTest>();
  category->SetName("Category");
  category->SetSettings({static_cast<std::uint8_t>(data[0] % 10),
                         static_cast<std::uint8_t>(data[1] % 3), Weight(data[2]), data[3], data[4]});
  auto uniqueness = std::make_shared<TQCHUniquenessTest>();
  uniqueness->SetName("Uniqueness");
  uniqueness->SetSettings({Weight(data[5]), data[6], data[7]});
  for (TTest* test : {static_cast<TTest*>(category.get()), static_cast<TTest*>(uniqueness.get())}) {
    const bool answer = test->Evaluate(*msg, nullptr);
    Check(test->GetResultCode(msg->GetContentId()) == (answer ? "Pa=y" : "Pa=n"));
    Check(test->Explanation().Count() >= 2);
  }

  int staffYes = 0;
  for (std::int32_t n = TESTNUM_QUOR_CHAINLETTER; n <= TESTNUM_QUOR_SPAM; ++n) {
    const TTrite trite = Standard(*msg, n);
    staffYes += trite == kTriteYes ? 1 : 0;
    if (records.empty()) Check(trite == kTriteUnknown);
  }
  Check(staffYes <= 1);
  bool sawNo = false;
  for (std::int32_t n = TESTNUM_QUOR_SEEN_1; n <= TESTNUM_QUOR_SEEN_16384; ++n) {
    const TTrite trite = Standard(*msg, n);
    Check(trite == (records.empty() ? kTriteUnknown : sawNo ? kTriteNo : trite));
    if (!records.empty()) Check(trite == kTriteYes || trite == kTriteNo);
    sawNo = sawNo || trite == kTriteNo;
  }
  return 0;
}
