#include "foundation/intercept/ip_mapping.h"

#include <gtest/gtest.h>

#include "foundation/time/clock.h"
#include "foundation/time/date_time.h"

namespace halvorn {
namespace {

TIPMappingEntry Entry(std::uint32_t redirected, std::uint16_t port, std::uint32_t original,
                      std::uint32_t pid) {
  TIPMappingEntry entry;
  entry.Redirected = MakeSockAddrIn(redirected, port);
  entry.Original = MakeSockAddrIn(original, 110);
  entry.ProcessId = pid;
  return entry;
}

TEST(SockAddrIn, KeepsTheSharedSixteenByteLayout) {
  TSockAddrIn address = MakeSockAddrIn(0x7f420102, 110);  // 127.66.1.2:110
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
  const std::uint8_t expected[16] = {2, 0, 0, 110, 127, 66, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;
  EXPECT_EQ(HostOrderAddress(address), 0x7f420102u);
  EXPECT_EQ(HostOrderPort(address), 110);
}

TEST(IPMapping, EntriesLiveOneMinuteAndGoAtTheNextAdd) {
  ScopedClockForTests clock(EncodeDateTime(2026, 3, 1, 10, 0, 0));
  TIPMapping mapping;
  mapping.Add(Entry(0x7f420101, 1110, 0x0a000001, 41));
  const TSockAddrIn key = MakeSockAddrIn(0x7f420101, 0);

  SetClockForTests(EncodeDateTime(2026, 3, 1, 10, 0, 59));
  EXPECT_TRUE(mapping.Lookup(key).has_value());
  mapping.Add(Entry(0x7f420202, 1110, 0x0a000002, 42));
  EXPECT_EQ(mapping.Count(), 2) << "an entry younger than a minute survives an Add";

  SetClockForTests(EncodeDateTime(2026, 3, 1, 10, 1, 1));
  EXPECT_TRUE(mapping.Lookup(key).has_value()) << "only an Add drops expired entries";
  mapping.Add(Entry(0x7f420303, 1110, 0x0a000003, 43));
  EXPECT_FALSE(mapping.Lookup(key).has_value());
  ASSERT_EQ(mapping.Count(), 2);
  EXPECT_EQ(mapping.Items(0)->ProcessId, 42u);
  EXPECT_NEAR(mapping.Items(1)->Expiry, EncodeDateTime(2026, 3, 1, 10, 2, 1), 1e-8);
  EXPECT_FALSE(mapping.Items(2).has_value());
  EXPECT_FALSE(mapping.Items(-1).has_value());
}

TEST(IPMapping, LookupMatchesTheRedirectedAddressOnly) {
  ScopedClockForTests clock(EncodeDateTime(2026, 3, 1, 10, 0, 0));
  TIPMapping mapping;
  mapping.Add(Entry(0x7f420101, 1110, 0x0a000001, 1));
  mapping.Add(Entry(0x7f420101, 2525, 0x0a000002, 2));  // same address, later entry
  mapping.Add(Entry(0x7f420202, 1110, 0x7f420101, 3));  // original equals the first key
  struct Row {
    std::uint32_t address;
    std::uint16_t port;
    std::uint32_t expectedPid;  // 0: none
  } rows[] = {
      {0x7f420101, 1110, 1},
      {0x7f420101, 9999, 1},  // the port is not compared; the first entry wins
      {0x7f420202, 0, 3},
      {0x0a000001, 110, 0},  // an original destination is no key
      {0x7f420303, 1110, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address);
    auto found = mapping.Lookup(MakeSockAddrIn(row.address, row.port));
    EXPECT_EQ(found.has_value() ? found->ProcessId : 0u, row.expectedPid);
  }
}

TEST(IPMapping, LookedUpEntryStaysValidWhenAnAddDropsTheListsCopy) {
  ScopedClockForTests clock(EncodeDateTime(2026, 3, 1, 10, 0, 0));
  TIPMapping mapping;
  mapping.Add(Entry(0x7f420101, 1110, 0x0a000009, 77));
  auto held = mapping.Lookup(MakeSockAddrIn(0x7f420101, 0));
  ASSERT_TRUE(held.has_value());
  SetClockForTests(EncodeDateTime(2026, 3, 1, 10, 5, 0));
  mapping.Add(Entry(0x7f420202, 1110, 0x0a000002, 2));  // frees the expired entry
  EXPECT_EQ(mapping.Count(), 1);
  EXPECT_EQ(held->ProcessId, 77u);
  EXPECT_EQ(HostOrderAddress(held->Original), 0x0a000009u);
  EXPECT_FALSE(mapping.Remove(*held)) << "already gone from the list";
}

TEST(IPMapping, RemoveAndTakeTakeOutExactlyOneEntry) {
  ScopedClockForTests clock(EncodeDateTime(2026, 3, 1, 10, 0, 0));
  TIPMapping mapping;
  mapping.Add(Entry(0x7f420101, 1110, 0x0a000001, 1));
  mapping.Add(Entry(0x7f420101, 1110, 0x0a000002, 2));
  auto first = mapping.Lookup(MakeSockAddrIn(0x7f420101, 0));
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(mapping.Remove(*first));
  EXPECT_FALSE(mapping.Remove(*first));
  auto taken = mapping.Take(MakeSockAddrIn(0x7f420101, 0));
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(taken->ProcessId, 2u);
  EXPECT_FALSE(mapping.Take(MakeSockAddrIn(0x7f420101, 0)).has_value());
  EXPECT_EQ(mapping.Count(), 0);
}

TEST(ProcessIdList, AddKeepsOneIndexPerPid) {
  TProcessIdList list;
  struct Row {
    std::uint32_t pid;
    int expectedIndex;
  } rows[] = {{100, 0}, {200, 1}, {100, 0}, {0, 2}, {200, 1}, {300, 3}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pid);
    EXPECT_EQ(list.Add(row.pid), row.expectedIndex);
  }
  EXPECT_EQ(list.Count(), 4);
  std::uint32_t found = 12345;
  EXPECT_FALSE(list.Find(400, found));
  EXPECT_EQ(found, 12345u) << "a miss leaves the out value alone";
  EXPECT_TRUE(list.Find(0, found));
  EXPECT_EQ(found, 0u);
  EXPECT_TRUE(list.Remove(200));
  EXPECT_FALSE(list.Contains(200));
  EXPECT_EQ(list.Add(200), 3);
}

}  // namespace
}  // namespace halvorn
