#include "foundation/dns/dns_packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/dns/dns_records.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

// ---- small helpers to write packets by hand ----

std::string Word16(unsigned v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v & 255)};
}
std::string Word32(unsigned v) {
  return Word16(v >> 16) + Word16(v & 0xFFFF);
}

// A name in uncompressed wire form.
std::string WireName(std::string_view dotted) {
  std::string out;
  std::size_t start = 0;
  while (start < dotted.size()) {
    std::size_t dot = dotted.find('.', start);
    if (dot == std::string_view::npos) dot = dotted.size();
    out.push_back(static_cast<char>(dot - start));
    out.append(dotted.substr(start, dot - start));
    start = dot + 1;
  }
  out.push_back('\0');
  return out;
}

std::string Header(unsigned id, unsigned flags, unsigned qd, unsigned an, unsigned ns,
                   unsigned ar) {
  return Word16(id) + Word16(flags) + Word16(qd) + Word16(an) + Word16(ns) + Word16(ar);
}

std::string Question(std::string_view name, unsigned type) {
  return WireName(name) + Word16(type) + Word16(1);
}

// A record with an owner already in wire form (plain or a pointer).
std::string Record(const std::string& owner, unsigned type, unsigned ttl, const std::string& data) {
  return owner + Word16(type) + Word16(1) + Word32(ttl) +
         Word16(static_cast<unsigned>(data.size())) + data;
}

const std::string kPointerToQuestion = "\xC0\x0C";

// Renders what our parser read in the line format the oracle prints.
std::string Render(const TQueryResults& r) {
  std::ostringstream out;
  out << "Q " << r.QueryName << ' ' << r.QueryType << ' ' << r.QueryClass << " rcode=" << r.RCode
      << " aa=" << r.AuthoritativeAnswer << " ra=" << r.RecursionAvailable << '\n';
  for (int i = 0; i < r.Count(); ++i) {
    const TResourceRecord* rec = r.Items(i);
    out << "R " << int(rec->Section) << ' ' << rec->Name << ' ' << rec->TypeCode << ' '
        << rec->RecordClass << ' ' << rec->TTL << ' ';
    if (auto* a = dynamic_cast<const TRDATARecord*>(rec)) {
      out << "IP=" << a->IPAddress;
    } else if (auto* n = dynamic_cast<const TNAMERecord*>(rec)) {
      out << "Host=" << n->HostName;
    } else if (auto* mx = dynamic_cast<const TMXRecord*>(rec)) {
      out << "Pref=" << mx->Preference << " Server=" << mx->ExchangeServer;
    } else if (auto* h = dynamic_cast<const THINFORecord*>(rec)) {
      out << "CPU=" << h->CPU << " OS=" << h->OS;
    } else if (auto* t = dynamic_cast<const TTextRecord*>(rec)) {
      out << "Text=";
      for (const auto& s : t->Text) out << '[' << s << ']';
    } else if (auto* soa = dynamic_cast<const TSOARecord*>(rec)) {
      out << "Primary=" << soa->Primary << " RP=" << soa->ResponsiblePerson
          << " Serial=" << soa->Serial << " Refresh=" << soa->Refresh << " Retry=" << soa->Retry
          << " Expire=" << soa->Expire << " Min=" << soa->MinimumTTL;
    } else if (auto* w = dynamic_cast<const TWKSRecord*>(rec)) {
      out << "Address=" << w->Address << " Protocol=" << int(w->Protocol)
          << " BitMap=" << test::HexOf(w->BitMap);
    }
    out << '\n';
  }
  return out.str();
}

// ---- the dnspython oracle ----

struct OracleCase {
  std::string Label;
  std::uint16_t Id = 0;
  std::string Wire;
  std::string Expected;  // the Q and R lines
};

