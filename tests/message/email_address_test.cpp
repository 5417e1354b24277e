#include "message/email_address.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/email_address_reference.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

TEST(EmailAddressParse, Table) {
  struct Row {
    std::string field, address, name;
    int flags, kind;
  } rows[] = {
      {"\"Joe Public\" <joe@example.com>", "joe@example.com", "Joe Public", 2, 1},
      {"joe@example.com (Joe Public)", "joe@example.com", "Joe Public", 4, 3},
      {"  Joe   <joe@example.com>  ", "joe@example.com", "Joe", 2, 2},
      {"\"Ann\" <ann@example.com> (x)", "ann@example.com", "Ann", 2, 1},
      {"Jo\x01" "e <joe@example.com>", "joe@example.com", "Joe", 2, 2},
      // Characters that are no address characters end a bare address.
      {"joe@example.com)", "joe@example.com", ")", 4, 2},
      {"joe@example.com>", "joe@example.com", ">", 4, 2},
      {"joe@example.com extra@example.org", "joe@example.com", "extra@example.org", 4, 2},
      // An unclosed "<": invalid, the address runs to the end (or to a
      // control or 8-bit character).
      {"Joe <joe@example.com", "joe@example.com", "Joe", 1, 2},
      {"x> <joe@example.com", "joe@example.com", "x>", 1, 2},
      {"<joe@ex\xE9" "ample.com", "joe@ex", "\xE9" "ample.com", 1, 2},
      {"Joe <no address", "", "Joe <no address", 1, 2},
      // Length and domain.
      {"a@b.cd", "a@b.cd", "", 4, 0},
      {"ab@c.d", "ab@c.d", "", 5, 0},
      {"Joe@Example.COM", "Joe@Example.COM", "", 4, 0},
      {"joe@localhost", "joe@localhost", "", 5, 0},
      {"@example.com", "@example.com", "", 5, 0},
      {"<joe @example.com>", "joe @example.com", "", 3, 0},
      // Source routes.
      {"<@r1.example,@r2.example:joe@example.com>", "@r1.example,@r2.example:joe@example.com",
       "", 10, 0},
      {"<r1.example,@r2.example:joe@example.com>", "r1.example,@r2.example:joe@example.com", "",
       11, 0},
      // No address at all.
      {"undisclosed-recipients:;", "", "undisclosed-recipients:;", 1, 2},
      {"<Undisclosed.Recipients>", "Undisclosed.Recipients", "", 19, 0},
      {"", "", "", 1, 0},
      // Names: a lone quote gives none; an unclosed comment a name of kind 0.
      {"\"Joe <joe@example.com>", "joe@example.com", "", 2, 0},
      {"joe@example.com (unclosed comment", "joe@example.com", "unclosed comment", 4, 0},
      {"joe@example.com (" + std::string(120, 'n'), "joe@example.com", std::string(99, 'n'), 4, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.field);
    TEmailAddress a;
    a.Parse(row.field);
    EXPECT_EQ(a.Text, row.field);
    EXPECT_EQ(a.Address, row.address);
    EXPECT_EQ(a.DisplayName, row.name);
    EXPECT_EQ(a.Flags, row.flags);
    EXPECT_EQ(a.NameKind, row.kind);
    EXPECT_EQ(IsValidEmailAddress(row.field), (row.flags & 1) == 0);
  }
}

TEST(EmailAddressParse, PartsAndNormalForm) {
  TEmailAddress a;
  a.Parse("Joe <Joe.Public@Example.com>");
  EXPECT_EQ(a.GetLocalPart(), "Joe.Public");
  EXPECT_EQ(a.GetDomain(), "Example.com");
  a.Parse("no address");
  EXPECT_EQ(a.GetLocalPart(), "");
  EXPECT_EQ(a.GetDomain(), "");

  EXPECT_EQ(NormalizeEmailAddress(""), "");
  EXPECT_EQ(NormalizeEmailAddress("Joe <Joe@Example.com> "), "Joe@Example.com");
  EXPECT_EQ(NormalizeEmailAddress("no address"), "@");

  std::string local = "x", domain = "x";
  EXPECT_TRUE(SplitEmailAddress("joe@example.com (Joe)", local, domain));
  EXPECT_EQ(local, "joe");
  EXPECT_EQ(domain, "example.com");
  EXPECT_FALSE(SplitEmailAddress("joe@localhost", local, domain));
  EXPECT_EQ(local, "joe");
  EXPECT_EQ(domain, "localhost");
}

