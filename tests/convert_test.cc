#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

struct Case {
  std::string html, text;
};

void expect_scans_agree(const std::string& html,
                        std::span<const std::size_t> refills = kRefillSizes) {
  EXPECT_EQ("", scans_disagree(html, refills)) << testing::PrintToString(html.substr(0, 300));
}

void expect_text(const Case& c) {
  EXPECT_EQ(crlf(c.text), convert(c.html).text) << testing::PrintToString(c.html);
  expect_scans_agree(c.html);
}

// Whitespace runs collapse to one space; the first run of the file counts too.
TEST(ConvertFile, CollapsesWhitespace) {
  const Case cases[] = {
      {"a  \n\n b", "a b"},
      {"\n\n  Hello", " Hello"},
      {"end.\n", "end. "},
      {"a\tb\nc", "a b c"},
      {"a\r\nb", "a b"},
      {"a\x0b\x0c\r b", "a b"},
      {"", ""},
  };
  for (const Case& c : cases)
    expect_text(c);
}

// Every byte that is not '<', '&' or whitespace is copied as it stands.
TEST(ConvertFile, CopiesOrdinaryBytes) {
  const Case cases[] = {
      {"a > b; c", "a > b; c"},
      {"\xff\x80 \xfe", "\xff\x80 \xfe"},
      {"a\0b"s, "a\0b"s},
      {"\x01\x7f", "\x01\x7f"},
  };
  for (const Case& c : cases)
    expect_text(c);
}

TEST(ConvertFile, StopsAtDosEndOfFile) {
  const Conversion result = convert("a b\x1a<P>c &amp; d");
  EXPECT_EQ("a b", result.text);
  EXPECT_EQ("", result.tags);
}

// A tag's result replaces space_run, so the whitespace after it depends on the tag.
TEST(ConvertFile, TagsAndWhitespaceMeet) {
  const Case cases[] = {
      {"a <X> b", "a  b"},  // no rule: 0 lets the next run become a space
      {"a<X>b", "ab"},
      {"<P>\nHello", "\n\nHello"},  // -1 swallows one whitespace byte
      {"<P>\n\nHello", "\n\n Hello"},
      {"<BR>\nNext", "\nNext"},
      {"<B>bold</B> text", "[bold]text"},  // 1 swallows the whole run
      {"<LI> First", "\n\t\t First"},
      {"<HR>  \n <P>x", "\n" + std::string(80, '_') + "\n\n\n\nx"},
  };
  for (const Case& c : cases)
    expect_text(c);
}

// An entity's replacement neither counts as whitespace nor resets space_run.
TEST(ConvertFile, EntitiesAndWhitespaceMeet) {
  const Case cases[] = {
      {"x &lt; y", "x <y"},           {"x&lt; y", "x< y"},
      {"a&nbsp; b", "a  b"},          {"&nbsp;&nbsp;", "  "},
      {"Tom&amp;Jerry", "Tom&Jerry"}, {"a & b", "a & b"},
      {"<B> &amp; x", "[&x"},
  };
  for (const Case& c : cases)
    expect_text(c);
}

// The tag file lists every tag exactly as written, one per line.
TEST(TagLog, LogsEachTagAsWritten) {
  struct LogCase {
    std::string html, tags, text;
  };
  const LogCase cases[] = {
      {"<P>", "<P>\n", "\n\n"},
      {"<>", "<>\n", ""},
      {"< p  align=center >", "< p  align=center >\n", ""},
      {"<IMG\r\nSRC=a.gif>", "<IMG\nSRC=a.gif>\n", ""},
      {"<IMG\rSRC=a.gif>", "<IMG\rSRC=a.gif>\n", ""},
      {"<a<b>", "<a<b>\n", ""},
      {"<!-- a > b -->", "<!-- a >\n", " b -->"},
      {"<A TITLE=\"x>y\">z", "<A TITLE=\"x>\n", "y\">z"},
      {"a > b", "", "a > b"},
      {"<B>x</B><I>y</I>", "<B>\n</B>\n<I>\n</I>\n", "[x]{y}"},
      {"<a href=\"x&amp;y\">", "<a href=\"x&amp;y\">\n", ""},
      {"x <P", "<P\n", "x "},  // the input ends inside the tag: logged as it stands
      {"<HR", "<HR\n", std::string(80, '_') + "\n\n"},
      {"<", "<\n", ""},
      {"<B\0x>"s, "<B\0x>\n"s, ""},  // NUL is an ordinary byte of the tag
      {"<B>\0</B>"s, "<B>\n</B>\n"s, "[\0]"s},
  };
  for (const LogCase& c : cases) {
    const Conversion result = convert(c.html);
    EXPECT_EQ(crlf(c.tags), result.tags) << testing::PrintToString(c.html);
    EXPECT_EQ(crlf(c.text), result.text) << testing::PrintToString(c.html);
  }
}