const std::vector<OracleCase>& OracleAnswers() {
  static const std::vector<OracleCase> cases = [] {
    std::vector<OracleCase> out;
    test::CommandResult run = test::RunPython(test::ReadFileBytes(test::DataPath("dns_oracle.py")));
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    std::istringstream lines(run.Output);
    std::string line;
    OracleCase current;
    while (std::getline(lines, line)) {
      if (line.rfind("CASE ", 0) == 0) {
        current = OracleCase{};
        current.Label = line.substr(5);
      } else if (line.rfind("ID ", 0) == 0) {
        current.Id = static_cast<std::uint16_t>(std::stoul(line.substr(3)));
      } else if (line.rfind("WIRE ", 0) == 0) {
        current.Wire = test::BytesFromHex(line.substr(5));
      } else if (line == "END") {
        out.push_back(current);
      } else {
        current.Expected += line + "\n";
      }
    }
    return out;
  }();
  return cases;
}

// ---- query types and sets ----

TEST(DnsTypes, CodesNamesAndSetBits) {
  struct Row {
    TQType type;
    std::uint16_t code;
    const char* name;
    std::uint32_t bit;
  } rows[] = {
      {qA, 1, "A", 0x1},       {qNS, 2, "NS", 0x2},        {qCName, 5, "CName", 0x10},
      {qSOA, 6, "SOA", 0x20},  {qNull, 10, "Null", 0x200}, {qPTR, 12, "PTR", 0x0800},
      {qMX, 15, "MX", 0x4000}, {qTXT, 16, "TXT", 0x8000},  {qSTAR, 255, "STAR", 0x10000},
      {qOther, 0, "Other", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(QTypeCode(row.type), row.code);
    EXPECT_EQ(QTypeName(row.type), row.name);
    EXPECT_EQ(TQTypeSet{row.type}.Bits(), row.bit);
    EXPECT_EQ(TQTypeSet::FromBits(row.bit).Contains(row.type), row.bit != 0);
  }
  // Received type codes: only 1-16 have a type of their own.
  struct CodeRow {
    std::uint16_t code;
    TQType type;
  } codes[] = {{1, qA},      {15, qMX},    {16, qTXT},    {0, qOther},    {17, qOther},
               {28, qOther}, {41, qOther}, {255, qOther}, {65535, qOther}};
  for (const CodeRow& row : codes) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(QTypeOfRecordCode(row.code), row.type);
  }

  TQTypeSet set{qMX, qA, qOther};
  EXPECT_EQ(set.Bits(), 0x4001u);
  EXPECT_EQ(set.Count(), 2);
  EXPECT_EQ(set.First(), qA);
  EXPECT_EQ(set.Types(), (std::vector<TQType>{qA, qMX}));
  EXPECT_FALSE(set.Contains(qOther));
  EXPECT_EQ(TQTypeSet::FromBits(0xFFFFFFFF).Count(), 17);
  EXPECT_EQ(TQTypeSet{}.First(), qOther);
}

// ---- query packets ----

