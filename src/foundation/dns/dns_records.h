// The resource records of a DNS answer and the collection that holds one
// parsed answer, with the parse of a whole answer packet.
//
// Not thread-safe: a TQueryResults and its records belong to one owner at a
// time (the resolver keeps its own under its lock and hands each caller a
// freshly parsed copy).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/dns/dns_packet.h"
#include "foundation/text/string_list.h"

namespace halvorn {

class TQueryResults;
class TDNSQuestion;  // the resolver's question

// The section of the answer packet a record came from. The resolver lets only
// answer-section records answer later questions.
enum TDNSSection : std::uint8_t { dsAnswer, dsAuthority, dsAdditional };

// One record of an answer. Its collection owns and frees it.
class TResourceRecord {
 public:
  TResourceRecord() = default;
  virtual ~TResourceRecord() = default;
  TResourceRecord(const TResourceRecord&) = delete;
  TResourceRecord& operator=(const TResourceRecord&) = delete;

  // Fills the type's own fields from the record data, which starts at the
  // offset and runs to the end of `packet` (the packet is cut just after the
  // data; names may point back into the rest of it). Raises
  // EIdDnsResolverError when the data is malformed.
  virtual void Parse(std::string_view packet, std::size_t offset);
  // Appends lines describing the record.
  virtual void Dump(TStringList& lines) const;
  virtual bool IsValid() const { return true; }

  // The collection that owns the record; null until it is added to one.
  TQueryResults* Collection() const { return FCollection; }

  std::string Name;            // owner name, decoded
  TQType RecordType = qOther;  // qOther for every type code outside 1-16
  std::uint16_t TypeCode = 0;  // the type code as received
  std::uint16_t RecordClass = 0;
  std::int32_t TTL = 0;  // seconds; a received value above 2^31-1 reads as 0
  std::string RData;     // the record data, RDLength bytes
  std::uint32_t RDLength = 0;
  TDNSSection Section = dsAnswer;
  // Membership of the resolver's answer table.
  bool Registered = false;
  std::uint32_t Key = 0;

 private:
  friend class TQueryResults;
  TQueryResults* FCollection = nullptr;
};

// An address record's data: IPAddress is the first four data bytes as
// "%d.%d.%d.%d", empty when the data is empty.
class TRDATARecord : public TResourceRecord {
 public:
  void Parse(std::string_view packet, std::size_t offset) override;
  void Dump(TStringList& lines) const override;
  // The address as a number in wire order (first dotted byte lowest); 0 when
  // there is none.
  std::uint32_t IPNumber() const { return FNumber; }

  std::string IPAddress;

 private:
  std::uint32_t FNumber = 0;
};

class TARecord : public TRDATARecord {};

// A record whose data is one name: the canonical name of a CNAME, the host
// of NS and PTR records.
class TNAMERecord : public TResourceRecord {
 public:
  void Parse(std::string_view packet, std::size_t offset) override;
  void Dump(TStringList& lines) const override;

  std::string HostName;
};

class TNSRecord : public TNAMERecord {};
class TPTRRecord : public TNAMERecord {};

class TSOARecord : public TResourceRecord {
 public:
  void Parse(std::string_view packet, std::size_t offset) override;
  void Dump(TStringList& lines) const override;

  std::string Primary;
  std::string ResponsiblePerson;
  std::uint32_t Serial = 0;
  std::uint32_t Refresh = 0;
  std::uint32_t Retry = 0;
  std::uint32_t Expire = 0;
  std::uint32_t MinimumTTL = 0;
};

class TWKSRecord : public TResourceRecord {
 public:
  void Parse(std::string_view packet, std::size_t offset) override;
  void Dump(TStringList& lines) const override;

  std::string Address;
  std::uint8_t Protocol = 0;
  std::string BitMap;
  std::uint32_t ByteCount = 0;  // the length of BitMap
};

class TMINFORecord : public TResourceRecord {
 public:
  void Parse(std::string_view packet, std::size_t offset) override;
  void Dump(TStringList& lines) const override;

