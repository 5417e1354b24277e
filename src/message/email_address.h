// E-mail address checks the accounts rely on.
//
// Minimal form: the header parser's full address model (TEmailAddress with
// display names, flags and address lists) replaces this file and keeps these
// three functions with the same behaviour. Nothing here raises; every
// function keeps no state and may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn {

// Validity of a bare address: 1 (invalid) and/or 8 (a source route such as
// "@relay1,@relay2:user@example.com"); 0 for a valid plain address. Shorter
// than 6 characters, a blank, no "@", a character that is no address
// character, or a part after the "@" that is no valid domain name make it
// invalid.
std::uint8_t CheckAddressSpec(const std::string& text);

// The address a field holds (the text between "<" and ">", else the run of
// address characters around the first "@") passes CheckAddressSpec.
bool IsValidEmailAddress(const std::string& text);

// The field's address split at its first "@": the part before and after it
// (empty when the field holds no address); true when the address is valid.
bool SplitEmailAddress(const std::string& text, std::string& localPart, std::string& domain);

}  // namespace halvorn