TEST(DnsQueryPacket, BuildsTheExpectedBytes) {
  struct Row {
    const char* name;
    TQTypeSet types;
    bool recurse;
    std::uint16_t id;
    std::string expected;
  } rows[] = {
      {"example.com",
       {qA},
       true,
       0x1234,
       Header(0x1234, 0x0100, 1, 0, 0, 0) + Question("example.com", 1)},
      // A trailing "." adds nothing; case is kept.
      {"Mail.Example.ORG.",
       {qMX},
       false,
       7,
       Header(7, 0, 1, 0, 0, 0) + Question("Mail.Example.ORG", 15)},
      {"10.1.2.3",
       {qPTR},
       true,
       1,
       Header(1, 0x0100, 1, 0, 0, 0) + Question("3.2.1.10.in-addr.arpa", 12)},
      {"3.2.1.10.in-addr.arpa",
       {qPTR},
       true,
       1,
       Header(1, 0x0100, 1, 0, 0, 0) + Question("3.2.1.10.in-addr.arpa", 12)},
      {"3.2.1.10.IN-ADDR.ARPA",
       {qPTR},
       true,
       1,
       Header(1, 0x0100, 1, 0, 0, 0) + Question("3.2.1.10.IN-ADDR.ARPA", 12)},
      // The address form applies to the PTR entry alone; entries in ordinal order.
      {"1.2.3.4",
       {qPTR, qA},
       true,
       9,
       Header(9, 0x0100, 2, 0, 0, 0) + Question("1.2.3.4", 1) +
           Question("4.3.2.1.in-addr.arpa", 12)},
      {"x", {qSTAR}, true, 0xFFFF, Header(0xFFFF, 0x0100, 1, 0, 0, 0) + Question("x", 255)},
      {".",
       {qNS},
       true,
       2,
       Header(2, 0x0100, 1, 0, 0, 0) + std::string(1, '\0') + Word16(2) + Word16(1)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(test::HexOf(BuildQueryPacket(row.name, row.types, row.recurse, row.id)),
              test::HexOf(row.expected));
  }
}

TEST(DnsQueryPacket, RefusesWhatCannotBeEncoded) {
  const std::string label63(63, 'a');
  const std::string label64(64, 'a');
  // 4 labels of 63 bytes: 4 * 64 + 1 = 257 bytes on the wire.
  const std::string tooLong = label63 + "." + label63 + "." + label63 + "." + label63;
  // 3 * 64 + 62 + 1 = 255 bytes: the longest name there is.
  const std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  struct Row {
    std::string name;
    TQTypeSet types;
    bool built;
  } rows[] = {
      {"example.com", {}, false},  {"", {qA}, false},         {"a..b", {qA}, false},
      {".a", {qA}, false},         {"a.b..", {qA}, false},    {label64, {qA}, false},
      {label63, {qA}, true},       {tooLong, {qA}, false},    {longest, {qA}, true},
      {"300.1.1.1", {qPTR}, true}, {"1..1.1", {qPTR}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(!BuildQueryPacket(row.name, row.types, true, 1).empty(), row.built);
  }
}

TEST(DnsQueryPacket, DnspythonReadsOurQuestions) {
  struct Row {
    const char* name;
    TQTypeSet types;
    bool recurse;
    std::uint16_t id;
    const char* expected;
  } rows[] = {
      {"example.com", {qA}, true, 1, "id=1 rd=1 qr=0 example.com. A IN"},
      {"gmail.com.", {qMX}, true, 65535, "id=65535 rd=1 qr=0 gmail.com. MX IN"},
      {"192.0.2.55", {qPTR}, true, 4321, "id=4321 rd=1 qr=0 55.2.0.192.in-addr.arpa. PTR IN"},
      {"2.0.0.127.zen.spamhaus.org",
       {qA},
       false,
       77,
       "id=77 rd=0 qr=0 2.0.0.127.zen.spamhaus.org. A IN"},
      {"_dmarc.Example.NET", {qTXT}, true, 3, "id=3 rd=1 qr=0 _dmarc.Example.NET. TXT IN"},
      {"example.org",
       {qSOA, qNS},
       true,
       12,
       "id=12 rd=1 qr=0 example.org. NS IN;example.org. SOA IN"},
      {"any.example", {qSTAR}, true, 5, "id=5 rd=1 qr=0 any.example. ANY IN"},
  };
  std::string input;
  for (const Row& row : rows)
    input += test::HexOf(BuildQueryPacket(row.name, row.types, row.recurse, row.id)) + "\n";
  test::CommandResult run =
      test::RunPython(test::ReadFileBytes(test::DataPath("dns_oracle.py")), input);
  ASSERT_EQ(run.ExitCode, 0) << run.Output;
  std::istringstream lines(run.Output);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, row.expected);
  }
}

// ---- names and character-strings ----

