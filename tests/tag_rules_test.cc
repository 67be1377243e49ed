#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

using namespace std::string_literals;

const std::string kUnderscores(80, '_');

struct Case {
  std::string tag, text;
  int result;
};

void expect_rendering(const Case& c) {
  const Rendering r = render(c.tag);
  EXPECT_EQ(crlf(c.text), r.text) << testing::PrintToString(c.tag);
  EXPECT_EQ(c.result, r.result) << testing::PrintToString(c.tag);
}

// The tag in lower case: a tag that a rule matches in upper case matches its lower-case form.
std::string lower(std::string tag) {
  for (char& c : tag)
    c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
  return tag;
}

// Each rule on the bare tag, and tags that several rules match: outputs in rule order, changes
// added up. Every case holds in upper case and in lower case alike.
TEST(RenderTag, OverlappingRulesWriteInOrderAndAdd) {
  const std::string rule = kUnderscores + "\n\n";
  // clang-format off
  const Case cases[] = {
      {"<HTML>", "", 2}, {"</HTML>", "", 1}, {"<HEAD>", "", 1}, {"</HEAD>", "\n", 2},
      {"<BODY>", "", 1}, {"<CENTER>", "\n", 1}, {"</CENTER>", "\n", 1},
      {"<P>", "\n\n", -1}, {"</P>", "", 0}, {"<BR>", "\n", -1},
      {"<H1>", "\n", 1}, {"<H6>", "\n", 1}, {"</H2>", "\n", 1}, {"</H3>", "\n", 1},
      {"<H1 ALIGN=CENTER>", "", 1}, {"<HR>", "\n" + rule, 2}, {"<HR SIZE=3>", rule, 2},
      {"<DL>", "", 1}, {"</DL>", "\n", 1}, {"<DD>", "\n\t\t", 0}, {"<DT>", "\t", 0},
      {"<LI>", "\n\t\t", 0}, {"<UL>", "", 1}, {"</UL>", "\n", 1}, {"<OL>", "", 1},
      {"</OL>", "\n", 1}, {"<TABLE>", "\n", 1}, {"</TABLE>", "\n", 1}, {"<TH>", "\n\t", 1},
      {"</TH>", "\n", 1}, {"<TR>", "\t", 1}, {"</TR>", "\n", 1}, {"<TD>", "", 0},
      {"<BLINK>", "", 1}, {"</BLINK>", "", 1}, {"<IMG>", "", 1}, {"<FORM>", "", 1},
      {"</FORM>", "\n", 1}, {"<B>", "[", 1}, {"</B>", "]", 1}, {"<I>", "{", 1},
      {"</I>", "}", 1}, {"<FONT SIZE=2>", "", 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    expect_rendering(c);
    expect_rendering({lower(c.tag), c.text, c.result});
  }
}

// Only the upper- and the lower-case form match; mixed case matches neither.
TEST(RenderTag, CaseMatters) {
  const Case cases[] = {
      {"<Br>", "", 0},        {"<Html>", "", 1},  // not <HTML>, but begins with "<H"
      {"<hR>", "\n", 1},                          // "<h", 4 long; neither "<HR" nor "<hr"
      {"<Hr SIZE=1>", "", 1}, {"<bR>", "", 0},   {"<Table>", "", 0}, {"<Img src=a>", "", 0},
  };
  for (const Case& c : cases)
    expect_rendering(c);
}

// Whole-tag rules match only the bare tag.
TEST(RenderTag, AttributesDefeatWholeTagRules) {
  const Case cases[] = {
      {"<P ALIGN=CENTER>", "", 0},
      {"<TABLE BORDER=1>", "", 0},
      {"<BODY BGCOLOR=WHITE>", "", 0},
      {"<LI TYPE=SQUARE>", "", 0},
      {"<P >", "", 0},
      {"<B\n>", "", 0},
  };
  for (const Case& c : cases)
    expect_rendering(c);
}

// Prefix rules take attributes and longer names.
TEST(RenderTag, PrefixRulesTakeAttributesAndLongerNames) {
  const Case cases[] = {
      {"<IMG SRC=logo.gif>", "", 1},
      {"<FORM METHOD=POST>", "", 1},
      {"</FORMS>", "\n", 1},
      {"<A HREF=index.htm>", "", 1},
      {"<THEAD>", "\n\t", 1},
      {"<TR ALIGN=LEFT>", "\t", 1},
      {"<HRULE>", kUnderscores + "\n\n", 2},
      {"<IMG", "", 1},  // a tag cut short by the end of the input
  };
  for (const Case& c : cases)
    expect_rendering(c);
}

// The anchor rule is exactly "<A HREF": one space, upper case.
TEST(RenderTag, AnchorPrefixIsExact) {
  const Case cases[] = {
      {"<A HREF>", "", 1},     {"<A HREF=index.htm>", "", 1},  {"<a href=index.htm>", "", 0},
      {"<A NAME=top>", "", 0}, {"<A  HREF=index.htm>", "", 0}, {"<A\nHREF=index.htm>", "", 0},
      {"<A href=x>", "", 0},
  };
  for (const Case& c : cases)
    expect_rendering(c);
}

TEST(RenderTag, ClosingTagsWithoutRule) {
  for (const std::string tag : {"</P>", "</A>", "</TD>", "</BODY>", "</THEAD>", "</IMG>"}) {
    expect_rendering({tag, "", 0});
  }
}

// Headings get their line break only at the exact lengths of "<H1>" and "</H1>".
TEST(RenderTag, HeadingLengthConditions) {
  const Case cases[] = {
      {"<H>", "", 1},     {"<H1>", "\n", 1}, {"<H12>", "", 1},  {"</H>", "", 1},
      {"</H1>", "\n", 1}, {"</H12>", "", 1}, {"<HX>", "\n", 1}, {"</HR>", "\n", 1},
  };
  for (const Case& c : cases)
    expect_rendering(c);
}

// A NUL inside a tag is compared like any other byte.
TEST(RenderTag, NulIsAnOrdinaryByte) {
  const Case cases[] = {
      {"<B\0>"s, "", 0},
      {"<P>\0"s, "", 0},
      {"<IMG\0>"s, "", 1},
  };
  for (const Case& c : cases)
    expect_rendering(c);
}

TEST(RenderTag, EmptyAndOddTags) {
  const Case cases[] = {{"<>", "", 0}, {"<", "", 0}, {"", "", 0}, {"<<P>", "", 0}};
  for (const Case& c : cases)
    expect_rendering(c);
}

}  // namespace
