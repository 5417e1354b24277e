#include "lists/qch/qch_msg.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "foundation/files/version_info.h"
#include "foundation/time/clock.h"

namespace halvorn {

static_assert(std::endian::native == std::endian::little,
              "the service's integers are little-endian and copied as they are");

namespace {

std::int32_t LengthAtFront(std::string_view buffer) {
  std::int32_t length = 0;
  std::memcpy(&length, buffer.data(), sizeof length);
  return length;
}

std::atomic<std::uint32_t> LastMsgId{0};

}  // namespace

TQchLayout QchLayoutOf(std::uint32_t version) {
  if (VersionLess(version, kQchSizedVersion)) return TQchLayout::Old;
  if (VersionGreater(version, kQchSizedVersion)) return TQchLayout::New;
  return TQchLayout::At;
}

TQchFrameState QchFrameState(std::string_view buffer) {
  if (buffer.size() < 4) return TQchFrameState::Incomplete;
  const std::int32_t length = LengthAtFront(buffer);
  if (length < kQchOldHeaderSize || length > kQchMaxFrameSize) return TQchFrameState::Invalid;
  if (buffer.size() < static_cast<std::size_t>(length)) return TQchFrameState::Incomplete;
  return TQchFrameState::Complete;
}

bool IsCompleteQchFrame(std::string_view buffer) {
  return QchFrameState(buffer) == TQchFrameState::Complete;
}

std::uint8_t PeekQchMsgType(std::string_view buffer) {
  return buffer.size() > 4 ? static_cast<std::uint8_t>(buffer[4]) : 0;
}

void TQchBuffer::Consume(std::size_t n) {
  FStart += std::min(n, Size());
  if (FStart == FData.size()) {
    Clear();
  } else if (FStart >= 4096 && FStart >= FData.size() / 2) {
    FData.erase(0, FStart);
    FStart = 0;
  }
}

// ---------------------------------------------------------------------------
// TQchMsg

TQchMsg::TQchMsg() : Version(GetPackedVersion()), MsgId(NextMsgId()) {}

TQchMsg::TQchMsg(TQCHMsgType type, std::int32_t msgId, std::uint32_t version)
    : MsgType(type), Version(version), MsgId(msgId) {}

void TQchMsg::Encode() {
  FStream.clear();
  FPos = 0;
  FLayout = QchLayoutOf(Version);
  EncodeFields();
}

void TQchMsg::EncodeFields() {
  WriteInt(0);  // the frame length, set by WriteTo
  WriteByte(MsgType);
  if (FLayout == TQchLayout::Old) return;
  WriteInt(kQchMarker);
  WriteInt(kQchHeaderSize);
  WriteInt(static_cast<std::int32_t>(Version));
  WriteInt(MsgId);
}

int TQchMsg::GetHeaderSize() const {
  return QchLayoutOf(Version) == TQchLayout::Old ? kQchOldHeaderSize : kQchHeaderSize;
}

bool TQchMsg::Decode(std::string_view source) {
  FDecoded = false;
  if (QchFrameState(source) != TQchFrameState::Complete) return false;
  FStream.assign(source.substr(0, static_cast<std::size_t>(LengthAtFront(source))));
  FPos = 4;
  FDecoded = DecodeFields();
  return FDecoded;
}

bool TQchMsg::DecodeFields() {
  std::uint8_t type = 0;
  if (!ReadByte(type) || type != MsgType) return false;
  std::int32_t marker = 0;
  if (!ReadInt(marker) || marker != kQchMarker) {
    Version = kQchMarkerlessVersion;
    FPos = kQchOldHeaderSize;
    FLayout = TQchLayout::Old;
    return true;
  }
  std::int32_t headerSize = 0;
  std::int32_t version = 0;
  std::int32_t id = 0;
  if (!ReadInt(headerSize) || !ReadInt(version) || !ReadInt(id)) return false;
  Version = static_cast<std::uint32_t>(version);
  MsgId = id;
  if (VersionLess(Version, kQchSizedVersion)) return false;
  if (headerSize < kQchHeaderSize || static_cast<std::size_t>(headerSize) > FStream.size())
    return false;
  // A newer peer's longer header: its surplus is skipped.
  FPos = static_cast<std::size_t>(headerSize);
  FLayout = QchLayoutOf(Version);
  return true;
}

void TQchMsg::WriteTo(std::string& target) {
  Encode();
  const std::int32_t length = static_cast<std::int32_t>(FStream.size());
  std::memcpy(FStream.data(), &length, sizeof length);
  target += FStream;
}

void TQchMsg::WriteInt(std::int32_t value) {
  WriteBytes(&value, sizeof value);
}

void TQchMsg::WriteByte(std::uint8_t value) {
  WriteBytes(&value, sizeof value);
}

void TQchMsg::WriteDate(TDateTime value) {
  WriteBytes(&value, sizeof value);
}

void TQchMsg::WriteText(const std::string& text) {
  WriteInt(static_cast<std::int32_t>(text.size()));
  WriteBytes(text.data(), text.size());
}

void TQchMsg::WriteCheckSums(const TCheckSumArray& sums) {
  WriteInt(static_cast<std::int32_t>(sums.size() * 4));
  WriteBytes(sums.data(), sums.size() * 4);
}

void TQchMsg::WriteBytes(const void* data, std::size_t size) {
  if (size == 0) return;
  FStream.append(static_cast<const char*>(data), size);
}

std::size_t TQchMsg::BeginSection() {
  const std::size_t start = FStream.size();
  if (FLayout == TQchLayout::New) WriteInt(0);
  return start;
}

void TQchMsg::EndSection(std::size_t start) {
  if (FLayout != TQchLayout::New) return;
  const std::int32_t size = static_cast<std::int32_t>(FStream.size() - start);
  std::memcpy(FStream.data() + start, &size, sizeof size);
}

bool TQchMsg::ReadBytes(void* data, std::size_t size) {
  if (BytesLeft() < size) return false;
  if (size == 0) return true;
  std::memcpy(data, FStream.data() + FPos, size);
  FPos += size;
  return true;
}

bool TQchMsg::ReadInt(std::int32_t& value) {
  return ReadBytes(&value, sizeof value);
}

bool TQchMsg::ReadByte(std::uint8_t& value) {
  return ReadBytes(&value, sizeof value);
}

bool TQchMsg::ReadDate(TDateTime& value) {
  return ReadBytes(&value, sizeof value);
}

bool TQchMsg::ReadText(std::string& text) {
  std::int32_t length = 0;
  if (!ReadInt(length) || length < 0 || static_cast<std::size_t>(length) > BytesLeft())
    return false;
  text.assign(FStream, FPos, static_cast<std::size_t>(length));
  FPos += static_cast<std::size_t>(length);
  return true;
}

bool TQchMsg::ReadCheckSums(TCheckSumArray& sums) {
  std::int32_t count = 0;
  if (!ReadInt(count) || count < 0 || count % 4 != 0 ||
      static_cast<std::size_t>(count) > BytesLeft())
    return false;
  sums.resize(static_cast<std::size_t>(count) / 4);
  return ReadBytes(sums.data(), static_cast<std::size_t>(count));
}

bool TQchMsg::BeginReadSection(TSectionStart& section) {
  section.Start = FPos;
  section.Size = -1;
  if (FLayout != TQchLayout::New) return true;
  return ReadInt(section.Size);
}

bool TQchMsg::EndReadSection(const TSectionStart& section) {
  if (FLayout != TQchLayout::New) return true;
  const std::size_t used = FPos - section.Start;
  if (section.Size < 0 || static_cast<std::size_t>(section.Size) < used) return false;
  const std::size_t end = section.Start + static_cast<std::size_t>(section.Size);
  if (end > FStream.size()) return false;
  FPos = end;
  return true;
}

std::int32_t NextMsgId() {
  const std::uint32_t tick = static_cast<std::uint32_t>(SteadyMilliseconds());
  std::uint32_t last = LastMsgId.load();
  std::uint32_t id = 0;
  do {
    id = static_cast<std::int32_t>(tick - last) > 0 ? tick : last + 1;
    if (id == 0) id = 1;
  } while (!LastMsgId.compare_exchange_weak(last, id));
  return static_cast<std::int32_t>(id);
}

std::int32_t TicksSince(std::int32_t start) {
  const std::uint32_t now = static_cast<std::uint32_t>(SteadyMilliseconds());
  const std::int32_t elapsed = static_cast<std::int32_t>(now - static_cast<std::uint32_t>(start));
  return elapsed < 0 ? 0 : elapsed;
}

}  // namespace halvorn