TEST(DnsDecodeName, ReadsNamesAndRejectsMalformedOnes) {
  // A header-sized prefix, so that pointers to offset 12 reach the first name.
  const std::string h(12, '\0');
  const std::string q = h + WireName("mail.example.com");  // "example.com" is at 17
  struct Row {
    const char* label;
    std::string packet;
    std::size_t start;
    std::string name;   // expected name when no error
    std::size_t after;  // expected offset afterwards
    const char* error;  // expected error message, or null
  } rows[] = {
      {"plain", q, 12, "mail.example.com", 30, nullptr},
      {"root", h + std::string(1, '\0'), 12, "", 13, nullptr},
      {"pointer to question", q + "\x03www" + kPointerToQuestion, 30, "www.mail.example.com", 36,
       nullptr},
      {"pointer alone", q + "\xC0\x11", 30, "example.com", 32, nullptr},
      {"pointer to pointer", q + "\xC0\x11" + "\xC0\x1E", 32, "example.com", 34, nullptr},
      {"runs to the end without zero",
       h + "\x03"
           "abc",
       12, "", 0, "Invalid Packet Size 3"},
      {"pointer at itself", h + "\xC0\x0C", 12, "", 0, "Runaway2"},
      {"two pointers in a loop", h + "\xC0\x0E\xC0\x0C", 12, "", 0, "Runaway2"},
      {"label then loop back",
       h + "\x01"
           "a"
           "\xC0\x0C",
       12, "", 0, "Name Too Long"},
      {"label past the end",
       h + "\x05"
           "abc",
       12, "", 0, "Invalid Packet Size 3"},
      {"start at the end", h, 12, "", 0, "Invalid Packet Size 3"},
      {"start past the end", h, 40, "", 0, "Invalid Packet Size 3"},
      {"pointer cut after one byte",
       h + "\x01"
           "a"
           "\xC0",
       12, "", 0, "Invalid Packet Size 3"},
      {"pointer beyond the packet", h + "\xC0\xFF", 12, "", 0, "Invalid Packet Size 3"},
      {"largest pointer", h + "\xFF\xFF", 12, "", 0, "Invalid Packet Size 3"},
      {"pointer to the end", h + "\xC0\x0E", 12, "", 0, "Invalid Packet Size 3"},
      {"label type 0x40",
       h +
           "\x41"
           "a" +
           std::string(70, 'a'),
       12, "", 0, "Invalid Label Type"},
      {"label type 0x80", h + "\x80" + std::string(130, 'a'), 12, "", 0, "Invalid Label Type"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::size_t offset = row.start;
    if (row.error) {
      try {
        DecodeName(row.packet, offset);
        ADD_FAILURE() << "no error";
      } catch (const EIdDnsResolverError& e) {
        EXPECT_STREQ(e.what(), row.error);
      }
    } else {
      EXPECT_EQ(DecodeName(row.packet, offset), row.name);
      EXPECT_EQ(offset, row.after);
    }
  }
}

TEST(DnsDecodeName, NamesAreLimitedTo255Bytes) {
  // Labels of 63 bytes chained by pointers: 3 fit (193 bytes with the root),
  // and 4 labels plus one more byte do not.
  std::string packet(12, '\0');
  std::string label(63, 'x');
  packet += "\x3F" + label + std::string(1, '\0');  // at 12
  packet += "\x3F" + label + "\xC0\x0C";            // at 77
  packet += "\x3F" + label + "\xC0\x4D";            // at 143
  packet += "\x3F" + label + "\xC0\x8F";            // at 209, 4 labels = 257 bytes
  std::size_t offset = 143;
  EXPECT_EQ(DecodeName(packet, offset).size(), 3u * 63 + 2);
  offset = 209;
  EXPECT_THROW(DecodeName(packet, offset), EIdDnsResolverError);
}

TEST(DnsCharacterString, ReadsWithinThePacketOnly) {
  struct Row {
    std::string packet;
    std::size_t start;
    std::string text;
    std::size_t after;
    bool error;
  } rows[] = {
      {"\x03"
       "abcX",
       0, "abc", 4, false},
      {std::string(1, '\0') + "x", 0, "", 1, false},
      {"ab", 2, "", 2, false},  // at the end: nothing read
      {"ab", 9, "", 9, false},  // beyond the end: nothing read
      {"\x05"
       "abc",
       0, "", 0, true},
      {"\xFF", 0, "", 0, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.packet);
    std::size_t offset = row.start;
    if (row.error) {
      EXPECT_THROW(ReadCharacterString(row.packet, offset), EIdDnsResolverError);
    } else {
      EXPECT_EQ(ReadCharacterString(row.packet, offset), row.text);
      EXPECT_EQ(offset, row.after);
    }
  }
}

// ---- answers ----

TEST(DnsAnswer, ReadsDnspythonAnswersToTheSameFields) {
  const auto& cases = OracleAnswers();
  ASSERT_GE(cases.size(), 9u);
  for (const OracleCase& c : cases) {
    SCOPED_TRACE(c.Label);
    TDNSHeader header;
    TQueryResults results;
    ASSERT_TRUE(ParseAnswerPacket(c.Wire, c.Id, header, results));
    EXPECT_EQ(Render(results), c.Expected);
    EXPECT_EQ(header.Id, c.Id);
    EXPECT_EQ(header.ANCount + header.NSCount + header.ARCount, results.Count());
    for (int i = 0; i < results.Count(); ++i) {
      EXPECT_EQ(results.Items(i)->RDLength, results.Items(i)->RData.size());
      EXPECT_EQ(results.Items(i)->Collection(), &results);
    }
  }
}

TEST(DnsAnswer, EveryTruncationOfAValidAnswerFailsCleanly) {
  for (const OracleCase& c : OracleAnswers()) {
    SCOPED_TRACE(c.Label);
    for (std::size_t n = 0; n < c.Wire.size(); ++n) {
      TDNSHeader header;
      header.Id = 0xABCD;
      TQueryResults results;
      results.QueryName = "left over";
      EXPECT_FALSE(ParseAnswerPacket(std::string_view(c.Wire).substr(0, n), c.Id, header, results))
          << "length " << n;
      EXPECT_EQ(results.Count(), 0);
      EXPECT_EQ(results.QueryName, "");
      EXPECT_EQ(header.Id, 0xABCD);
    }
  }
}

TEST(DnsAnswer, ChangedBytesNeverReadOutsideThePacket) {
  // Every byte of every valid answer set to values that make lengths, counts
  // and pointers point elsewhere; AddressSanitizer catches any stray read.
  const unsigned char values[] = {0x00, 0x01, 0x3F, 0x40, 0x80, 0xC0, 0xC1, 0xFF};
  int parsed = 0;
  for (const OracleCase& c : OracleAnswers()) {
    for (std::size_t i = 0; i < c.Wire.size(); ++i) {
      for (unsigned char v : values) {
        // An exact-length copy, so that a read past its end is a heap overflow.
        auto bytes = std::make_unique<char[]>(c.Wire.size());
        std::copy(c.Wire.begin(), c.Wire.end(), bytes.get());
        bytes[i] = static_cast<char>(v);
        TDNSHeader header;
        TQueryResults results;
        if (ParseAnswerPacket(std::string_view(bytes.get(), c.Wire.size()), c.Id, header, results))
          ++parsed;
        else
          EXPECT_EQ(results.Count(), 0);
      }
    }
  }
  EXPECT_GT(parsed, 0);
}

TEST(DnsAnswer, HostilePacketsFailTheParse) {
  const std::string q = Question("example.com", 1);
  const std::string a = Word32(0x01020304);
  struct Row {
    const char* label;
    std::string packet;
  } rows[] = {
      {"other id", Header(2, 0x8180, 1, 1, 0, 0) + q + Record(kPointerToQuestion, 1, 60, a)},
      {"header only", Header(1, 0x8180, 1, 0, 0, 0)},
      {"no question entry", Header(1, 0x8180, 0, 1, 0, 0) + Record(WireName("x"), 1, 60, a)},
      {"more records counted than sent",
       Header(1, 0x8180, 1, 2, 0, 0) + q + Record(kPointerToQuestion, 1, 60, a)},
      {"counts at their largest", Header(1, 0x8180, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF) + q},
      {"data length beyond the packet", Header(1, 0x8180, 1, 1, 0, 0) + q + kPointerToQuestion +
                                            Word16(1) + Word16(1) + Word32(60) + Word16(0xFFFF) +
                                            a},
      {"fixed fields cut short",
       Header(1, 0x8180, 1, 1, 0, 0) + q + kPointerToQuestion + Word16(1) + Word16(1) + Word16(0)},
      {"question type cut short",
       Header(1, 0x8180, 1, 0, 0, 0) + WireName("example.com") + std::string(1, '\0')},
      {"owner name pointer loop", Header(1, 0x8180, 1, 1, 0, 0) + q + Record("\xC0\x1D", 1, 60, a)},
      {"owner name pointer beyond the end",
       Header(1, 0x8180, 1, 1, 0, 0) + q + Record("\xFF\xFF", 1, 60, a)},
      {"question name pointer loop", Header(1, 0x8180, 1, 0, 0, 0) + "\xC0\x0C" + Word32(0x10001)},
      {"address of two bytes",
       Header(1, 0x8180, 1, 1, 0, 0) + q + Record(kPointerToQuestion, 1, 60, Word16(0x0102))},
      {"MX without exchange",
       Header(1, 0x8180, 1, 1, 0, 0) + q + Record(kPointerToQuestion, 15, 60, Word16(10))},
      {"MX preference cut", Header(1, 0x8180, 1, 1, 0, 0) + q +
                                Record(kPointerToQuestion, 15, 60, std::string(1, '\0'))},
      // The CNAME's name runs on past its data into the next record.
      {"name beyond its record data", Header(1, 0x8180, 1, 2, 0, 0) + q +
                                          Record(kPointerToQuestion, 5, 60, "\x03www") +
                                          Record(kPointerToQuestion, 1, 60, a)},
      {"name pointing past its record data", Header(1, 0x8180, 1, 1, 0, 0) + q +
                                                 Record(kPointerToQuestion, 5, 60, "\xC0\x30") +
                                                 std::string(8, '\x01')},
      {"SOA numbers cut",
       Header(1, 0x8180, 1, 0, 1, 0) + q +
           Record(kPointerToQuestion, 6, 60, kPointerToQuestion + kPointerToQuestion + Word32(1))},
      {"TXT string beyond its data", Header(1, 0x8180, 1, 1, 0, 0) + q +
                                         Record(kPointerToQuestion, 16, 60, "\x09short") +
                                         "trailing"},
      {"WKS shorter than five bytes",
       Header(1, 0x8180, 1, 1, 0, 0) + q + Record(kPointerToQuestion, 11, 60, a)},
      {"PTR with empty data",
       Header(1, 0x8180, 1, 1, 0, 0) + q + Record(kPointerToQuestion, 12, 60, "")},
      {"second question cut",
       Header(1, 0x8180, 2, 0, 0, 0) + q + WireName("example.com") + Word16(1)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    TDNSHeader header;
    TQueryResults results;
    EXPECT_FALSE(ParseAnswerPacket(row.packet, 1, header, results));
    EXPECT_EQ(results.Count(), 0);
  }
}

TEST(DnsAnswer, RecordsOfAllSectionsInPacketOrder) {
  // QDCount 1, ANCount 2, NSCount 1, ARCount 1: four records in one collection.
  std::string packet = Header(0x0BAD, 0x8580, 1, 2, 1, 1) + Question("example.com", 15) +
                       Record(kPointerToQuestion, 15, 100, Word16(5) + WireName("mx.example.com")) +
                       Record(kPointerToQuestion, 15, 0x80000000u, Word16(9) + "\x02mx\xC0\x0C") +
                       Record(kPointerToQuestion, 2, 200, "\x02ns\xC0\x0C") +
                       Record(WireName("mx.example.com"), 28, 300, std::string(16, '\x01'));
  TDNSHeader header;
  TQueryResults results;
  ASSERT_TRUE(ParseAnswerPacket(packet, 0x0BAD, header, results));
  EXPECT_EQ(header.Flags, 0x8580);
  EXPECT_EQ(results.AuthoritativeAnswer, 1);
  EXPECT_EQ(results.RecursionAvailable, 1);
  EXPECT_EQ(results.RCode, 0);
  ASSERT_EQ(results.Count(), 4);
  EXPECT_EQ(results.Items(0)->Section, dsAnswer);
  EXPECT_EQ(results.Items(1)->Section, dsAnswer);
  EXPECT_EQ(results.Items(2)->Section, dsAuthority);
  EXPECT_EQ(results.Items(3)->Section, dsAdditional);
  EXPECT_EQ(results.Items(1)->TTL, 0);  // a TTL with the top bit set counts as 0
  auto* mx = dynamic_cast<TMXRecord*>(results.Items(1));
  ASSERT_NE(mx, nullptr);
  EXPECT_EQ(mx->ExchangeServer, "mx.example.com");
  EXPECT_EQ(mx->Preference, 9);
  // The AAAA record is of the "other" type: no question type finds it.
  EXPECT_EQ(results.Items(3)->RecordType, qOther);
  EXPECT_EQ(results.Items(3)->TypeCode, 28);
  EXPECT_EQ(results.FindRecord(qA, "mx.example.com"), nullptr);
  EXPECT_EQ(results.FindRecord(qOther, "mx.example.com"), nullptr);
  std::string address = "stale";
  EXPECT_FALSE(results.GetAddress(address));
  EXPECT_EQ(address, "");
  EXPECT_EQ(results.Items(3)->RData, std::string(16, '\x01'));
}

TEST(DnsAnswer, RecordDataEdgeCases) {
  const std::string q = Question("t.example", 16);
  auto parse = [](const std::string& packet, TQueryResults& results) {
    TDNSHeader header;
    return ParseAnswerPacket(packet, 1, header, results);
  };
  {
    SCOPED_TRACE("one TXT string of 200 bytes");
    TQueryResults r;
    ASSERT_TRUE(parse(Header(1, 0x8180, 1, 1, 0, 0) + q +
                          Record(kPointerToQuestion, 16, 1, "\xC8" + std::string(200, 'z')),
                      r));
    auto* t = dynamic_cast<TTextRecord*>(r.Items(0));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->Text, std::vector<std::string>{std::string(200, 'z')});
  }
  {
    SCOPED_TRACE("TXT with an empty second string");
    TQueryResults r;
    ASSERT_TRUE(
        parse(Header(1, 0x8180, 1, 1, 0, 0) + q +
                  Record(kPointerToQuestion, 16, 1, "\x03one" + std::string(1, '\0') + "\x03two"),
              r));
    EXPECT_EQ(dynamic_cast<TTextRecord*>(r.Items(0))->Text, std::vector<std::string>{"one"});
  }
  {
    SCOPED_TRACE("A with empty data, then A with extra data");
    TQueryResults r;
    ASSERT_TRUE(parse(Header(1, 0x8180, 1, 2, 0, 0) + q + Record(kPointerToQuestion, 1, 1, "") +
                          Record(kPointerToQuestion, 1, 1, test::BytesFromHex("0a000001ffff")),
                      r));
    auto* empty = dynamic_cast<TARecord*>(r.Items(0));
    auto* full = dynamic_cast<TARecord*>(r.Items(1));
    ASSERT_TRUE(empty && full);
    EXPECT_EQ(empty->IPAddress, "");
    EXPECT_EQ(empty->IPNumber(), 0u);
    EXPECT_EQ(full->IPAddress, "10.0.0.1");
    // Wire order: the first byte of the dotted form is the lowest.
    EXPECT_EQ(full->IPNumber(), 0x0100000Au);
  }
  {
    SCOPED_TRACE("MINFO");
    TQueryResults r;
    ASSERT_TRUE(parse(Header(1, 0x8180, 1, 1, 0, 0) + q +
                          Record(kPointerToQuestion, 14, 1,
                                 WireName("admin.t.example") +
                                     "\x06"
                                     "errors" +
                                     kPointerToQuestion),
                      r));
    auto* m = dynamic_cast<TMINFORecord*>(r.Items(0));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->ResponsiblePersonMailbox, "admin.t.example");
    EXPECT_EQ(m->ErrorMailbox, "errors.t.example");
  }
  {
    SCOPED_TRACE("extra question entries are skipped");
    TQueryResults r;
    ASSERT_TRUE(parse(Header(1, 0x8183, 2, 1, 0, 0) + q + Question("u.example", 1) +
                          Record(WireName("u.example"), 1, 1, Word32(0x7F000001)),
                      r));
    EXPECT_EQ(r.QueryName, "t.example");
    EXPECT_EQ(r.QueryType, 16);
    EXPECT_EQ(r.RCode, 3);
    ASSERT_EQ(r.Count(), 1);
    EXPECT_EQ(r.Items(0)->Name, "u.example");
  }
}