// A tag of any length is logged whole through a buffer of fixed size, whatever it holds and
// wherever the refills cut it; its first bytes decide its rendering.
TEST(TagLog, KeepsLongTagsWhole) {
  const std::string rule = crlf(std::string(80, '_') + "\n\n");
  for (const std::size_t length : {997u, 998u, 999u, 1000u, 5000u, 1u << 20}) {
    for (const std::string_view body : {"x"sv, "HR a\r\nb\0<&"sv}) {
      const std::string inner = repeated(body, length);
      const std::string html = "a<" + inner + ">b<" + inner;  // the last tag cut short
      const Conversion result = convert(html);
      EXPECT_TRUE("<" + inner + ">\r\n<" + inner + "\r\n" == result.tags) << length;
      EXPECT_EQ(body == "x" ? "ab" : "a" + rule + "b" + rule, result.text) << length;
      expect_scans_agree(html, refills_for(length));
    }
  }
}

// The way the input is cut into refills changes nothing.
TEST(ConvertFile, SameResultAtEveryRefillSize) {
  const std::string html =
      "<HTML>\r\n<HEAD><TITLE>T</TITLE></HEAD>\r\n<BODY>\r\n<H1>Head</H1>\r\n"
      "<P>Tom &amp; Jerry &copy now\r\n<UL>\r\n<LI>one\r\n<LI>two\r\n</UL>\r"
      "<IMG\r\nSRC=x.gif>&lt\r\n;&AMP;\r\n\x1a<P>gone";
  EXPECT_NE("", convert(html).text);
  expect_scans_agree(html);
}

// The block scans against the byte loop: on the sample page and the fuzzer's seeds, each alone
// and all of them over and over in a page past a buffer, and on random markup.
TEST(ConvertFile, BlockScansMatchTheByteLoop) {
  const std::filesystem::path source = SKRIVEL_SOURCE_DIR;
  std::string pages = read_file(source / "examples/sample.htm");
  expect_scans_agree(pages);
  for (const auto& seed : std::filesystem::directory_iterator(source / "fuzz/corpus")) {
    const std::string seed_page = read_file(seed.path());
    expect_scans_agree(seed_page, refills_for(seed_page.size()));
    pages += seed_page.substr(0, seed_page.find('\x1a'));  // the long page must not end early
  }
  expect_scans_agree(repeated(pages, 300000));
  // Text between tags about as long as the fast path copies, and longer, filling the text
  // buffer often.
  expect_scans_agree(
      repeated("<B>" + std::string(250, 'y') + "&amp;\t " + std::string(600, 'z'), 100000));
  std::uint64_t state = 88172645463325252ULL;
  const std::string alphabet = "<<>>&&; ;\t\r\n\r\n\x1a"s + '\0' + "aB/HPRT#\xff";
  for (int i = 0; i < 300; ++i) {
    std::string html;
    for (int n = 0; n < 200; ++n) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      html += alphabet[std::size_t(state % alphabet.size())];
    }
    expect_scans_agree(html);
  }
}

// The scan the program takes is the fastest kind of masks whose features the processor has, as
// Linux lists them: rows out of order, or a check that asks the wrong thing, fail here.
TEST(Scans, TheProgramTakesTheFastestTheProcessorHas) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string flags;
  for (std::string line; flags.empty() && std::getline(cpuinfo, line);) {
    if (line.starts_with("flags") || line.starts_with("Features")) {
      flags = line.substr(line.find(':') + 1) + " ";
    }
  }
  if (SKRIVEL_CROSS_BUILT || flags.empty()) {
    GTEST_SKIP() << "no /proc/cpuinfo of this processor; it takes " << fastest_scan().name;
  }
  struct Kind {
    std::string_view scan;
    std::vector<std::string> flags;  // what it needs, by the names Linux gives them
  };
  const Kind fastest_first[] = {
      {"avx512", {"avx512f", "avx512bw", "avx512_vbmi2", "avx2", "bmi1", "bmi2", "popcnt"}},
      {"avx2", {"avx2", "bmi1", "bmi2", "popcnt"}},
      {"sse2", {"sse2"}},
      {"neon", {"asimd"}},
      {"portable", {}},
  };
  for (const Kind& kind : fastest_first) {
    const bool built =
        std::ranges::any_of(scans(), [&](const Scan& s) { return s.name == kind.scan; });
    const bool has = std::ranges::all_of(kind.flags, [&](const std::string& flag) {
      return flags.find(" " + flag + " ") != std::string::npos;
    });
    if (built && has) {
      EXPECT_EQ(kind.scan, fastest_scan().name) << "flags:" << flags;
      return;
    }
  }
  FAIL() << "no scan for this processor";
}

// Entity names alike but for what ends them or for their length (NUL bytes at their end look
// like none), up to a byte past the 8 that the scans look at, each met again.
std::string entities_alike() {
  std::string page;
  for (const std::string name :
       {"", "lt", "amp", "copy", "trade", "#169", "\n\n\n", "abcdefg", "abcdefgh", "abcdefgh!"}) {
    for (std::size_t nuls = 0; name.size() + nuls < 10; ++nuls) {
      for (const std::string_view end : {";", " ", "\r;", "\n "})
        page += "&" + name + std::string(nuls, '\0') + std::string(end) + "x";
    }
  }
  return page + page;
}