  std::string ResponsiblePersonMailbox;
  std::string ErrorMailbox;
};

class TMXRecord : public TResourceRecord {
 public:
  void Parse(std::string_view packet, std::size_t offset) override;
  void Dump(TStringList& lines) const override;

  std::uint16_t Preference = 0;
  std::string ExchangeServer;
};

// A TXT record: the data's character-strings in order, up to the first empty
// one or the end of the data.
class TTextRecord : public TResourceRecord {
 public:
  void Parse(std::string_view packet, std::size_t offset) override;
  void Dump(TStringList& lines) const override;

  std::vector<std::string> Text;
};

// An HINFO record: Text as for TXT, CPU its first string and OS its second.
class THINFORecord : public TTextRecord {
 public:
  void Parse(std::string_view packet, std::size_t offset) override;
  void Dump(TStringList& lines) const override;

  std::string CPU;
  std::string OS;
};

// A new record of the class that the type code calls for (a plain
// TResourceRecord for types without their own class).
std::unique_ptr<TResourceRecord> CreateResourceRecord(std::uint16_t typeCode);

// One parsed answer: its question entry, flags and records in packet order
// (answer, authority, then additional section). Owns its records; neither
// copyable nor movable, since records point back at it.
class TQueryResults {
 public:
  TQueryResults() = default;
  ~TQueryResults();
  TQueryResults(const TQueryResults&) = delete;
  TQueryResults& operator=(const TQueryResults&) = delete;

  // Frees every record and resets every field below (OnRecordFree stays).
  void Clear();

  int Count() const { return static_cast<int>(FItems.size()); }
  // The record at a 0-based index; null when the index is out of range.
  TResourceRecord* Items(int index) const;
  // Takes the record, sets its collection and answers it.
  TResourceRecord* Add(std::unique_ptr<TResourceRecord> record);
  // Frees the record at the index; nothing happens for an index out of range.
  void Delete(int index);

  // The IPAddress of the last address record; false and empty when none.
  bool GetAddress(std::string& address) const;
  // The last record of the type whose Name equals the name without regard to
  // case; null when none. qOther finds nothing.
  TResourceRecord* FindRecord(TQType type, std::string_view name) const;
  // True when FindRecord finds a record for every type of the set.
  bool HasAllTypes(TQTypeSet types, std::string_view name) const;
  // Lowers every record's TTL by the seconds, not below 0.
  void ReduceTTL(std::int32_t seconds);

  std::string QueryName;
  std::uint16_t QueryType = 0;
  std::uint16_t QueryClass = 0;
  std::uint16_t RCode = 0;
  std::uint16_t AuthoritativeAnswer = 0;  // 0 or 1
  std::uint16_t RecursionAvailable = 0;   // 0 or 1
  std::string Server;                     // dotted address the answer came from
  TDNSQuestion* Question = nullptr;       // not owned

  // Called with each record just before the collection frees it, so that a
  // table that refers to records (the resolver's answer table) can drop it.
  std::function<void(TResourceRecord&)> OnRecordFree;

 private:
  std::vector<std::unique_ptr<TResourceRecord>> FItems;
};

// Parses an answer packet for the question with the id into `results` (which
// is cleared first) and `header`. Answers false, with `results` cleared and
// `header` unchanged, when the packet is not this question's answer or is
// malformed in any way: shorter than 13 bytes, no question entry, or any name,
// field, record or record data that does not fit the packet. Every question
// entry the header counts is skipped; QueryName, QueryType and QueryClass come
// from the first. Records of all three sections go into the collection.
// Server and Question are left for the caller to set.
bool ParseAnswerPacket(std::string_view packet, std::uint16_t id, TDNSHeader& header,
                       TQueryResults& results);

}  // namespace halvorn