// ---- the results collection ----

TEST(DnsQueryResults, FindsRecordsAndTrimsTTLs) {
  TQueryResults r;
  auto add = [&](TQType type, const char* name, std::int32_t ttl) {
    auto rec = CreateResourceRecord(QTypeCode(type));
    rec->RecordType = type;
    rec->Name = name;
    rec->TTL = ttl;
    return r.Add(std::move(rec));
  };
  TResourceRecord* a1 = add(qA, "Host.Example", 30);
  dynamic_cast<TARecord*>(a1)->IPAddress = "1.1.1.1";
  add(qMX, "host.example", 500);
  TResourceRecord* a2 = add(qA, "host.example", 100);
  dynamic_cast<TARecord*>(a2)->IPAddress = "2.2.2.2";
  add(qOther, "host.example", 100);

  EXPECT_EQ(r.FindRecord(qA, "HOST.EXAMPLE"), a2);  // the last one, case ignored
  EXPECT_EQ(r.FindRecord(qTXT, "host.example"), nullptr);
  EXPECT_EQ(r.FindRecord(qA, "host.example."), nullptr);
  std::string address;
  EXPECT_TRUE(r.GetAddress(address));
  EXPECT_EQ(address, "2.2.2.2");
  EXPECT_TRUE(r.HasAllTypes({qA, qMX}, "host.EXAMPLE"));
  EXPECT_FALSE(r.HasAllTypes({qA, qMX, qTXT}, "host.example"));
  EXPECT_FALSE(r.HasAllTypes({qA}, "other.example"));

  r.ReduceTTL(100);
  std::vector<std::int32_t> ttls;
  for (int i = 0; i < r.Count(); ++i) ttls.push_back(r.Items(i)->TTL);
  EXPECT_EQ(ttls, (std::vector<std::int32_t>{0, 400, 0, 0}));

  // Every record freed goes through the hook first, whether deleted or cleared.
  std::vector<std::string> freed;
  r.OnRecordFree = [&](TResourceRecord& rec) { freed.push_back(QTypeName(rec.RecordType)); };
  r.Delete(1);
  r.Delete(7);
  EXPECT_EQ(r.Count(), 3);
  r.Server = "192.0.2.1";
  r.Clear();
  EXPECT_EQ(freed, (std::vector<std::string>{"MX", "Other", "A", "A"}));
  EXPECT_EQ(r.Count(), 0);
  EXPECT_EQ(r.Server, "");
  EXPECT_EQ(r.Items(0), nullptr);
}

