#include "lists/qch/qch_udp_msg.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "foundation/app/debug_transcript.h"
#include "foundation/crypto/random_source.h"
#include "lists/qch/qch_identity.h"

namespace halvorn {

static_assert(std::endian::native == std::endian::little,
              "the service's integers are little-endian and copied as they are");

namespace {

constexpr const char* kTranscriptSource = "QCH_UDP";

const char* const kStopCodeNames[] = {
    "RepStandTestArrayOnDoneProcessing",   "RepStandTestArrayOnCatPers",
    "RepStandTestArrayOnCatSpam",          "RepQuorTestStatDataOnDoneProcessing",
    "RepQuorTestStatDataOnCatSpam",        "RepQuorTestStatDataOnCatPers",
    "RepStandTestArrayOnDoneProcessingUDP", "RepStandTestArrayOnCatPersUDP",
    "RepStandTestArrayOnCatSpamUDP",       "RepQuorStatDataOnDoneProcessingUDP",
    "RepQuorStatDataOnCatSpamUDP",         "RepQuorStatDataOnCatPersUDP",
};

std::string TrueFalse(bool value) {
  return value ? "True" : "False";
}

}  // namespace

// ---------------------------------------------------------------------------
// TQchUdpMsg

TQchUdpMsg::TQchUdpMsg() {
  SetInt(kQchUdpVersionOffset, 1);
  SetInt(kQchUdpKindOffset, 0);
  SetInt(kQchUdpEncodingOffset, 0);
  SetInt(kQchUdpUserIdOffset, GetQchIdentity().UserId);
  SetInt(kQchUdpQueryIdOffset, RandomInt(2147483647));
  FBytes.resize(kQchUdpHeaderSize, '\0');
}

std::int32_t TQchUdpMsg::GetInt(int offset) const {
  if (offset < 0 || FBytes.size() < static_cast<std::size_t>(offset) + 4) return 0;
  std::int32_t value = 0;
  std::memcpy(&value, FBytes.data() + offset, sizeof value);
  return value;
}

void TQchUdpMsg::SetInt(int offset, std::int32_t value) {
  if (offset < 0) return;
  const std::size_t end = static_cast<std::size_t>(offset) + 4;
  if (FBytes.size() < end) FBytes.resize(end, '\0');
  std::memcpy(FBytes.data() + offset, &value, sizeof value);
}

bool TQchUdpMsg::GetBit(int i) const {
  if (i < 0) return false;
  const std::size_t byte = static_cast<std::size_t>(i) / 8;
  if (byte >= FBytes.size()) return false;
  return (static_cast<unsigned char>(FBytes[byte]) >> (i % 8)) & 1;
}

void TQchUdpMsg::SetBit(int i, bool value) {
  if (i < 0) return;
  const std::size_t byte = static_cast<std::size_t>(i) / 8;
  if (FBytes.size() <= byte) FBytes.resize(byte + 1, '\0');
  const unsigned char mask = static_cast<unsigned char>(1u << (i % 8));
  unsigned char b = static_cast<unsigned char>(FBytes[byte]);
  b = value ? static_cast<unsigned char>(b | mask) : static_cast<unsigned char>(b & ~mask);
  FBytes[byte] = static_cast<char>(b);
}

int TQchUdpMsg::GetDataSize() const {
  return static_cast<int>(FBytes.size()) - kQchUdpHeaderSize;
}

void TQchUdpMsg::SetDataSize(int n) {
  FBytes.resize(static_cast<std::size_t>(std::max(0, n + kQchUdpHeaderSize)), '\0');
}

std::string TQchUdpMsg::GetData() const {
  if (FBytes.size() <= static_cast<std::size_t>(kQchUdpHeaderSize)) return {};
  return FBytes.substr(kQchUdpHeaderSize);
}

std::string TQchUdpMsg::DumpText() const {
  return "Version=" + std::to_string(GetInt(kQchUdpVersionOffset)) +
         "\r\nKind=" + std::to_string(GetInt(kQchUdpKindOffset)) +
         "\r\nEncoding=" + std::to_string(GetInt(kQchUdpEncodingOffset)) +
         "\r\nUserId=" + std::to_string(GetInt(kQchUdpUserIdOffset)) +
         "\r\nQueryId=" + std::to_string(GetInt(kQchUdpQueryIdOffset)) +
         "\r\nDataSize=" + std::to_string(GetDataSize());
}

void TQchUdpMsg::SelfTestFailed(const std::string& what) const {
  throw std::runtime_error(ClassName() + what);
}

bool TQchUdpMsg::SelfTest() {
  const std::string saved = FBytes;
  const int offsets[] = {kQchUdpVersionOffset, kQchUdpKindOffset, kQchUdpEncodingOffset,
                         kQchUdpUserIdOffset, kQchUdpQueryIdOffset};
  const char* const names[] = {"Version", "Kind", "Encoding", "UserId", "QueryId"};
  const std::int32_t probes[] = {18978, 87676, 8700, 8788, 989};
  std::int32_t first[5];
  for (int i = 0; i < 5; ++i) first[i] = GetInt(offsets[i]);
  const int firstSize = GetDataSize();
  for (int i = 0; i < 5; ++i) {
    SetInt(offsets[i], probes[i]);
    if (GetInt(offsets[i]) != probes[i])
      SelfTestFailed(std::string(" ") + names[i] + " read/write check failed.");
  }
  FBytes = saved;
  for (int i = 0; i < 5; ++i) {
    if (GetInt(offsets[i]) != first[i])
      SelfTestFailed(std::string(" ") + names[i] + " restore check failed.");
  }
  if (GetDataSize() != firstSize) SelfTestFailed(" DataSize restore check failed.");
  return true;
}

// ---------------------------------------------------------------------------
// TStopCodesQchUdpMsg

TStopCodesQchUdpMsg::TStopCodesQchUdpMsg() {
  FBytes.resize(kSize, '\0');
  std::memset(FBytes.data() + 19, 0, 51 - 19);
  SetInt(kQchUdpKindOffset, kQchUdpStopCodes);
  for (int bit = kRepStandTestArrayOnDoneProcessing; bit <= kReturnProbOnTestReport; ++bit)
    SetBit(bit, false);
  for (int bit = kRepQuorTestStatDataOnCatSpam; bit <= kRepQuorStatDataOnCatPersUDP; ++bit)
    SetBit(bit, true);
  ResetTransUdpMin();
  ResetTransUdpSmart();
}

bool TStopCodesQchUdpMsg::TransSendSomeUdp() const {
  return TransUdpMin() < 11 || TransUdpErrorMin() < 11;
}

bool TStopCodesQchUdpMsg::TransSmartUdp() const {
  return TransUdpSmartPast() > 0 || TransUdpSmartFuture() > 0;
}

void TStopCodesQchUdpMsg::ResetTransUdpMin() {
  SetInt(kTransUdpMinOffset, 11);
  SetInt(kTransUdpErrorMinOffset, 11);
}

void TStopCodesQchUdpMsg::ResetTransUdpSmart() {
  SetInt(kTransUdpSmartPastOffset, 50);
  SetInt(kTransUdpSmartFutureOffset, 20);
}

std::string TStopCodesQchUdpMsg::DumpText() const {
  std::string text = TQchUdpMsg::DumpText();
  for (int bit = kRepStandTestArrayOnDoneProcessing; bit <= kRepQuorStatDataOnCatPersUDP; ++bit)
    text += "\r\n" + std::string(kStopCodeNames[bit - kRepStandTestArrayOnDoneProcessing]) + "=" +
            TrueFalse(GetBit(bit));
  text += "\r\nTransSendSomeUdp=" + TrueFalse(TransSendSomeUdp());
  text += "\r\nTransSmartUdp=" + TrueFalse(TransSmartUdp());
  text += "\r\nTransUdpMin=" + std::to_string(TransUdpMin());
  text += "\r\nTransUdpErrorMin=" + std::to_string(TransUdpErrorMin());
  text += "\r\nTransUdpSmartPast=" + std::to_string(TransUdpSmartPast());
  text += "\r\nTransUdpSmartFuture=" + std::to_string(TransUdpSmartFuture());
  return text;
}

bool TStopCodesQchUdpMsg::SelfTest() {
  TQchUdpMsg::SelfTest();
  const std::string saved = FBytes;
  bool bits[256];
  for (bool& bit : bits) bit = RandomInt(100) % 2 == 1;
  for (int i = 0; i < 256; ++i) SetBit(i, bits[i]);
  for (int i = 0; i < 256; ++i) {
    if (GetBit(i) != bits[i]) SelfTestFailed(" bit " + std::to_string(i) + " check failed.");
  }
  const struct {
    int Offset;
    std::int32_t Value;
    const char* Name;
  } ints[] = {{kTransUdpMinOffset, 98898, "TransUdpMin"},
              {kTransUdpErrorMinOffset, 323, "TransUdpErrorMin"},
              {kTransUdpSmartPastOffset, 343, "TransUdpSmartPast"},
              {kTransUdpSmartFutureOffset, 34342, "TransUdpSmartFuture"}};
  for (const auto& probe : ints) {
    SetInt(probe.Offset, probe.Value);
    if (GetInt(probe.Offset) != probe.Value)
      SelfTestFailed(std::string(" ") + probe.Name + " check failed.");
  }
  FBytes = saved;
  return true;
}

// ---------------------------------------------------------------------------
// TStringQchUdpMsg

void TStringQchUdpMsg::SetText(std::string_view text) {
  FBytes.resize(kQchUdpHeaderSize, '\0');
  FBytes.append(text);
}

bool TStringQchUdpMsg::SelfTest() {
  TQchUdpMsg::SelfTest();
  const std::string saved = FBytes;
  std::string text(1000, '\0');
  for (char& c : text) c = static_cast<char>(RandomInt(255));
  SetText(text);
  if (GetText() != text) SelfTestFailed(" TestStr read/write check failed.");
  if (GetDataSize() != 1000) SelfTestFailed(" DataSize check failed.");
  FBytes = saved;
  return true;
}

std::unique_ptr<TStringQchUdpMsg> MakeQchUdpReport(TQchUdpKind kind, std::string_view text) {
  auto datagram = std::make_unique<TStringQchUdpMsg>();
  datagram->SetInt(kQchUdpKindOffset, kind);
  datagram->SetText(text);
  return datagram;
}

std::unique_ptr<TQchUdpMsg> QchUdpParse(std::string_view bytes) {
  std::string copy(bytes);
  const std::int32_t kind = TQchUdpMsg(copy).Kind();
  switch (kind) {
    case kQchUdpStopCodes:
      return std::make_unique<TStopCodesQchUdpMsg>(std::move(copy));
    case kQchUdpTranscript:
      TranscriptLog(kTranscriptSource, "QCH_UDP_KIND_TRANSCRIPT not implemented", 10, true);
      return std::make_unique<TQchUdpMsg>(std::move(copy));
    case kQchUdpQchMsg:
      TranscriptLog(kTranscriptSource, "QCH_UDP_KIND_QCH_MSG not implemented", 10, true);
      return std::make_unique<TQchUdpMsg>(std::move(copy));
    case kQchUdpTestsDone:
    case kQchUdpTestsCatPers:
    case kQchUdpTestsCatSpam:
    case kQchUdpStatDataDone:
    case kQchUdpStatDataCatPers:
    case kQchUdpStatDataCatSpam:
      return std::make_unique<TStringQchUdpMsg>(std::move(copy));
    default:
      TranscriptLog(kTranscriptSource, "read unknown message type", 10, true);
      return nullptr;
  }
}

}  // namespace halvorn