TEST(CheckAddressSpec, Table) {
  struct Row {
    std::string address;
    int flags;
  } rows[] = {
      {"a@b.cd", 0},
      {" a@b.cd\t", 0},  // trimmed first
      {"a@b.c", 1},
      {"ab@c.d", 1},
      {"a b@c.de", 1},
      {"abcdef", 1},
      {"@bc.de", 1},
      {"a\"b@c.de", 1},
      {"a@b_c.de", 1},
      {"a@b@c.de", 9},  // two "@" and no ":"
      {"@a.bc,@d.ef:g@h.ij", 8},
      {"@a.bc,:g@h.ij", 8},  // an empty last route element is dropped
      {"@a.bc,,@d.ef:g@h.ij", 9},
      {"@a.bc,d.ef:g@h.ij", 9},
      {"@:g@h.ij", 9},  // a route element of one character
      {"@a.bc:g@h@i.jk", 9},
      {"@a.bc:gh.ij@", 9},
      // The domain check reads the first 999 characters after the "@".
      {"a@" + std::string(995, 'b') + ".com!", 0},
      {"a@" + std::string(994, 'b') + ".com!", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address.substr(0, 40));
    EXPECT_EQ(CheckAddressSpec(row.address), row.flags);
  }
}

// Address lists as Python's email.utils.getaddresses reads them, apart from
// the forms listed with the reason they read differently on purpose.
TEST(EmailAddressCollection, AddListAgreesWithPythonsGetaddresses) {
  const std::vector<std::string> fields = {
      "\"Joe Q. Public\" <john.q.public@example.com>",
      "john@example.com (John Doe)",
      "john@example.com",
      "<john@example.com>",
      "Joe <joe@example.com>, Ann <ann@example.org>",
      "Mary Smith <mary@x.test>",
      "MAILER-DAEMON@example.com (Mail Delivery System)",
      "=?utf-8?Q?J=C3=B6rg?= <jorg@example.com>",
      "J\xF6rg <jorg@example.com>",
      "a@example.com,b@example.com,c@example.com",
      "joe@example.com <joe@example.com>",
      "\"Doe, John\" <john@example.com>",
      "undisclosed-recipients:;",
      "\"Giant; \\\"Big\\\" Box\" <sysservices@example.net>",
      "<@r1.example.com,@r2.example.com:user@example.com>",
      "A Group:Ed Jones <c@a.test>,joe@where.test;",
      "Ann <ann@example.org",
      "ann@example.org, ",
      "Pete(A nice \\) chap) <pete@silly.test>",
  };
  const std::map<std::string, std::string> differences = {
      {"\"Doe, John\" <john@example.com>", "a comma inside a quoted name splits the field"},
      {"undisclosed-recipients:;", "Python reads an empty group, we a plain name"},
      {"\"Giant; \\\"Big\\\" Box\" <sysservices@example.net>",
       "a quoted name ends at the next quote, escaped or not"},
      {"<@r1.example.com,@r2.example.com:user@example.com>",
       "the comma of a source route splits the field; Python drops the route"},
      {"A Group:Ed Jones <c@a.test>,joe@where.test;", "groups are not read"},
      {"joe@example.com <joe@example.com>",
       "Python reads nothing of a field whose name looks like an address"},
      {"Pete(A nice \\) chap) <pete@silly.test>",
       "a comment ends at its first \")\", escaped or not"},
  };

  std::string input;
  for (const std::string& f : fields) input += test::HexOf(f) + "\n";
  const auto py = test::RunPython(R"(
import sys
from email.utils import getaddresses
for line in sys.stdin:
    field = bytes.fromhex(line.strip()).decode('latin-1')
    pairs = getaddresses([field])
    print(';'.join((n + '|' + a).encode('latin-1').hex() for n, a in pairs))
)",
                                  input);
  ASSERT_EQ(py.ExitCode, 0);
  const auto answers = test::OutputLines(py.Output);
  ASSERT_EQ(answers.size(), fields.size());
  std::set<std::string> seen;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    SCOPED_TRACE(fields[i]);
    TEmailAddressCollection list;
    list.AddList(fields[i]);
    std::string ours;
    for (int k = 0; k < list.Count(); ++k) {
      if (k > 0) ours += ';';
      ours += test::HexOf(list.Items(k).DisplayName + "|" + list.Items(k).Address);
    }
    const auto known = differences.find(fields[i]);
    if (known == differences.end()) {
      EXPECT_EQ(ours, answers[i]);
    } else {
      EXPECT_NE(ours, answers[i]) << "listed as different: " << known->second;
      seen.insert(fields[i]);
    }
  }
  EXPECT_EQ(seen.size(), differences.size()) << "a listed form is missing from the fields";
}

TEST(EmailAddressCollection, AddListAnswersForTheWholeCollection) {
  TEmailAddressCollection list;
  EXPECT_TRUE(list.AddList("a@example.com, b@example.com,"));
  EXPECT_EQ(list.Count(), 2);  // the empty last piece is dropped
  EXPECT_FALSE(list.AddList("nobody"));
  EXPECT_FALSE(list.AddList("c@example.com"));  // the earlier invalid item counts
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Items(3).Address, "c@example.com");
  EXPECT_THROW(list.Items(4), std::out_of_range);
}

