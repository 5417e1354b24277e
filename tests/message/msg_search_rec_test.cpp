#include "message/msg_search_rec.h"

#include <gtest/gtest.h>

#include <cstring>

#include "message/dnsrbl_lookup.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// The record is the service's wire layout: fields at their offsets,
// little-endian, padding zero after InitMsgSearchRec.
TEST(MsgSearchRec, WireLayoutAndInitialisation) {
  TMsgSearchRec record;
  std::memset(&record, 0xAB, sizeof record);
  InitMsgSearchRec(record);
  const std::string zeros(44, '\0');
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&record), sizeof record), zeros);

  record.Kind = 2;
  record.TimesEncountered = 0x01020304;
  record.Counts.ChainLetter = 0x0506;
  record.Counts.Personal = 0x0708;
  record.Counts.StaffCategory = 9;
  record.ItemId = -2;
  record.MissingCount = 0x0A0B0C0D;
  const std::string bytes(reinterpret_cast<const char*>(&record), sizeof record);
  const std::string expected = std::string("02000000")     // kind, padding
                               + "04030201"                 // times encountered
                               + "0605" + std::string(28, '0') + "0807"  // nine counts
                               + "09"                       // staff category
                               + "00"                       // padding
                               + "feffffff"                 // item id
                               + "00000000" + "00000000"    // extra, common
                               + "0d0c0b0a";                // missing
  EXPECT_EQ(test::HexOf(bytes), expected);
}

TEST(MsgSearchRec, RepetitionFactor) {
  auto record = [](std::uint8_t kind, std::int32_t times, std::int32_t item) {
    TMsgSearchRec r;
    InitMsgSearchRec(r);
    r.Kind = kind;
    r.TimesEncountered = times;
    r.ItemId = item;
    return r;
  };
  struct Row {
    TMsgSearchRecArray records;
    double factor;
  } rows[] = {
      {{}, 0},
      {{record(1, 4, 8), record(2, 2, 9)}, 0},
      {{record(1, 4, 8), record(3, 4, 10), record(3, 1, 7)}, 2.5},
      {{record(3, 0, 10)}, 0},
      // A count the wire gave as negative must not turn the factor negative.
      {{record(3, -4, 10)}, 0},
  };
  for (const Row& row : rows) EXPECT_DOUBLE_EQ(RepetitionFactor(row.records), row.factor);
}

// Until the block-list services install their kind, a message gets an
// empty container; afterwards the installed kind.
TEST(DnsrblLookup, FactorySeam) {
  ASSERT_NE(NewDnsrblLookup(), nullptr);
  struct Counting : TAsynchDNSRBLLookupBase {
    void Clear() override {}
  };
  int made = 0;
  SetDnsrblLookupFactory([&] {
    ++made;
    return std::make_unique<Counting>();
  });
  auto lookup = NewDnsrblLookup();
  EXPECT_NE(dynamic_cast<Counting*>(lookup.get()), nullptr);
  EXPECT_EQ(made, 1);
  SetDnsrblLookupFactory(nullptr);
  EXPECT_EQ(dynamic_cast<Counting*>(NewDnsrblLookup().get()), nullptr);
}

}  // namespace
}  // namespace halvorn
