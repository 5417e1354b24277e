// Letter case of the Windows code page 1252, the character set the program
// treats its 8-bit texts as wherever case is decided "as the platform does".
//
// A fixed table of our own: the C library's locale is never consulted, so the
// answers are the same on every machine and in every thread.
#pragma once

#include <string>
#include <string_view>

namespace halvorn {

// The upper-case (lower-case) form of one character: the ASCII letters, the
// accented letters 0xC0-0xDE / 0xE0-0xFE (less the signs 0xD7 and 0xF7), and
// the pairs S/s caron, OE/oe, Z/z caron and Y/y diaeresis. Every other value
// maps to itself; 0xDF (sharp s) has no upper case in this code page.
unsigned char UpperChar1252(unsigned char c);
unsigned char LowerChar1252(unsigned char c);

std::string UpperCase1252(std::string_view text);
std::string LowerCase1252(std::string_view text);

// True when both texts have the same length and equal upper-case forms.
bool SameText1252(std::string_view a, std::string_view b);

// Orders two texts by their upper-case forms, byte by byte: negative, 0 or
// positive like strcmp.
int CompareText1252(std::string_view a, std::string_view b);

}  // namespace halvorn
