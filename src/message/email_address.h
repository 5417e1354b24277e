// E-mail address fields as written in headers: TEmailAddress splits one field
// into its bare address and display name and records how it was written;
// TEmailAddressCollection parses a comma-separated list and scores how alike
// its local parts are; the free functions wrap the parser for callers that
// need only the address, its parts or its validity, or that pull every valid
// address out of free text.
//
// Nothing here raises for bad input: a field without a usable address gives
// an invalid item with an empty address, and the caller reads the flags.
// Objects are plain values without locks (their owner's lock guards them);
// the free functions may be called from any thread at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/text/string_list.h"

namespace halvorn {

// Flag bits of TEmailAddress::Flags and CheckAddressSpec.
constexpr std::uint8_t kAddressInvalid = 1;
constexpr std::uint8_t kAddressInBrackets = 2;     // written in angle brackets
constexpr std::uint8_t kAddressWithoutBrackets = 4;
constexpr std::uint8_t kAddressSourceRoute = 8;
constexpr std::uint8_t kAddressUndisclosed = 16;   // exactly "Undisclosed.Recipients"

// TEmailAddress::NameKind values.
constexpr std::uint8_t kNameNone = 0;
constexpr std::uint8_t kNameQuoted = 1;   // "..."
constexpr std::uint8_t kNamePlain = 2;    // plain text
constexpr std::uint8_t kNameComment = 3;  // (...)

class TEmailAddress {
 public:
  // The field exactly as passed to Parse.
  std::string Text;
  // The bare address, trimmed; empty when none was found.
  std::string Address;
  // The display name, trimmed; empty when none.
  std::string DisplayName;
  std::uint8_t Flags = 0;
  std::uint8_t NameKind = kNameNone;

  // Fills the fields from one address field:
  //  - with a "<" whose first ">" follows it, the address is what stands
  //    between them (flag 2); with a "<" but no ">" after it the field is
  //    invalid and the address runs from the "<" past the first "@" after it
  //    up to a control or 8-bit character or the end (no "@": no address);
  //  - else with an "@", the address is the run of address characters
  //    around the first "@" (flag 4);
  //  - else the field is invalid and has no address.
  // CheckAddressSpec's flags of the address are added. The display name is
  // then taken from what is left: the text between the first two double
  // quotes (kind 1; a lone quote gives none), else the text between "(" and
  // the next ")" (kind 3; without ")" the text after "(", at most 99
  // characters, with kind 0), else the rest without control characters
  // (kind 2 when not empty).
  void Parse(std::string_view text);

  // The part of Address before its first "@"; empty when it has none.
  std::string GetLocalPart() const;
  // The part of Address after its first "@"; empty when it has none.
  std::string GetDomain() const;

  bool IsValid() const { return (Flags & kAddressInvalid) == 0; }
};

// A list of parsed address fields; it owns its items.
class TEmailAddressCollection {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  // Index 0 .. Count() - 1; anything else throws std::out_of_range.
  const TEmailAddress& Items(int index) const { return FItems.at(static_cast<std::size_t>(index)); }
  TEmailAddress& Items(int index) { return FItems.at(static_cast<std::size_t>(index)); }
  // Appends an empty item and answers it. The reference lasts until the
  // next change of the collection.
  TEmailAddress& Add();

  // Splits the text at every "," (an empty last piece dropped; a comma
  // inside a quoted name splits too) and adds one parsed item per piece.
  // True when no item of the collection, earlier ones included, is invalid.
  bool AddList(std::string_view text);

  // How alike the local parts of the addresses are, 0 to 100: for each
  // distinct upper-cased local part in sorted order (but the last), the
  // lowest SimilarityPercent below 100 to any later one, averaged over the
  // parts that have one; comparing stops once more than 200 such rows are
  // counted. 0 for a single address, for one distinct local part, and, with
  // the few-addresses rule, for fewer than 3 addresses.
  double RecipientListScore(bool fewAddressesRule) const;

 private:
  std::vector<TEmailAddress> FItems;
};

// The validity check of a bare address: a flag set of kAddressInvalid and/or
// kAddressSourceRoute. The trimmed text must be 6 characters or longer,
// without blanks, and hold an "@". With one "@" every character must be an
// address character (IsAddressChar), the "@" must not come first and the
// domain after it (its first 999 characters) must be a valid domain name
// (IsValidDomainName). With more, it is a source route: "@relay,@relay:"
// before an address that is checked as above.
std::uint8_t CheckAddressSpec(std::string_view text);

// The text parses (TEmailAddress::Parse) as a valid address.
bool IsValidEmailAddress(std::string_view text);

// Parses the text and gives the address's local part and domain; true when
// the address is valid.
bool SplitEmailAddress(std::string_view text, std::string& localPart, std::string& domain);

// Empty for an empty text; else the parsed local part, "@" and domain (so a
// text without any address gives "@").
std::string NormalizeEmailAddress(std::string_view text);

// Appends every valid address written in the text to the list, as written,
// and removes it from the text. Each "@" is looked at in turn, with the run
// of address characters around it; a run that is no valid address has that
// "@" replaced by a blank and the next "@" of the run is tried with what
// follows the blank. Linear in the text's length, however many "@" it holds.
void ExtractEmailAddresses(std::string& text, TStringList& list);

}  // namespace halvorn
