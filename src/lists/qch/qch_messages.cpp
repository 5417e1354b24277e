#include "lists/qch/qch_messages.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "foundation/log/log_sink.h"
#include "foundation/text/text_compression.h"
#include "lists/qch/qch_udp.h"

namespace halvorn {

namespace {

constexpr const char* kLogService = "QCH";
constexpr int kDigestSize = 16;
constexpr int kCountsSize = static_cast<int>(sizeof(TMsgCategoryCounts));
constexpr int kRecordSize = static_cast<int>(sizeof(TMsgSearchRec));

}  // namespace

TQchKeyBytes QchKeyBytes(const std::string& key) {
  TQchKeyBytes bytes{};
  std::memcpy(bytes.data(), key.data(), std::min(key.size(), bytes.size()));
  return bytes;
}

std::string QchKeyText(const TQchKeyBytes& bytes) {
  const auto* begin = reinterpret_cast<const char*>(bytes.data());
  return std::string(begin, ::strnlen(begin, bytes.size()));
}

// ---------------------------------------------------------------------------
// Bases

int TQchClientMsg::GetHeaderSize() const {
  const int body = 16 + 4 + 16 + (QchLayoutOf(Version) == TQchLayout::Old ? 4 : 0);
  return TQchMsg::GetHeaderSize() + Sized(body);
}

void TQchClientMsg::EncodeFields() {
  TQchMsg::EncodeFields();
  const std::size_t section = BeginSection();
  const TQchKeyBytes key = QchKeyBytes(Key);
  WriteBytes(key.data(), key.size());
  WriteInt(UserId);
  if (Layout() == TQchLayout::Old) WriteInt(static_cast<std::int32_t>(Version));
  WriteBytes(ClientTag.data(), ClientTag.size());
  EndSection(section);
}

bool TQchClientMsg::DecodeFields() {
  if (!TQchMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section)) return false;
  UserId = 0;
  TQchKeyBytes key{};
  if (!ReadBytes(key.data(), key.size()) || !ReadInt(UserId)) return false;
  Key = QchKeyText(key);
  if (Layout() == TQchLayout::Old) {
    std::int32_t version = 0;
    if (!ReadInt(version)) return false;
    Version = static_cast<std::uint32_t>(version);
  }
  if (!ReadBytes(ClientTag.data(), ClientTag.size())) return false;
  return EndReadSection(section);
}

int TQchServerMsg::GetHeaderSize() const {
  return TQchMsg::GetHeaderSize() + Sized(1);
}

void TQchServerMsg::EncodeFields() {
  TQchMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteByte(Status);
  EndSection(section);
}

bool TQchServerMsg::DecodeFields() {
  if (!TQchMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section)) return false;
  Status = 0;
  if (!ReadByte(Status)) return false;
  return EndReadSection(section);
}

// ---------------------------------------------------------------------------
// Requests

int TQchMatchQueryMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() + Sized(CheckSumsSize(CheckSums) + 3 * kDigestSize);
}

void TQchMatchQueryMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteCheckSums(CheckSums);
  WriteBytes(BodySum.data(), kDigestSize);
  WriteBytes(Fuz1Sum.data(), kDigestSize);
  WriteBytes(Fuz2Sum.data(), kDigestSize);
  EndSection(section);
}

bool TQchMatchQueryMsg::DecodeFields() {
  if (!TQchClientMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section)) return false;
  // A checksum array that cannot be read leaves nothing to find the digests
  // by: the query is malformed.
  if (!ReadCheckSums(CheckSums)) return false;
  if (!ReadBytes(BodySum.data(), kDigestSize) || !ReadBytes(Fuz1Sum.data(), kDigestSize) ||
      !ReadBytes(Fuz2Sum.data(), kDigestSize))
    return false;
  return EndReadSection(section);
}

int TQchMsgRecReqMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() + Sized(4);
}

void TQchMsgRecReqMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteInt(MsgNumber);
  EndSection(section);
}

bool TQchMsgRecReqMsg::DecodeFields() {
  if (!TQchClientMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section) || !ReadInt(MsgNumber)) return false;
  return EndReadSection(section);
}

int TQchCategorizeReqMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() + Sized(9);
}

void TQchCategorizeReqMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteInt(MsgNumber);
  WriteByte(Category);
  WriteInt(Spare);
  EndSection(section);
}

bool TQchCategorizeReqMsg::DecodeFields() {
  if (!TQchClientMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section) || !ReadInt(MsgNumber) || !ReadByte(Category) ||
      !ReadInt(Spare))
    return false;
  bool ok = true;
  if (Category > Mc_Personal) {
    Category = Mc_Unknown;
    ok = false;
  }
  return EndReadSection(section) && ok;
}

int TQchSubmitTextMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() +
         Sized(CheckSumsSize(CheckSums) + 3 * kDigestSize + 1 + TextSize(Text));
}

void TQchSubmitTextMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteCheckSums(CheckSums);
  WriteBytes(BodySum.data(), kDigestSize);
  WriteBytes(Fuz1Sum.data(), kDigestSize);
  WriteBytes(Fuz2Sum.data(), kDigestSize);
  WriteByte(Category);
  WriteText(Text);
  EndSection(section);
}

bool TQchSubmitTextMsg::DecodeFields() {
  if (!TQchClientMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section) || !ReadCheckSums(CheckSums) ||
      !ReadBytes(BodySum.data(), kDigestSize) || !ReadBytes(Fuz1Sum.data(), kDigestSize) ||
      !ReadBytes(Fuz2Sum.data(), kDigestSize) || !ReadByte(Category) || !ReadText(Text))
    return false;
  bool ok = true;
  if (Category >= 10) {
    Category = Mc_Unknown;
    ok = false;
  }
  return EndReadSection(section) && ok;
}

int TQchUserUpdateMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() + Sized(4 + TextSize(ExtraInfo));
}

void TQchUserUpdateMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteInt(MsgNumber);
  WriteText(ExtraInfo);
  EndSection(section);
}

bool TQchUserUpdateMsg::DecodeFields() {
  if (!TQchClientMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section) || !ReadInt(MsgNumber) || !ReadText(ExtraInfo)) return false;
  return EndReadSection(section);
}

std::string TQchSubmitTestsMsg::TriteText() const {
  std::string text = TriteArrayToText(Trites);
  CompressString(text);
  return text;
}

int TQchSubmitTestsMsg::GetHeaderSize() const {
  int body = TextSize(TriteText()) + TextSize(Probabilities.SaveToText());
  if (QchLayoutOf(Version) == TQchLayout::New) body += TextSize(StatData) + 1;
  return TQchClientMsg::GetHeaderSize() + Sized(body);
}

void TQchSubmitTestsMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteText(TriteText());
  if (Layout() == TQchLayout::New) WriteText(StatData);
  WriteText(Probabilities.SaveToText());
  if (Layout() == TQchLayout::New) WriteByte(Occasion);
  EndSection(section);
}

bool TQchSubmitTestsMsg::DecodeFields() {
  if (!TQchClientMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section)) return false;
  StatData.clear();
  std::string trites;
  if (!ReadText(trites)) return false;
  try {
    ExpandString(trites);
    Trites = TriteArrayFromText(trites);
  } catch (const std::exception&) {
    return false;
  }
  if (Layout() == TQchLayout::New && !ReadText(StatData)) return false;
  std::string probabilities;
  if (!ReadText(probabilities)) return false;
  Probabilities.LoadFromText(probabilities);
  if (Layout() == TQchLayout::New && !ReadByte(Occasion)) return false;
  return EndReadSection(section);
}

int TQchGetExternalIpMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() + Sized(0);
}

void TQchGetExternalIpMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  EndSection(BeginSection());
}

bool TQchGetExternalIpMsg::DecodeFields() {
  if (!TQchClientMsg::DecodeFields()) return false;
  TSectionStart section;
  return BeginReadSection(section) && EndReadSection(section);
}

// ---------------------------------------------------------------------------
// Replies

int TQchRedirectMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() + Sized(TextSize(Host));
}

void TQchRedirectMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteText(Host);
  EndSection(section);
}

bool TQchRedirectMsg::DecodeFields() {
  if (!TQchServerMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section) || !ReadText(Host)) return false;
  return EndReadSection(section);
}

int TQchAssignUserIdMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() + Sized(21);
}

void TQchAssignUserIdMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteBytes(Key.data(), Key.size());
  WriteInt(UserId);
  WriteByte(Spare);
  EndSection(section);
}

bool TQchAssignUserIdMsg::DecodeFields() {
  if (!TQchServerMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section) || !ReadBytes(Key.data(), Key.size()) || !ReadInt(UserId) ||
      !ReadByte(Spare))
    return false;
  return EndReadSection(section);
}

int TQchEmailUserMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() + Sized(TextSize(Text));
}

void TQchEmailUserMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteText(Text);
  EndSection(section);
}

bool TQchEmailUserMsg::DecodeFields() {
  if (!TQchServerMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section)) return false;
  Text.clear();
  if (!ReadText(Text)) return false;
  return EndReadSection(section);
}

int TQchMatchResponseMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() +
         Sized(4 + 4 + static_cast<int>(Records.size()) * kRecordSize + 4 + TextSize(ExtraInfo));
}

void TQchMatchResponseMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteInt(MsgNumber);
  WriteInt(static_cast<std::int32_t>(Records.size()) * kRecordSize);
  for (const TMsgSearchRec& record : Records) WriteBytes(&record, sizeof record);
  WriteInt(TextItemId);
  WriteText(ExtraInfo);
  EndSection(section);
}

bool TQchMatchResponseMsg::DecodeFields() {
  if (!TQchServerMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section)) return false;
  Records.clear();
  std::int32_t count = 0;
  if (!ReadInt(MsgNumber) || !ReadInt(count)) return false;
  if (count < 0 || count % kRecordSize != 0 || static_cast<std::size_t>(count) > BytesLeft())
    return false;
  Records.resize(static_cast<std::size_t>(count / kRecordSize));
  for (TMsgSearchRec& record : Records) ReadBytes(&record, sizeof record);
  if (!ReadInt(TextItemId)) return false;
  // The extra information is optional: a text that cannot be read leaves it
  // empty and the records stand.
  if (!ReadText(ExtraInfo)) ExtraInfo.clear();
  return EndReadSection(section);
}

int TQchMsgRecResponseMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() +
         Sized(4 + 8 + 8 + TextSize(Rec.ExtraInfo) + 4 + kCountsSize + CheckSumsSize(Rec.CheckSums));
}

void TQchMsgRecResponseMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteInt(Rec.MsgNumber);
  WriteDate(Rec.FirstSeen);
  WriteDate(Rec.LastSeen);
  WriteText(Rec.ExtraInfo);
  WriteInt(Rec.TimesEncountered);
  WriteBytes(&Rec.Counts, sizeof Rec.Counts);
  WriteCheckSums(Rec.CheckSums);
  EndSection(section);
}

bool TQchMsgRecResponseMsg::DecodeFields() {
  if (!TQchServerMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section)) return false;
  InitMessageRec(Rec);
  if (!ReadInt(Rec.MsgNumber) || !ReadDate(Rec.FirstSeen) || !ReadDate(Rec.LastSeen) ||
      !ReadText(Rec.ExtraInfo) || !ReadInt(Rec.TimesEncountered) ||
      !ReadBytes(&Rec.Counts, sizeof Rec.Counts) || !ReadCheckSums(Rec.CheckSums))
    return false;
  return EndReadSection(section);
}

int TQchCategorizeResponseMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() + Sized(TextSize(Text));
}

void TQchCategorizeResponseMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteText(Text);
  EndSection(section);
}

bool TQchCategorizeResponseMsg::DecodeFields() {
  if (!TQchServerMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section)) return false;
  Text.clear();
  if (!ReadText(Text)) return false;
  return EndReadSection(section);
}

TQchReturnProbResponseMsg::TQchReturnProbResponseMsg(std::int32_t msgId, std::uint32_t version)
    : TQchServerMsg(msgId, version),
      Probabilities("TQchReturnProbResponseMsg"),
      StopCodes(QchStopCodes()->Bytes()) {
  MsgType = Qch_ReturnProbResponse;
}

int TQchReturnProbResponseMsg::GetHeaderSize() const {
  int body = TextSize(Probabilities.SaveToText());
  if (QchLayoutOf(Version) == TQchLayout::New) body += TextSize(StopCodes);
  return TQchServerMsg::GetHeaderSize() + Sized(body);
}

void TQchReturnProbResponseMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteText(Probabilities.SaveToText());
  if (Layout() == TQchLayout::New) WriteText(StopCodes);
  EndSection(section);
}

bool TQchReturnProbResponseMsg::DecodeFields() {
  if (!TQchServerMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section)) return false;
  Probabilities.Clear();
  std::string probabilities;
  if (!ReadText(probabilities)) return false;
  Probabilities.LoadFromText(probabilities);
  if (Layout() == TQchLayout::New) {
    if (!ReadText(StopCodes)) return false;
    if (!StopCodes.empty()) ReplaceQchStopCodes(StopCodes, "a reply of the central service");
  }
  return EndReadSection(section);
}

int TQchGetExternalIpResponseMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() + Sized(4);
}

void TQchGetExternalIpResponseMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  const std::size_t section = BeginSection();
  WriteInt(Address);
  EndSection(section);
}

bool TQchGetExternalIpResponseMsg::DecodeFields() {
  if (!TQchServerMsg::DecodeFields()) return false;
  TSectionStart section;
  if (!BeginReadSection(section)) return false;
  Address = 0;
  if (!ReadInt(Address)) return false;
  return EndReadSection(section);
}

// ---------------------------------------------------------------------------
// The factory

std::unique_ptr<TQchMsg> MakeQchMsg(std::uint8_t type) {
  switch (type) {
    case Qch_Blank:
      return std::make_unique<TQchMsg>();
    case Qch_Client:
      return std::make_unique<TQchClientMsg>();
    case Qch_Server:
      return std::make_unique<TQchServerMsg>(0, 0);
    case Qch_Redirect:
      return std::make_unique<TQchRedirectMsg>(0, 0);
    case Qch_AssignUserId:
      return std::make_unique<TQchAssignUserIdMsg>(0, 0);
    case Qch_EmailUser:
      return std::make_unique<TQchEmailUserMsg>(0, 0);
    case Qch_MatchQuery:
      return std::make_unique<TQchMatchQueryMsg>();
    case Qch_MatchResponse:
      return std::make_unique<TQchMatchResponseMsg>(0, 0);
    case Qch_MsgRecReq:
      return std::make_unique<TQchMsgRecReqMsg>();
    case Qch_MsgRecResponse:
      return std::make_unique<TQchMsgRecResponseMsg>(0, 0);
    case Qch_CategorizeReq:
      return std::make_unique<TQchCategorizeReqMsg>();
    case Qch_CategorizeResponse:
      return std::make_unique<TQchCategorizeResponseMsg>(0, 0);
    case Qch_SubmitTxtReq:
      return std::make_unique<TQchSubmitTextMsg>();
    case Qch_UserUpdateReq:
      return std::make_unique<TQchUserUpdateMsg>();
    case Qch_SubmitTestsReq:
      return std::make_unique<TQchSubmitTestsMsg>();
    case Qch_ReturnProbResponse:
      return std::make_unique<TQchReturnProbResponseMsg>(0, 0);
    case Qch_GetExternalIp:
      return std::make_unique<TQchGetExternalIpMsg>();
    case Qch_GetExternalIpResponse:
      return std::make_unique<TQchGetExternalIpResponseMsg>(0, 0);
    default:
      return nullptr;
  }
}

std::unique_ptr<TQchMsg> CreateQchMsgFromStream(TQchBuffer& buffer) {
  try {
    const std::string_view frame = buffer.View();
    if (QchFrameState(frame) != TQchFrameState::Complete) return nullptr;
    std::int32_t length = 0;
    std::memcpy(&length, frame.data(), sizeof length);
    const std::uint8_t type = PeekQchMsgType(frame) & 0x7F;
    std::unique_ptr<TQchMsg> msg = MakeQchMsg(type);
    if (msg) msg->Decode(frame);
    buffer.Consume(static_cast<std::size_t>(length));
    if (!msg)
      Log(kLogService,
          "A frame of the unknown type " + std::to_string(type) + " (" + std::to_string(length) +
              " bytes) from the central service is skipped",
          3, true);
    return msg;
  } catch (const std::exception& e) {
    Log(kLogService, std::string("A frame from the central service cannot be read: ") + e.what(),
        5, true);
    return nullptr;
  }
}

}  // namespace halvorn
