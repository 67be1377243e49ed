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

// Each rule on the bare tag, in both of its forms.
TEST(RenderTag, EachRuleInBothForms) {
  const Case cases[] = {
      {"<HTML>", "", 2},  // also begins with "<H"
      {"<html>", "", 2},
      {"<BODY>", "", 1},
      {"<body>", "", 1},
      {"</HEAD>", "\n", 2},  // also begins with "</H"
      {"</head>", "\n", 2},
      {"<CENTER>", "\n", 1},
      {"<center>", "\n", 1},
      {"</CENTER>", "\n", 1},
      {"</center>", "\n", 1},
      {"<P>", "\n\n", -1},
      {"<p>", "\n\n", -1},
      {"<BR>", "\n", -1},
      {"<br>", "\n", -1},
      {"<H1>", "\n", 1},
      {"<h6>", "\n", 1},
      {"</H2>", "\n", 1},
      {"</h3>", "\n", 1},
      {"<DL>", "", 1},
      {"<dl>", "", 1},
      {"</DL>", "\n", 1},
      {"</dl>", "\n", 1},
      {"<DD>", "\n\t\t", 0},
      {"<dd>", "\n\t\t", 0},
      {"<DT>", "\t", 0},
      {"<dt>", "\t", 0},
      {"<LI>", "\n\t\t", 0},
      {"<li>", "\n\t\t", 0},
      {"<UL>", "", 1},
      {"<ul>", "", 1},
      {"</UL>", "\n", 1},
      {"</ul>", "\n", 1},
      {"<OL>", "", 1},
      {"<ol>", "", 1},
      {"</OL>", "\n", 1},
      {"</ol>", "\n", 1},
      {"<TABLE>", "\n", 1},
      {"<table>", "\n", 1},
      {"</TABLE>", "\n", 1},
      {"</table>", "\n", 1},
      {"<TH>", "\n\t", 1},
      {"<th>", "\n\t", 1},
      {"</TH>", "\n", 1},
      {"</th>", "\n", 1},
      {"<TR>", "\t", 1},
      {"<tr>", "\t", 1},
      {"</TR>", "\n", 1},
      {"</tr>", "\n", 1},
      {"<BLINK>", "", 1},
      {"<blink>", "", 1},
      {"</BLINK>", "", 1},
      {"</blink>", "", 1},
      {"<HR>", "\n" + kUnderscores + "\n\n", 2},  // also begins with "<H"
      {"<hr>", "\n" + kUnderscores + "\n\n", 2},
      {"<IMG>", "", 1},
      {"<img>", "", 1},
      {"<A HREF>", "", 1},
      {"<FORM>", "", 1},
      {"<form>", "", 1},
      {"</FORM>", "\n", 1},
      {"</form>", "\n", 1},
      {"<B>", "[", 1},
      {"<b>", "[", 1},
      {"</B>", "]", 1},
      {"</b>", "]", 1},
      {"<I>", "{", 1},
      {"<i>", "{", 1},
      {"</I>", "}", 1},
      {"</i>", "}", 1},
  };
  for (const Case& c : cases)
    expect_rendering(c);
}

// Tags that several rules match: outputs in rule order, changes added up.
TEST(RenderTag, OverlappingRulesWriteInOrderAndAdd) {
  const Case cases[] = {
      {"<HR>", "\n" + kUnderscores + "\n\n", 2},
      {"<HR SIZE=3>", kUnderscores + "\n\n", 2},
      {"<H1>", "\n", 1},
      {"<H1 ALIGN=CENTER>", "", 1},
      {"</H2>", "\n", 1},
      {"<HTML>", "", 2},
      {"<HEAD>", "", 1},
      {"</HEAD>", "\n", 2},
      {"</HTML>", "", 1},
      {"<TH>", "\n\t", 1},
      {"<TR>", "\t", 1},
      {"<TD>", "", 0},
      {"<P>", "\n\n", -1},
      {"</P>", "", 0},
      {"<BR>", "\n", -1},
      {"<LI>", "\n\t\t", 0},
      {"<B>", "[", 1},
      {"<I>", "{", 1},
      {"</I>", "}", 1},
      {"<A HREF=index.htm>", "", 1},
      {"<FONT SIZE=2>", "", 0},
  };
  for (const Case& c : cases)
    expect_rendering(c);
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
      {"<a href=index.htm>", "", 0},  {"<A NAME=top>", "", 0}, {"<A  HREF=index.htm>", "", 0},
      {"<A\nHREF=index.htm>", "", 0}, {"<A href=x>", "", 0},
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
