// The texts and boundary prefixes the body restructuring writes into
// messages, and the restructuring every parse ends with.
//
// The operations themselves are TEmailMsg's (email_msg.h, "Body
// restructuring"); this header holds what other units and tests need to
// recognise what they wrote.
#pragma once

#include <memory>

#include "message/email_msg_links.h"

namespace halvorn {

// Boundaries made here: a prefix and 20 random letters and digits.
inline constexpr const char* kNewAlternativeGroupPrefix = "----Quor4";
inline constexpr const char* kPlainIntoLevelPrefix = "----Quor3";
inline constexpr const char* kPlainSplitPrefix = "----Quor2";  // also HTML into a level
inline constexpr const char* kHtmlSplitPrefix = "----Quor9";
inline constexpr const char* kWrappedMessagePrefix = "----Quor0";
inline constexpr int kRandomBoundaryChars = 20;

// The preamble of a single part split into three, and of a wrapped message.
inline constexpr const char* kSplitPreamble =
    "This is a multi-part message in MIME format added by Quorvantis.";
inline constexpr const char* kWrapPreamble =
    "This is a multi-part message in MIME format added by Halvorn.";

// The charset given to a new text part made from text with 8-bit bytes when
// its source part names none.
inline constexpr const char* kDefaultEightBitCharset = "iso-8859-1";

// The message's own restructuring (TEmailMsg::EnsureTextPart and
// TEmailMsg::AnalyzeTextParts): what GetBodyRestructuring answers unless a
// test installs another. One shared object; safe from any thread.
std::shared_ptr<TBodyRestructuring> MessageBodyRestructuring();

}  // namespace halvorn
