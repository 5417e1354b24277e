#include "lists/dcc/dcc_packets.h"

#include <algorithm>
#include <cstring>

namespace halvorn {

namespace {

void PutBig16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v & 0xFF));
}

void PutBig32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void PutLittle32(std::string& out, std::uint32_t v) {
  for (int shift = 0; shift <= 24; shift += 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

std::string Header(std::size_t length, std::uint8_t operation, const TDccRequestNumbers& n) {
  std::string out;
  out.reserve(length);
  PutBig16(out, static_cast<std::uint16_t>(length));
  out.push_back(static_cast<char>(kDccProtocolVersion));
  out.push_back(static_cast<char>(operation));
  PutBig32(out, kDccAnonymousClient);
  PutLittle32(out, n.H);
  PutLittle32(out, n.P);
  PutLittle32(out, n.R);
  PutLittle32(out, n.T);
  return out;
}

}  // namespace

std::string DccOperationName(int operation) {
  static const char* const kNames[] = {"DCC_OP_INVALID", "DCC_OP_NOP",   "DCC_OP_REPORT",
                                       "DCC_OP_QUERY",   "DCC_OP_QUERY_RESP", "DCC_OP_ADMN",
                                       "DCC_OP_OK",      "DCC_OP_ERROR", "DCC_OP_DELETE"};
  if (operation >= 0 && operation <= DCC_OP_DELETE) return kNames[operation];
  return "DCC_OP_" + std::to_string(operation);
}

std::string BuildDccNop(const TDccRequestNumbers& numbers) {
  std::string out = Header(kDccNopBytes, DCC_OP_NOP, numbers);
  out.append(kDccSignatureBytes, '\0');
  return out;
}

std::vector<std::uint8_t> DccQueryTypes(const TDccChecksums& record) {
  std::vector<std::uint8_t> types;
  for (const TDccSlot& slot : record.Slots) {
    if (slot.Type < DCC_CK_IP || slot.Type > DCC_CK_SRVR_ID) continue;
    if (static_cast<int>(types.size()) == kDccMaxItems) break;
    types.push_back(slot.Type);
  }
  return types;
}

std::string BuildDccQuery(const TDccChecksums& record, const TDccRequestNumbers& numbers) {
  int items = 0;
  std::string body;
  for (const TDccSlot& slot : record.Slots) {
    if (slot.Type < DCC_CK_IP || slot.Type > DCC_CK_SRVR_ID) continue;
    if (items == kDccMaxItems) break;
    ++items;
    body.push_back(static_cast<char>(slot.Type));
    body.push_back(static_cast<char>(kDccItemBytes));
    body.append(reinterpret_cast<const char*>(slot.Sum.data()), slot.Sum.size());
  }
  const std::size_t length = DccQueryBytes(items);
  std::string out = Header(length, DCC_OP_QUERY, numbers);
  PutBig32(out, 0);  // the target count of a query
  out += body;
  out.append(kDccSignatureBytes, '\0');
  return out;
}

// ---- TDccReply

TDccReply::TDccReply(std::string_view datagram) : FReceived(datagram.size()) {
  std::memcpy(FBytes.data(), datagram.data(), std::min(datagram.size(), FBytes.size()));
}

bool TDccReply::IsPacket() const {
  return FReceived >= kDccHeaderBytes && Length() == FReceived;
}

std::uint16_t TDccReply::Length() const {
  return static_cast<std::uint16_t>(FBytes[0] << 8 | FBytes[1]);
}

std::uint32_t TDccReply::Sender() const {
  return std::uint32_t{FBytes[4]} << 24 | std::uint32_t{FBytes[5]} << 16 |
         std::uint32_t{FBytes[6]} << 8 | FBytes[7];
}

std::uint32_t TDccReply::R() const {
  return std::uint32_t{FBytes[16]} | std::uint32_t{FBytes[17]} << 8 |
         std::uint32_t{FBytes[18]} << 16 | std::uint32_t{FBytes[19]} << 24;
}

std::uint32_t TDccReply::Count(int i) const {
  if (i < 0) return 0;
  const std::size_t at = kDccHeaderBytes + 4 * static_cast<std::size_t>(i);
  if (at + 4 > FBytes.size() || at + 4 > FReceived) return 0;
  return std::uint32_t{FBytes[at]} << 24 | std::uint32_t{FBytes[at + 1]} << 16 |
         std::uint32_t{FBytes[at + 2]} << 8 | FBytes[at + 3];
}

std::uint16_t TDccReply::DelayMs() const {
  return static_cast<std::uint16_t>(FBytes[26] << 8 | FBytes[27]);
}

std::string TDccReply::Brand() const {
  return TextAt(28, kDccBrandBytes);
}

std::string TDccReply::ErrorText() const {
  return TextAt(kDccHeaderBytes, FBytes.size());
}

std::string TDccReply::TextAt(std::size_t offset, std::size_t limit) const {
  const std::size_t end = std::min({offset + limit, FBytes.size(), FReceived});
  std::string text;
  for (std::size_t i = offset; i < end && FBytes[i] != 0; ++i)
    text.push_back(static_cast<char>(FBytes[i]));
  return text;
}

}  // namespace halvorn
