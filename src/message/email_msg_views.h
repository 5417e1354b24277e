// The message areas: the seven views of a message that a pattern test can
// be applied to (TEmailMsg::GetArea). The tests store an area by number and
// show its name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace halvorn {

using TMessageArea = std::uint8_t;

inline constexpr TMessageArea maWholeMessageUndecoded = 0;
inline constexpr TMessageArea maHeaderOnly = 1;
inline constexpr TMessageArea maBodyUndecoded = 2;
inline constexpr TMessageArea maDecodedBodyText = 3;
inline constexpr TMessageArea maBodyAsPlainText = 4;
inline constexpr TMessageArea maDecodedBodyHtml = 5;
inline constexpr TMessageArea maBodyUrls = 6;
inline constexpr int kMessageAreaCount = 7;

// The area's name by its low seven bits ("urls extracted from body" for 6
// and for 134); "No area specified" for any other value.
std::string MessageAreaName(TMessageArea area);
// The first area, 0 to 6, whose name the text contains (any case); 0 when
// none does.
TMessageArea MessageAreaFromName(std::string_view text);

}  // namespace halvorn
