#include "message/msg_search_rec.h"

#include <cstring>

namespace halvorn {

void InitMsgSearchRec(TMsgSearchRec& record) {
  std::memset(&record, 0, sizeof record);
}

double RepetitionFactor(const TMsgSearchRecArray& records) {
  for (const TMsgSearchRec& record : records) {
    if (record.Kind != kMatchRepetition) continue;
    if (record.TimesEncountered <= 0) return 0;
    return static_cast<double>(record.ItemId) / record.TimesEncountered;
  }
  return 0;
}

}  // namespace halvorn