// Tags alike in their first bytes but for their length, from 2 bytes to past a block, each
// met again.
std::string tags_alike() {
  std::string page;
  for (std::size_t length = 2; length < 72; ++length) {
    for (std::string tag : {"<H", "</H", "</CENTER"}) {
      tag.resize(length - 1, 'x');
      page += tag + ">y";
    }
  }
  return page + page;
}

// Markup and whitespace at every offset around the end of the first block.
TEST(ConvertFile, BlockScansAtBlockEdges) {
  // clang-format off
  const std::string snippets[] = {
      "<P>\r\n\r\nx", "<BR>\r\ny", "a \t b  c", "<A HREF=x>",   "x&amp;y", "&copy now",
      "<HR> ",        "a\r\n",     "a\x1a<B>",  "<IMG\r\nSRC>", "<B> x",   "&lt<B>;",
      // Tags the rendering memo must tell apart, and a tag that makes all whitespace vanish.
      "</CENTER></CENTERS>", "<CENTER>x>", "<BR>\n\n\nx", "<BR>\r\n \tx",
      // Lone whitespace that a copy turns into a space, and runs that end at markup; a lone CR
      // where a tag lets only the first whitespace byte vanish.
      "a\tb\vc\fd\re", "a \r\n&lt; \t<B>", "<P>\r \r\nx<BR>\r\rx",
      // Many runs of kept bytes in one block, and a run of whitespace longer than a block.
      "a\tb c\nd\te  f\tg h\ti\tj\tk\tl\tm\tn\to\tp\tq\tr\ts\tt",
      "a" + std::string(70, '\t') + " \r\nb",
      // Text longer than one copy takes, ending in whitespace that an entity follows.
      std::string(600, 'y') + " \t&lt; z",
      // Entities one after another, after a tag, and seen again; names of 8 and 9 bytes.
      "<B>&amp;&amp;&lt;x&amp;\t<B>\n<I>\t&lt;", "&abcdefgh;&abcdefghi;&abcdefgh;&amp ;",
      // Short tags met, then alike in their first bytes but for a special byte before '>' or
      // their length; tags of 8 and 9 bytes met again.
      "<B>x<B\t>x<B\r\n>x<B<B>x<B&>x<B>x<B >", "<ABCDEFG><ABCDEFGH><ABCDEFG><ABCDEFGH>",
      // Tags as long as either copy to the tag file, and a byte longer, each met again.
      repeated("<" + std::string(30, 'A') + "><" + std::string(31, 'B') + "><" +
                   std::string(62, 'C') + "><" + std::string(63, 'D') + ">",
               410),
      entities_alike(), tags_alike(),
  };
  // clang-format on
  for (const std::string& snippet : snippets) {
    for (std::size_t offset = 50; offset < 72; ++offset) {
      expect_scans_agree(std::string(offset, 'x') + snippet + "  z");
    }
  }
}

// The engine's limits, each met at every offset around it (the outputs' buffers are
// kLeastOutputBuffer long here): the scratch of renderings filling up and being forgotten, and
// whole-block tags, long renderings and long copies near the end of the tag file's and the text
// file's buffers. Where the refills cut the input moves none of them.
TEST(ConvertFile, BlockScansAtTheirLimits) {
  const auto numbered = [](std::string_view kind, std::size_t n) {
    return "<" + std::string(kind) + std::to_string(n) + ">";
  };
  for (std::size_t d = 0; d < 86; ++d) {
    // d renderings of one byte, then distinct rules of 84 bytes, each met again at once, past
    // the scratch's end: the last one before it is forgotten lies at each offset of its end.
    // Then all of them again, the first ones forgotten.
    std::string page;
    for (std::size_t i = 0; i < d; ++i)
      page += numbered("TR", i);
    for (std::size_t i = 0; i < 200; ++i)
      page += numbered("HR ", i) + "x" + numbered("HR ", i);
    expect_scans_agree(page + "<I>" + page, kSomeRefills);
  }
  const std::string block_tag = "<" + std::string(62, 'T') + ">";
  for (std::size_t d = 0; d < 70; ++d) {
    // A tag whose line puts the whole-block and the short tags after it at each offset near the
    // end of the tag file's buffer.
    const std::string filler(kLeastOutputBuffer - 70 - d, 'f');
    expect_scans_agree("<" + filler + ">" + repeated(block_tag + "z<B>z", 4 * 70), kSomeRefills);
  }
  for (std::size_t end = 560; end < 720; ++end) {
    // Renderings and text of one byte each up to `end` bytes before the end of the text file's
    // buffer, then the longest copy the fast path makes, or a longer one, a long rendering, and
    // an entity.
    const std::size_t ones = kLeastOutputBuffer - end - 87;  // after the first two, 87 bytes
    const std::string text =
        "<HR>&amp;" + std::string(ones % 2, 'y') + repeated("x<B>", 4 * (ones / 2));
    for (const std::size_t copy : {512u, 514u})
      expect_scans_agree(text + std::string(copy, 'k') + "<HR>\t&amp; z", kSomeRefills);
  }
}

}  // namespace