TEST(DnsRecords, DumpDescribesEachClass) {
  std::string packet =
      Header(1, 0x8180, 1, 5, 1, 0) + Question("d.example", 255) +
      Record(kPointerToQuestion, 1, 60, Word32(0xC0000201)) +
      Record(kPointerToQuestion, 15, 60, Word16(10) + "\x02mx" + kPointerToQuestion) +
      Record(kPointerToQuestion, 16, 60, "\x02hi\x05there") +
      Record(kPointerToQuestion, 13, 60,
             "\x03"
             "cpu\x02os") +
      Record(kPointerToQuestion, 99, 60, "xyz") +
      Record(kPointerToQuestion, 6, 60,
             "\x02ns" + kPointerToQuestion + "\x02hm" + kPointerToQuestion + Word32(1) + Word32(2) +
                 Word32(3) + Word32(4) + Word32(5));
  TDNSHeader header;
  TQueryResults results;
  ASSERT_TRUE(ParseAnswerPacket(packet, 1, header, results));
  TStringList lines;
  for (int i = 0; i < results.Count(); ++i) results.Items(i)->Dump(lines);
  std::vector<std::string> got;
  for (int i = 0; i < lines.Count(); ++i) got.push_back(lines[i]);
  std::vector<std::string> expected = {
      "- Name=d.example, Type=A, Class=1, TTL=60, RDLength=4",
      "  IP=192.0.2.1",
      "- Name=d.example, Type=MX, Class=1, TTL=60, RDLength=7",
      "  Server=mx.d.example",
      "  Preference=10",
      "- Name=d.example, Type=TXT, Class=1, TTL=60, RDLength=9",
      "  Text=",
      "   \"hi\"",
      "   \"there\"",
      "- Name=d.example, Type=HINFO, Class=1, TTL=60, RDLength=7",
      "  Text=",
      "   \"cpu\"",
      "   \"os\"",
      "  CPU=cpu",
      "  OS=os",
      "- Name=d.example, Type=Other, Class=1, TTL=60, RDLength=3",
      "- Name=d.example, Type=SOA, Class=1, TTL=60, RDLength=30",
      "  Primary=ns.d.example",
      "  Responsible Person=hm.d.example",
      "  Serial=1",
      "  Refresh=2",
      "  Retry=3",
      "  Expire=4",
      "  Minimum TTL=5",
  };
  EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace halvorn
