#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

struct Case {
  std::string html, text, console;
};

void expect_conversion(const Case& c) {
  const Conversion result = convert(c.html);
  EXPECT_EQ(crlf(c.text), result.text) << testing::PrintToString(c.html);
  EXPECT_EQ(c.console, result.console) << testing::PrintToString(c.html);
  // Twice over, so that the block scans meet each name again, once they have it in memory.
  EXPECT_EQ("", scans_disagree(c.html + c.html)) << testing::PrintToString(c.html);
}

// Every name of the table, by name and by number.
TEST(DecodeEntity, KnownNames) {
  const Case cases[] = {
      {"&lt;", "<", ""},
      {"&#60;", "<", ""},
      {"&gt;", ">", ""},
      {"&#62;", ">", ""},
      {"&amp;", "&", ""},
      {"&#38;", "&", ""},
      {"&nbsp;", " ", ""},
      {"&quot;", "\"", ""},
      {"&#34;", "\"", ""},
      {"&copy;", "[Copyright]", ""},
      {"&#169;", "[Copyright]", ""},
      {"&reg;", "[Registered]", ""},
      {"&#174;", "[Registered]", ""},
      {"&trade;", "[Trademark]", ""},
      {"&#153;", "[Trademark]", ""},
      {"a & b", "a & b", ""},
      {"&lt;&gt;", "<>", ""},
      {"&nbsp;&nbsp;", "  ", ""},
  };
  for (const Case& c : cases)
    expect_conversion(c);
}

// Names not in the table: nothing in the text, one console line with the name as captured.
TEST(DecodeEntity, UnknownNamesAreReported) {
  const Case cases[] = {
      {"&#060;", "", "Unable to convert special character: &#060;\n"},
      {"&#x3C;", "", "Unable to convert special character: &#x3C;\n"},
      {"&AMP;", "", "Unable to convert special character: &AMP;\n"},
      {"&Lt;", "", "Unable to convert special character: &Lt;\n"},
      {"&;", "", "Unable to convert special character: &;\n"},
      {"&eacute;t&eacute;", "t",
       "Unable to convert special character: &eacute;\n"
       "Unable to convert special character: &eacute;\n"},
  };
  for (const Case& c : cases)
    expect_conversion(c);
}

// A name ends at ';' or at a space, never at any other byte.
TEST(ReadEntity, Terminators) {
  const Case cases[] = {
      {"AT&T rules", "ATrules", "Unable to convert special character: &T& ;\n"},
      {"&copy now", "now", "Unable to convert special character: &copy& ;\n"},
      {"&amp\nx;", "", "Unable to convert special character: &amp\nx;\n"},
      {"&amp\r\nx;", "", "Unable to convert special character: &amp\nx;\n"},
      {"&\n\n\n\n\n\n\n\n;", "", "Unable to convert special character: &\n\n\n\n\n\n\n\n;\n"},
      {"&amp\tx;y", "y", "Unable to convert special character: &amp\tx;\n"},
      {"&lt<B>;", "", "Unable to convert special character: &lt<B>;\n"},
      {"&a&b;c", "c", "Unable to convert special character: &a&b;\n"},
      {"&amp\0x;"s, "", "Unable to convert special character: &amp\0x;\n"s},
      {"&\xe9;", "", "Unable to convert special character: &\xe9;\n"},
  };
  for (const Case& c : cases)
    expect_conversion(c);
}

TEST(ReadEntity, TagInsideNameIsNotATag) {
  const Conversion result = convert("&lt<B>;x");
  EXPECT_EQ("", result.tags);
  EXPECT_EQ("x", result.text);
}

TEST(ReadEntity, AmpersandInsideTagIsPartOfTag) {
  const Conversion result = convert("<A HREF=\"a?b&amp;c\">x");
  EXPECT_EQ(crlf("<A HREF=\"a?b&amp;c\">\n"), result.tags);
  EXPECT_EQ("x", result.text);
  EXPECT_EQ("", result.console);
}

// At the end of the input the unfinished name is decoded like any other.
TEST(ReadEntity, EndOfInputInsideName) {
  const Case cases[] = {
      {"x&amp", "x&", ""},
      {"x&", "x", "Unable to convert special character: &;\n"},
      {"x&foo\x1a;", "x", "Unable to convert special character: &foo;\n"},
  };
  for (const Case& c : cases)
    expect_conversion(c);
}

// A name of any length is reported whole through a buffer of fixed size, whatever it holds,
// however it ends and wherever the refills cut it.
TEST(ReadEntity, KeepsLongNamesWhole) {
  const std::string report = "Unable to convert special character: &";
  for (const std::size_t length : {97u, 98u, 99u, 100u, 4000u, 1u << 20}) {
    for (const std::string_view body : {"n"sv, "n\r\n\0<>&\xc2"sv}) {
      const std::string name = repeated(body, length);
      const std::string html = "&" + name + ";&" + name + " x&" + name;  // the last cut short
      std::string shown;  // as read: a CR LF is one line break
      for (std::size_t i = 0; i < name.size(); ++i) {
        if (name.compare(i, 2, "\r\n") != 0) shown += name[i];
      }
      const Conversion result = convert(html);
      EXPECT_TRUE(report + shown + ";\n" + report + shown + "& ;\n" + report + shown + ";\n" ==
                  result.console)
          << length;
      EXPECT_EQ("x", result.text) << length;
      EXPECT_EQ("", scans_disagree(html, refills_for(length))) << length;
    }
  }
}

}  // namespace
