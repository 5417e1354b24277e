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

// A category byte above `last` is replaced by 0 (false); a request carries
// no flags on its category.
bool KeepCategoryInRange(std::uint8_t& category, std::uint8_t last) {
  if (category <= last) return true;
  category = Mc_Unknown;
  return false;
}

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
  WriteSection([&] {
    const TQchKeyBytes key = QchKeyBytes(Key);
    WriteBytes(key.data(), key.size());
    WriteInt(UserId);
    if (Layout() == TQchLayout::Old) WriteInt(static_cast<std::int32_t>(Version));
    WriteBytes(ClientTag.data(), ClientTag.size());
  });
}

bool TQchClientMsg::DecodeFields() {
  return TQchMsg::DecodeFields() && ReadSection([&] {
           UserId = 0;
           TQchKeyBytes key{};
           if (!ReadBytes(key.data(), key.size()) || !ReadInt(UserId)) return false;
           Key = QchKeyText(key);
           if (Layout() == TQchLayout::Old) {
             std::int32_t version = 0;
             if (!ReadInt(version)) return false;
             Version = static_cast<std::uint32_t>(version);
           }
           return ReadBytes(ClientTag.data(), ClientTag.size());
         });
}

int TQchServerMsg::GetHeaderSize() const {
  return TQchMsg::GetHeaderSize() + Sized(1);
}

void TQchServerMsg::EncodeFields() {
  TQchMsg::EncodeFields();
  WriteSection([&] { WriteByte(Status); });
}

bool TQchServerMsg::DecodeFields() {
  return TQchMsg::DecodeFields() && ReadSection([&] {
           Status = 0;
           return ReadByte(Status);
         });
}

// ---------------------------------------------------------------------------
// Requests

int TQchMatchQueryMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() + Sized(CheckSumsSize(CheckSums) + 3 * kDigestSize);
}

void TQchMatchQueryMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  WriteSection([&] {
    WriteCheckSums(CheckSums);
    WriteBytes(BodySum.data(), kDigestSize);
    WriteBytes(Fuz1Sum.data(), kDigestSize);
    WriteBytes(Fuz2Sum.data(), kDigestSize);
  });
}

bool TQchMatchQueryMsg::DecodeFields() {
  // A checksum array that cannot be read leaves nothing to find the digests
  // by: the query is malformed.
  return TQchClientMsg::DecodeFields() && ReadSection([&] {
           return ReadCheckSums(CheckSums) && ReadBytes(BodySum.data(), kDigestSize) &&
                  ReadBytes(Fuz1Sum.data(), kDigestSize) && ReadBytes(Fuz2Sum.data(), kDigestSize);
         });
}

int TQchMsgRecReqMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() + Sized(4);
}

void TQchMsgRecReqMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  WriteSection([&] { WriteInt(MsgNumber); });
}

bool TQchMsgRecReqMsg::DecodeFields() {
  return TQchClientMsg::DecodeFields() && ReadSection([&] { return ReadInt(MsgNumber); });
}

int TQchCategorizeReqMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() + Sized(9);
}

void TQchCategorizeReqMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  WriteSection([&] {
    WriteInt(MsgNumber);
    WriteByte(Category);
    WriteInt(Spare);
  });
}

bool TQchCategorizeReqMsg::DecodeFields() {
  bool inRange = true;
  const bool read = TQchClientMsg::DecodeFields() && ReadSection([&] {
                      if (!ReadInt(MsgNumber) || !ReadByte(Category) || !ReadInt(Spare))
                        return false;
                      inRange = KeepCategoryInRange(Category, Mc_Personal);
                      return true;
                    });
  return read && inRange;
}

int TQchSubmitTextMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() +
         Sized(CheckSumsSize(CheckSums) + 3 * kDigestSize + 1 + TextSize(Text));
}

void TQchSubmitTextMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  WriteSection([&] {
    WriteCheckSums(CheckSums);
    WriteBytes(BodySum.data(), kDigestSize);
    WriteBytes(Fuz1Sum.data(), kDigestSize);
    WriteBytes(Fuz2Sum.data(), kDigestSize);
    WriteByte(Category);
    WriteText(Text);
  });
}

bool TQchSubmitTextMsg::DecodeFields() {
  bool inRange = true;
  const bool read =
      TQchClientMsg::DecodeFields() && ReadSection([&] {
        if (!ReadCheckSums(CheckSums) || !ReadBytes(BodySum.data(), kDigestSize) ||
            !ReadBytes(Fuz1Sum.data(), kDigestSize) || !ReadBytes(Fuz2Sum.data(), kDigestSize) ||
            !ReadByte(Category) || !ReadText(Text))
          return false;
        inRange = KeepCategoryInRange(Category, Mc_Personal);
        return true;
      });
  return read && inRange;
}

int TQchUserUpdateMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() + Sized(4 + TextSize(ExtraInfo));
}

void TQchUserUpdateMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  WriteSection([&] {
    WriteInt(MsgNumber);
    WriteText(ExtraInfo);
  });
}

bool TQchUserUpdateMsg::DecodeFields() {
  return TQchClientMsg::DecodeFields() &&
         ReadSection([&] { return ReadInt(MsgNumber) && ReadText(ExtraInfo); });
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
  WriteSection([&] {
    WriteText(TriteText());
    if (Layout() == TQchLayout::New) WriteText(StatData);
    WriteText(Probabilities.SaveToText());
    if (Layout() == TQchLayout::New) WriteByte(Occasion);
  });
}

bool TQchSubmitTestsMsg::DecodeFields() {
  return TQchClientMsg::DecodeFields() && ReadSection([&] {
           StatData.clear();
           std::string trites;
           if (!ReadText(trites)) return false;
           try {
             ExpandString(trites);
             Trites = TriteArrayFromText(trites);
           } catch (const std::exception&) {
             return false;
           }
           const bool sized = Layout() == TQchLayout::New;
           if (sized && !ReadText(StatData)) return false;
           std::string probabilities;
           if (!ReadText(probabilities)) return false;
           Probabilities.LoadFromText(probabilities);
           return !sized || ReadByte(Occasion);
         });
}

int TQchGetExternalIpMsg::GetHeaderSize() const {
  return TQchClientMsg::GetHeaderSize() + Sized(0);
}

void TQchGetExternalIpMsg::EncodeFields() {
  TQchClientMsg::EncodeFields();
  WriteSection([] {});
}

bool TQchGetExternalIpMsg::DecodeFields() {
  return TQchClientMsg::DecodeFields() && ReadSection([] { return true; });
}

// ---------------------------------------------------------------------------
// Replies

int TQchRedirectMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() + Sized(TextSize(Host));
}

void TQchRedirectMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  WriteSection([&] { WriteText(Host); });
}

bool TQchRedirectMsg::DecodeFields() {
  return TQchServerMsg::DecodeFields() && ReadSection([&] { return ReadText(Host); });
}

int TQchAssignUserIdMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() + Sized(21);
}

void TQchAssignUserIdMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  WriteSection([&] {
    WriteBytes(Key.data(), Key.size());
    WriteInt(UserId);
    WriteByte(Spare);
  });
}

bool TQchAssignUserIdMsg::DecodeFields() {
  return TQchServerMsg::DecodeFields() && ReadSection([&] {
           return ReadBytes(Key.data(), Key.size()) && ReadInt(UserId) && ReadByte(Spare);
         });
}

int TQchEmailUserMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() + Sized(TextSize(Text));
}

void TQchEmailUserMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  WriteSection([&] { WriteText(Text); });
}

bool TQchEmailUserMsg::DecodeFields() {
  return TQchServerMsg::DecodeFields() && ReadSection([&] {
           Text.clear();
           return ReadText(Text);
         });
}

int TQchMatchResponseMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() +
         Sized(4 + 4 + static_cast<int>(Records.size()) * kRecordSize + 4 + TextSize(ExtraInfo));
}

void TQchMatchResponseMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  WriteSection([&] {
    WriteInt(MsgNumber);
    WriteInt(static_cast<std::int32_t>(Records.size()) * kRecordSize);
    for (const TMsgSearchRec& record : Records) WriteBytes(&record, sizeof record);
    WriteInt(TextItemId);
    WriteText(ExtraInfo);
  });
}

bool TQchMatchResponseMsg::DecodeFields() {
  return TQchServerMsg::DecodeFields() && ReadSection([&] {
           Records.clear();
           std::int32_t count = 0;
           if (!ReadInt(MsgNumber) || !ReadInt(count)) return false;
           if (count < 0 || count % kRecordSize != 0 ||
               static_cast<std::size_t>(count) > BytesLeft())
             return false;
           Records.resize(static_cast<std::size_t>(count / kRecordSize));
           for (TMsgSearchRec& record : Records) ReadBytes(&record, sizeof record);
           if (!ReadInt(TextItemId)) return false;
           // The extra information is optional: a text that cannot be read
           // leaves it empty and the records stand.
           if (!ReadText(ExtraInfo)) ExtraInfo.clear();
           return true;
         });
}

int TQchMsgRecResponseMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() +
         Sized(4 + 8 + 8 + TextSize(Rec.ExtraInfo) + 4 + kCountsSize + CheckSumsSize(Rec.CheckSums));
}

void TQchMsgRecResponseMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  WriteSection([&] {
    WriteInt(Rec.MsgNumber);
    WriteDate(Rec.FirstSeen);
    WriteDate(Rec.LastSeen);
    WriteText(Rec.ExtraInfo);
    WriteInt(Rec.TimesEncountered);
    WriteBytes(&Rec.Counts, sizeof Rec.Counts);
    WriteCheckSums(Rec.CheckSums);
  });
}

bool TQchMsgRecResponseMsg::DecodeFields() {
  return TQchServerMsg::DecodeFields() && ReadSection([&] {
           InitMessageRec(Rec);
           return ReadInt(Rec.MsgNumber) && ReadDate(Rec.FirstSeen) && ReadDate(Rec.LastSeen) &&
                  ReadText(Rec.ExtraInfo) && ReadInt(Rec.TimesEncountered) &&
                  ReadBytes(&Rec.Counts, sizeof Rec.Counts) && ReadCheckSums(Rec.CheckSums);
         });
}

int TQchCategorizeResponseMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() + Sized(TextSize(Text));
}

void TQchCategorizeResponseMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  WriteSection([&] { WriteText(Text); });
}

bool TQchCategorizeResponseMsg::DecodeFields() {
  return TQchServerMsg::DecodeFields() && ReadSection([&] {
           Text.clear();
           return ReadText(Text);
         });
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
  WriteSection([&] {
    WriteText(Probabilities.SaveToText());
    if (Layout() == TQchLayout::New) WriteText(StopCodes);
  });
}

bool TQchReturnProbResponseMsg::DecodeFields() {
  return TQchServerMsg::DecodeFields() && ReadSection([&] {
           Probabilities.Clear();
           std::string probabilities;
           if (!ReadText(probabilities)) return false;
           Probabilities.LoadFromText(probabilities);
           if (Layout() != TQchLayout::New) return true;
           if (!ReadText(StopCodes)) return false;
           if (!StopCodes.empty()) ReplaceQchStopCodes(StopCodes, "a reply of the central service");
           return true;
         });
}

int TQchGetExternalIpResponseMsg::GetHeaderSize() const {
  return TQchServerMsg::GetHeaderSize() + Sized(4);
}

void TQchGetExternalIpResponseMsg::EncodeFields() {
  TQchServerMsg::EncodeFields();
  WriteSection([&] { WriteInt(Address); });
}

bool TQchGetExternalIpResponseMsg::DecodeFields() {
  return TQchServerMsg::DecodeFields() && ReadSection([&] {
           Address = 0;
           return ReadInt(Address);
         });
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
