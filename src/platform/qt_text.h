// The program's texts are code page 1252 byte strings; Qt's are Unicode.
// These convert between the two at the edge of the windows.
#pragma once

#include <QString>

#include <string>

namespace halvorn::platform {

// Every byte becomes its code page 1252 character; the five bytes that code
// page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control
// characters of the same number, so that no byte is lost.
QString FromCodePage1252(const std::string& text);

// The reverse; a character that code page 1252 cannot hold becomes "?".
std::string ToCodePage1252(const QString& text);

}  // namespace halvorn::platform
