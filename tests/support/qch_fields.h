// The fields of a central-service message as the JSON object that
// tests/data/qch_frames.py encodes: the tests hand it to the Python oracle
// and compare decoded messages by it, the fuzz targets compare a message
// with its re-encoding by it. Byte and text fields are hexadecimal.
#pragma once

#include <cstdio>
#include <string>

#include "foundation/text/numbers.h"
#include "lists/qch/qch_messages.h"

namespace halvorn::test {

namespace qch_fields_detail {

inline std::string Num(long long value) {
  return std::to_string(value);
}

inline std::string Real(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// Upper-case digits (the oracle reads either case); only the program's own
// code, so the fuzz targets can use it too.
inline std::string Hex(std::string_view bytes) {
  std::string text = "\"";
  for (unsigned char c : bytes) text += IntToHexDigits(c, 2);
  return text + "\"";
}

template <std::size_t N>
std::string Hex(const std::array<std::uint8_t, N>& bytes) {
  return Hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), N));
}

inline std::string Sums(const TCheckSumArray& sums) {
  std::string text = "[";
  for (std::size_t i = 0; i < sums.size(); ++i) text += (i ? "," : "") + Num(sums[i]);
  return text + "]";
}

inline std::string Counts(const TMsgCategoryCounts& counts) {
  return "[" + Num(counts.ChainLetter) + "," + Num(counts.Petition) + "," +
         Num(counts.UrbanLegend) + "," + Num(counts.Bulk) + "," + Num(counts.Hoax) + "," +
         Num(counts.Joke) + "," + Num(counts.Virus) + "," + Num(counts.CommercialSpam) + "," +
         Num(counts.Personal) + "]";
}

inline std::string Record(const TMsgSearchRec& r) {
  return "{\"kind\":" + Num(r.Kind) + ",\"times_encountered\":" + Num(r.TimesEncountered) +
         ",\"counts\":" + Counts(r.Counts) + ",\"staff\":" + Num(r.Counts.StaffCategory) +
         ",\"item_id\":" + Num(r.ItemId) + ",\"extra_count\":" + Num(r.ExtraCount) +
         ",\"common_count\":" + Num(r.CommonCount) + ",\"missing_count\":" + Num(r.MissingCount) +
         "}";
}

inline std::string Client(const TQchClientMsg& m) {
  return ",\"user_id\":" + Num(m.UserId) + ",\"key\":" + Hex(m.Key.substr(0, 16)) +
         ",\"client_tag\":" + Hex(m.ClientTag);
}

inline std::string Digests(const TDigest16& body, const TDigest16& fuz1, const TDigest16& fuz2) {
  return ",\"body_sum\":" + Hex(body) + ",\"fuz1_sum\":" + Hex(fuz1) + ",\"fuz2_sum\":" + Hex(fuz2);
}

}  // namespace qch_fields_detail

// The message's fields; with `withHeader` also its version and id.
inline std::string QchFieldsJson(const TQchMsg& msg, bool withHeader = true) {
  using namespace qch_fields_detail;
  std::string j = "{\"type\":" + Num(msg.MsgType);
  if (withHeader) j += ",\"version\":" + Num(msg.Version) + ",\"id\":" + Num(msg.MsgId);
  if (const auto* c = dynamic_cast<const TQchClientMsg*>(&msg)) j += Client(*c);
  if (const auto* s = dynamic_cast<const TQchServerMsg*>(&msg)) j += ",\"status\":" + Num(s->Status);
  if (const auto* m = dynamic_cast<const TQchMatchQueryMsg*>(&msg)) {
    j += ",\"check_sums\":" + Sums(m->CheckSums) + Digests(m->BodySum, m->Fuz1Sum, m->Fuz2Sum);
  } else if (const auto* m = dynamic_cast<const TQchMsgRecReqMsg*>(&msg)) {
    j += ",\"msg_number\":" + Num(m->MsgNumber);
  } else if (const auto* m = dynamic_cast<const TQchCategorizeReqMsg*>(&msg)) {
    j += ",\"msg_number\":" + Num(m->MsgNumber) + ",\"category\":" + Num(m->Category) +
         ",\"spare\":" + Num(m->Spare);
  } else if (const auto* m = dynamic_cast<const TQchSubmitTextMsg*>(&msg)) {
    j += ",\"check_sums\":" + Sums(m->CheckSums) + Digests(m->BodySum, m->Fuz1Sum, m->Fuz2Sum) +
         ",\"category\":" + Num(m->Category) + ",\"text\":" + Hex(m->Text);
  } else if (const auto* m = dynamic_cast<const TQchUserUpdateMsg*>(&msg)) {
    j += ",\"msg_number\":" + Num(m->MsgNumber) + ",\"extra_info\":" + Hex(m->ExtraInfo);
  } else if (const auto* m = dynamic_cast<const TQchSubmitTestsMsg*>(&msg)) {
    j += ",\"trites\":\"" + TriteArrayToText(m->Trites) + "\",\"stat_data\":" + Hex(m->StatData) +
         ",\"probabilities\":\"" + m->Probabilities.SaveToText() +
         "\",\"occasion\":" + Num(m->Occasion);
  } else if (const auto* m = dynamic_cast<const TQchRedirectMsg*>(&msg)) {
    j += ",\"host\":" + Hex(m->Host);
  } else if (const auto* m = dynamic_cast<const TQchAssignUserIdMsg*>(&msg)) {
    j += ",\"key\":" + Hex(m->Key) + ",\"user_id\":" + Num(m->UserId) + ",\"spare\":" +
         Num(m->Spare);
  } else if (const auto* m = dynamic_cast<const TQchEmailUserMsg*>(&msg)) {
    j += ",\"text\":" + Hex(m->Text);
  } else if (const auto* m = dynamic_cast<const TQchMatchResponseMsg*>(&msg)) {
    j += ",\"msg_number\":" + Num(m->MsgNumber) + ",\"records\":[";
    for (std::size_t i = 0; i < m->Records.size(); ++i) j += (i ? "," : "") + Record(m->Records[i]);
    j += "],\"text_item_id\":" + Num(m->TextItemId) + ",\"extra_info\":" + Hex(m->ExtraInfo);
  } else if (const auto* m = dynamic_cast<const TQchMsgRecResponseMsg*>(&msg)) {
    const TMessageRec& r = m->Rec;
    j += ",\"rec\":{\"msg_number\":" + Num(r.MsgNumber) + ",\"first_seen\":" + Real(r.FirstSeen) +
         ",\"last_seen\":" + Real(r.LastSeen) + ",\"extra_info\":" + Hex(r.ExtraInfo) +
         ",\"times_encountered\":" + Num(r.TimesEncountered) + ",\"counts\":" + Counts(r.Counts) +
         ",\"staff\":" + Num(r.Counts.StaffCategory) + ",\"check_sums\":" + Sums(r.CheckSums) +
         "}";
  } else if (const auto* m = dynamic_cast<const TQchCategorizeResponseMsg*>(&msg)) {
    j += ",\"text\":" + Hex(m->Text);
  } else if (const auto* m = dynamic_cast<const TQchReturnProbResponseMsg*>(&msg)) {
    j += ",\"probabilities\":\"" + m->Probabilities.SaveToText() +
         "\",\"stop_codes\":" + Hex(m->StopCodes);
  } else if (const auto* m = dynamic_cast<const TQchGetExternalIpResponseMsg*>(&msg)) {
    j += ",\"address\":" + Num(m->Address);
  }
  return j + "}";
}

}  // namespace halvorn::test
