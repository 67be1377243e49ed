#include "frontend/file_checks.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

using namespace std::string_literals;

struct Checked {
  int result;
  std::string console;
};

Checked check(std::string_view name) {
  Checked c{};
  OutStream console;
  open_memory_output(console, &c.console);
  console.crlf = false;
  c.result = check_filename(name, console);
  close_output(console);
  return c;
}

std::string refused(char c) {
  return "\n'"s + c + "' is not a legal filename character.\n";
}

TEST(CheckFilename, RefusesEachIllegalByte) {
  for (const char c : {'\t', ' ', '"', '+', ',', '/', ';', '=', '[', ']'}) {
    const Checked r = check("page"s + c + "x.htm");
    EXPECT_EQ(0, r.result) << int(c);
    EXPECT_EQ(refused(c), r.console) << int(c);
  }
}

TEST(CheckFilename, AcceptsEveryOtherByte) {
  const std::string accepted[] = {
      "page.htm",    "C:\\docs\\page.htm",  "a:b",
      "*.htm",       "what?.htm",           "<x>|y",
      "-h",          "\x01\x0b\x0c\r\n",    "\x7f\x80\xff",
      "caf\xe9.htm", "..\\site\\page.html",
  };
  for (const std::string& name : accepted) {
    const Checked r = check(name);
    EXPECT_EQ(1, r.result) << testing::PrintToString(name);
    EXPECT_EQ("", r.console) << testing::PrintToString(name);
  }
}

// The tests run in order and the first failing one decides.
TEST(CheckFilename, FirstFailingTestDecides) {
  const std::string too_long = "\nYou have exceeded the maximum pathlength of 128 characters\n";
  struct Case {
    std::string name;
    int result;
    std::string console;
  };
  const Case cases[] = {
      {"", 0, "\nYou must enter a filename.\n"},
      {std::string(128, 'a'), 1, ""},
      {std::string(129, 'a'), 0, too_long},
      {std::string(124, 'a') + ".htm", 1, ""},
      {std::string(190, 'a') + " b/c", 0, too_long},
      {"my file.htm", 0, refused(' ')},
      {"a+b=c.htm", 0, refused('+')},
      {"docs/page.htm", 0, refused('/')},
      {"x\t y", 0, refused('\t')},
  };
  for (const Case& c : cases) {
    const Checked r = check(c.name);
    EXPECT_EQ(c.result, r.result) << c.name;
    EXPECT_EQ(c.console, r.console) << c.name;
  }
}

TEST(Extension, OnlyTheFourHtmlForms) {
  for (const std::string_view name : {"page.htm", "page.HTM", "page.html", "page.HTML",
                                      "report.final.HTML", "..\\site\\page.html"}) {
    EXPECT_TRUE(has_html_extension(name)) << name;
  }
  for (const std::string_view name : {"page.Htm", "page.hTML", "page.htmls", "page.txt", "page.",
                                      "page", "-h", "site.old\\page", ".htm.bak"}) {
    EXPECT_FALSE(has_html_extension(name)) << name;
  }
}

TEST(Extension, BaseNameIsCutAtTheLastDot) {
  EXPECT_EQ("report.final", base_name("report.final.HTML"));
  EXPECT_EQ("..\\site\\page", base_name("..\\site\\page.html"));
  EXPECT_EQ("", base_name(".htm"));
}

}  // namespace