TEST(EmailAddressCollection, RecipientListScore) {
  struct Row {
    const char* list;
    bool fewRule;
    double score;
  } rows[] = {
      {"john1@example.com", false, 0},
      {"joe@a.example, JOE@b.example, Joe@c.example", false, 0},  // one local part
      {"john1@example.com, john2@example.com", true, 0},          // fewer than 3
      {"john1@example.com, john2@example.com", false, 80},
      {"john1@example.com, john2@example.com, john3@example.com", true, 80},
      // Rows: ABC (lowest of 67 and 0) and ABD (0).
      {"abc@example.com, abd@example.com, xyz@example.com", false, 0},
      // Rows: AB12 (lowest of 75 and 50) and AB13 (75).
      {"ab12@example.com, ab34@example.com, ab13@example.com", false, 62.5},
      {"", false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.list);
    TEmailAddressCollection list;
    list.AddList(row.list);
    EXPECT_DOUBLE_EQ(list.RecipientListScore(row.fewRule), row.score);
  }
}

// ---------------------------------------------------------------------------
// ExtractEmailAddresses

TEST(ExtractEmailAddresses, Table) {
  struct Row {
    std::string text;
    std::vector<std::string> found;
    std::string rest;
  } rows[] = {
      {"Mail joe@example.com or <ann@example.org>!", {"joe@example.com", "ann@example.org"},
       "Mail  or <>!"},
      // "." is an address character: a full stop spoils the domain.
      {"Write to joe@example.com.", {}, "Write to joe example.com."},
      {"a@b@example.com", {"b@example.com"}, "a "},
      {"@@example.com", {}, "  example.com"},
      {"via @relay.example:joe@example.com today", {"@relay.example:joe@example.com"},
       "via  today"},
      {"x@@relay.example:joe@example.com", {"@relay.example:joe@example.com"}, "x "},
      {"no address here", {}, "no address here"},
      {"", {}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::string text = row.text;
    TStringList list{"kept"};
    ExtractEmailAddresses(text, list);
    std::vector<std::string> found = list.ToVector();
    found.erase(found.begin());
    EXPECT_EQ(found, row.found);
    EXPECT_EQ(text, row.rest);
  }
}

// The linear extraction settles each run of address characters at once; the
// plain reading searches from the start after every "@". Both must agree,
// source routes and runs of several "@" included.
TEST(ExtractEmailAddresses, AgreesWithThePlainReadingOnGeneratedTexts) {
  const std::vector<std::string> pieces = {
      "a",  "joe", "@",  "@@", ":",  ",",       ".",   ".com", "ex.com", "@r.net",
      " ",  "<",   ">",  "\t", "(",  "b.cd",    "x-y", "@a.bc,", "@a.bc:", "g@h.ij",
      "é",  "\"",  ";",  "1",  "!",  "@d.ef,@", "::",  ",,",
  };
  std::mt19937 rng(37);
  for (int k = 0; k < 30000; ++k) {
    std::string text;
    const int n = static_cast<int>(rng() % 16);
    for (int i = 0; i < n; ++i) text += pieces[rng() % pieces.size()];
    SCOPED_TRACE(text);
    std::string fast = text, slow = text;
    TStringList fastList;
    std::vector<std::string> slowList;
    ExtractEmailAddresses(fast, fastList);
    test::ReferenceExtractEmailAddresses(slow, slowList);
    ASSERT_EQ(fast, slow);
    ASSERT_EQ(fastList.ToVector(), slowList);
  }
}

// Message checksums run the extraction over whole bodies: 10 MB full of "@"
// must not take time quadratic in its length (searching again from the start
// after each "@", or checking each long run once per "@" in it, would not
// finish).
TEST(ExtractEmailAddresses, TenMegabytesFullOfAts) {
  constexpr std::size_t kSize = 10 * 1024 * 1024;
  // Each text is one run of address characters; the address found is its
  // part after the last "@" that starts no valid address.
  struct Row {
    std::string unit, tail, found;
  } rows[] = {
      {"@", "joe@example.com", "joe@example.com"},
      {"a@", "joe@example.com", "joe@example.com"},
      {"@:", "joe@example.com", ":joe@example.com"},
      {"@,", ":joe@example.com", ",:joe@example.com"},
      {"@x.yz,", "joe@example.com", "x.yz,joe@example.com"},
      {"@x.yz,", ":joe@example.com", ""},  // one valid source route: the whole run
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.unit + " " + row.tail);
    std::string text = row.unit;
    while (text.size() < kSize) text += text;
    text += row.tail;
    const std::size_t size = text.size();
    TStringList list;
    ExtractEmailAddresses(text, list);
    ASSERT_EQ(list.Count(), 1);
    if (row.found.empty()) {
      EXPECT_EQ(list[0].size(), size);
    } else {
      EXPECT_EQ(list[0], row.found);
    }
    EXPECT_EQ(text.size() + list[0].size(), size);
    EXPECT_EQ(text.find('@'), std::string::npos);
  }
  // Many separate addresses (2 MB: each is checked through the parser).
  std::string many;
  int count = 0;
  for (; many.size() < kSize / 5; ++count) many += "x@example.com ";
  TStringList list;
  ExtractEmailAddresses(many, list);
  EXPECT_EQ(list.Count(), count);
  EXPECT_EQ(many, std::string(static_cast<std::size_t>(count), ' '));
}

}  // namespace
}  // namespace halvorn
