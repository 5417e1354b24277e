// The numbers of the named standard tests: the fixed places, 682 to 796, in
// the message's standard-test trites ("StandardTests" of the side record)
// where the tests that stand for a numbered check record their answers. The
// same numbering holds the rule catalogue (0 to 631) and the block lists
// (831 to 1231); numbers of this range without a name are reserved.
//
// Code writes a number through its constant, never as digits. The names are
// texts too (the labels of network inputs and of reports), so each constant
// is spelt as the text it stands for, misspellings included.
#pragma once

#include <cstdint>
#include <string>

namespace halvorn {

// X(name, number) for every named standard test, in number order.
#define HALVORN_NAMED_STANDARD_TESTS(X)   \
  X(TESTNUM_QUOR_CHAINLETTER, 682)        \
  X(TESTNUM_QUOR_PETITION, 683)           \
  X(TESTNUM_QUOR_LEGEND, 684)             \
  X(TESTNUM_QUOR_BULK, 685)               \
  X(TESTNUM_QUOR_HOAX, 686)               \
  X(TESTNUM_QUOR_JOKE, 687)               \
  X(TESTNUM_QUOR_VIRUS, 688)              \
  X(TESTNUM_QUOR_SPAM, 689)               \
  X(TESTNUM_QUOR_PERSONAL, 690)           \
  X(TESTNUM_QUOR_SEEN_1, 691)             \
  X(TESTNUM_QUOR_SEEN_2, 692)             \
  X(TESTNUM_QUOR_SEEN_4, 693)             \
  X(TESTNUM_QUOR_SEEN_8, 694)             \
  X(TESTNUM_QUOR_SEEN_16, 695)            \
  X(TESTNUM_QUOR_SEEN_32, 696)            \
  X(TESTNUM_QUOR_SEEN_64, 697)            \
  X(TESTNUM_QUOR_SEEN_128, 698)           \
  X(TESTNUM_QUOR_SEEN_256, 699)           \
  X(TESTNUM_QUOR_SEEN_512, 700)           \
  X(TESTNUM_QUOR_SEEN_1024, 701)          \
  X(TESTNUM_QUOR_SEEN_2048, 702)          \
  X(TESTNUM_QUOR_SEEN_4096, 703)          \
  X(TESTNUM_QUOR_SEEN_8192, 704)          \
  X(TESTNUM_QUOR_SEEN_16384, 705)         \
  X(TESTNUM_DCC_MANY1, 706)               \
  X(TESTNUM_DCC_MANY2, 707)               \
  X(TESTNUM_DCC_WHITE1, 708)              \
  X(TESTNUM_DCC_WHITE2, 709)              \
  X(TESTNUM_DCC_1, 710)                   \
  X(TESTNUM_DCC_2, 711)                   \
  X(TESTNUM_DCC_4, 712)                   \
  X(TESTNUM_DCC_8, 713)                   \
  X(TESTNUM_DCC_16, 714)                  \
  X(TESTNUM_DCC_32, 715)                  \
  X(TESTNUM_DCC_64, 716)                  \
  X(TESTNUM_DCC_128, 717)                 \
  X(TESTNUM_DCC_256, 718)                 \
  X(TESTNUM_DCC_512, 719)                 \
  X(TESTNUM_DCC_1024, 720)                \
  X(TESTNUM_DCC_2048, 721)                \
  X(TESTNUM_DCC_4096, 722)                \
  X(TESTNUM_DCC_8192, 723)                \
  X(TESTNUM_DCC_16384, 724)               \
  X(TESTNUM_INVALID_RETURN, 725)          \
  X(TESTNUM_EXTERNAL_OBJ_REF, 726)        \
  X(TESTNUM_EXTERNAL_IMAGE_REF, 727)      \
  X(TESTNUM_SCRIPTS, 731)                 \
  X(TESTNUM_APPROVED_SENDER, 734)         \
  X(TESTNUM_BANNED_SENDER, 735)           \
  X(TESTNUM_APPROVED_SUBJECT, 736)        \
  X(TESTNUM_BANNED_SUBJECT, 737)          \
  X(TESTNUM_KNOWN_MSGID, 738)             \
  X(TESTNUM_TO_MY_ADDR, 739)              \
  X(TESTNUM_CC_MY_ADDR, 740)              \
  X(TESTNUM_DICT_ATTACK, 741)             \
  X(TESTNUM_ATTACH_RISK_LOW, 742)         \
  X(TESTNUM_ATTACH_RISK_MODERATE, 743)    \
  X(TESTNUM_ATTACH_RISK_HIGH, 744)        \
  X(TESTNUM_ATTACH_RISK_VERYHIGH, 745)    \
  X(TESTNUM_ATTACH_MULT_NAMES, 746)       \
  X(TESTNUM_ATTACH_MULT_EXT_DIF_NAM, 747) \
  X(TESTNUM_ATTACH_MULT_SPACES, 748)      \
  X(TESTNUM_ATTACH_MULT_EXT, 749)         \
  X(TESTNUM_ATTACH_MULT_EXT_HIDING, 750)  \
  X(TESTNUM_ATTACH_CLSID_EXT, 751)        \
  X(TESTNUM_ATTACH_DECEP_MIME, 752)       \
  X(TESTNUM_ATTACH_NO_NAME, 753)          \
  X(TESTNUM_LITE_MULTI_RELAT, 754)        \
  X(TESTNUM_LITE_HAS_ATTACH, 755)         \
  X(TESTNUM_LITE_EXT_REFS, 756)           \
  X(TESTNUM_LITE_FROM_APPROVED, 757)      \
  X(TESTNUM_LITE_REPLY_APPROVED, 758)     \
  X(TESTNUM_LITE_XSENDER_APPROVED, 759)   \
  X(TESTNUM_LITE_REF_SENT, 762)           \
  X(TESTNUM_LITE_REP_SENT, 763)           \
  X(TESTNUM_LITE_SUBJ_APPROVED, 764)      \
  X(TESTNUM_LITE_FROM_BANNED, 765)        \
  X(TESTNUM_LITE_REPLY_BANNED, 766)       \
  X(TESTNUM_LITE_SUBJ_BANNED, 769)        \
  X(TESTNUM_LITE_SUBSCIBED, 770)          \
  X(TESTNUM_LITE_BLACKHOLE, 771)          \
  X(TESTNUM_LITE_EXC_SPAM_THRESH, 772)    \
  X(TESTNUM_LITE_RET_ADDR, 773)           \
  X(TESTNUM_LITE_SPAM_CAT, 774)           \
  X(TESTNUM_LITE_UNIQ, 775)               \
  X(TESTNUM_LITE_SA, 776)                 \
  X(TESTNUM_LITE_SIZE, 777)               \
  X(TESTNUM_LITE_DCC, 778)                \
  X(TESTNUM_LITE_DIC, 779)                \
  X(TESTNUM_LITE_ADV, 780)                \
  X(TESTNUM_LITE_BULK_PROB, 781)          \
  X(TESTNUM_LITE_PORN, 782)               \
  X(TESTNUM_LITE_SEX, 783)                \
  X(TESTNUM_LITE_PROFANITY, 784)          \
  X(TESTNUM_LITE_MISC, 785)               \
  X(TESTNUM_LITE_DCC_BULK, 786)           \
  X(TESTNUM_LITE_BODY_SPAM, 787)          \
  X(TESTNUM_LITE_FUZ1_SPAM, 788)          \
  X(TESTNUM_LITE_FUZ2_SPAM, 789)          \
  X(TESTNUM_REASONABLE_MAIL_LIST, 790)    \
  X(TESTNUM_META_REFRESH, 791)            \
  X(TESTNUM_LINK_EXT_REF, 792)            \
  X(TESTNUM_ON_X_EVENT, 793)              \
  X(TESTNUM_UNKNOWN_XMAILER, 794)         \
  X(TESTNUM_UNKNOWN_HTML_TAG, 795)        \
  X(TESTNUM_UNKNOWN_HTML_TAGS, 796)

#define HALVORN_DECLARE_TESTNUM(name, number) inline constexpr std::int32_t name = number;
HALVORN_NAMED_STANDARD_TESTS(HALVORN_DECLARE_TESTNUM)
#undef HALVORN_DECLARE_TESTNUM

// The range the named standard tests lie in.
inline constexpr std::int32_t kFirstNamedStandardTest = TESTNUM_QUOR_CHAINLETTER;
inline constexpr std::int32_t kLastNamedStandardTest = TESTNUM_UNKNOWN_HTML_TAGS;

struct TNamedStandardTest {
  std::int32_t Number;
  const char* Name;
};

// Every named standard test with its text, in number order.
inline constexpr TNamedStandardTest kNamedStandardTests[] = {
#define HALVORN_NAMED_STANDARD_TEST_ROW(name, number) {number, #name},
    HALVORN_NAMED_STANDARD_TESTS(HALVORN_NAMED_STANDARD_TEST_ROW)
#undef HALVORN_NAMED_STANDARD_TEST_ROW
};

// The text of a named standard test ("TESTNUM_QUOR_SPAM" for 689); nullptr
// for a number without a name (728, say, or one outside 682 to 796).
constexpr const char* NamedStandardTestName(std::int32_t number) {
  for (const TNamedStandardTest& test : kNamedStandardTests)
    if (test.Number == number) return test.Name;
  return nullptr;
}

// The ranges of the numbering besides the named standard tests.
inline constexpr std::int32_t kFirstRuleTest = 0;
inline constexpr std::int32_t kLastRuleTest = 631;
inline constexpr std::int32_t kFirstDnsrblTest = 831;
inline constexpr std::int32_t kLastDnsrblTest = 1231;

// The display name of any test number (the label of network inputs and of
// reports): "Test number out of range (Too small)" below 0; the rule's name
// for 0 to 631; the named standard test's text for 682 to 796; the name of
// the block-list row with the number for 831 to 1231, "Unknown DNS db" when
// no row has it; "Test number out of range (Too large)" above 1231; else
// "Reserved " and the number. Never fails. Safe from any thread.
std::string StandardTestName(std::int32_t number);

}  // namespace halvorn
