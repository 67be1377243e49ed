#include <array>
#include <bit>
#include <cstdint>

#include "convert/convert.h"

namespace {

enum class Match { kWholeTag, kPrefix };

struct TagRule {
  std::string_view upper, lower;  // lower is empty where a rule has one form
  Match match;
  std::size_t only_if_length;  // 0, or the exact tag length the output needs
  std::string_view output;
  int change;
};

constexpr std::size_t kRuleWidth = 80;

// A horizontal rule: a line of underscores and a blank line.
constexpr auto kUnderscores = [] {
  std::array<char, kRuleWidth + 2> line{};
  line.fill('_');
  line[kRuleWidth] = '\n';
  line[kRuleWidth + 1] = '\n';
  return line;
}();
constexpr std::string_view kUnderscoreRule(kUnderscores.data(), kUnderscores.size());

// Every rule is tried on every tag, in this order: where several match, their outputs follow
// one another and their changes add up. The change becomes the loop's space_run after the tag:
// -1 drops the first whitespace byte after the tag, 1 or more drop all of it.
// clang-format off
constexpr TagRule kTagRules[] = {
    // upper      lower        match             len    output           change
    {"<HTML>",    "<html>",    Match::kWholeTag, 0,     "",              +1},  // 1
    {"<BODY>",    "<body>",    Match::kWholeTag, 0,     "",              +1},  // 2
    {"</HEAD>",   "</head>",   Match::kWholeTag, 0,     "\n",            +1},  // 3
    {"<CENTER>",  "<center>",  Match::kWholeTag, 0,     "\n",            +1},  // 4
    {"</CENTER>", "</center>", Match::kWholeTag, 0,     "\n",            +1},  // 5
    {"<P>",       "<p>",       Match::kWholeTag, 0,     "\n\n",          -1},  // 6
    {"<BR>",      "<br>",      Match::kWholeTag, 0,     "\n",            -1},  // 7
    // Headings: only "<H1>" to "<H9>" and "</H1>" to "</H9>" are short enough for a line
    // break, but every tag beginning so (<HEAD>, <HR>, </HTML>) absorbs the whitespace after it.
    {"<H",        "<h",        Match::kPrefix,   4,     "\n",            +1},  // 8
    {"</H",       "</h",       Match::kPrefix,   5,     "\n",            +1},  // 9
    {"<DL>",      "<dl>",      Match::kWholeTag, 0,     "",              +1},  // 10
    {"</DL>",     "</dl>",     Match::kWholeTag, 0,     "\n",            +1},  // 11
    {"<DD>",      "<dd>",      Match::kWholeTag, 0,     "\n\t\t",        0},  // 12
    {"<DT>",      "<dt>",      Match::kWholeTag, 0,     "\t",            0},  // 13
    {"<LI>",      "<li>",      Match::kWholeTag, 0,     "\n\t\t",        0},  // 14
    {"<UL>",      "<ul>",      Match::kWholeTag, 0,     "",              +1},  // 15
    {"</UL>",     "</ul>",     Match::kWholeTag, 0,     "\n",            +1},  // 16
    {"<OL>",      "<ol>",      Match::kWholeTag, 0,     "",              +1},  // 17
    {"</OL>",     "</ol>",     Match::kWholeTag, 0,     "\n",            +1},  // 18
    {"<TABLE>",   "<table>",   Match::kWholeTag, 0,     "\n",            +1},  // 19
    {"</TABLE>",  "</table>",  Match::kWholeTag, 0,     "\n",            +1},  // 20
    {"<TH",       "<th",       Match::kPrefix,   0,     "\n\t",          +1},  // 21
    {"</TH>",     "</th>",     Match::kWholeTag, 0,     "\n",            +1},  // 22
    {"<TR",       "<tr",       Match::kPrefix,   0,     "\t",            +1},  // 23
    {"</TR>",     "</tr>",     Match::kWholeTag, 0,     "\n",            +1},  // 24
    {"<BLINK>",   "<blink>",   Match::kWholeTag, 0,     "",              +1},  // 25
    {"</BLINK>",  "</blink>",  Match::kWholeTag, 0,     "",              +1},  // 26
    {"<HR",       "<hr",       Match::kPrefix,   0,     kUnderscoreRule, +1},  // 27
    {"<IMG",      "<img",      Match::kPrefix,   0,     "",              +1},  // 28
    {"<A HREF",   "",          Match::kPrefix,   0,     "",              +1},  // 29
    {"<FORM",     "<form",     Match::kPrefix,   0,     "",              +1},  // 30
    {"</FORM",    "</form",    Match::kPrefix,   0,     "\n",            +1},  // 31
    {"<B>",       "<b>",       Match::kWholeTag, 0,     "[",             +1},  // 32
    {"</B>",      "</b>",      Match::kWholeTag, 0,     "]",             +1},  // 33
    {"<I>",       "<i>",       Match::kWholeTag, 0,     "{",             +1},  // 34
    {"</I>",      "</i>",      Match::kWholeTag, 0,     "}",             +1},  // 35
};
// clang-format on
static_assert(std::size(kTagRules) == 35);

// A tag's rendering depends only on its first kRenderingHead bytes and on its length counted up
// to kRenderingLength, which is what a RenderMemo goes by and what read_tag keeps of a long tag:
// no prefix is longer than the head, no whole-tag pattern or length condition reaches the length
// cap, and a pattern that takes bytes past the head is a whole tag, whose last byte is the '>'
// that every whole tag ends in, so that its length tells it.
constexpr bool rendering_depends_on_head_and_short_length() {
  for (const TagRule& rule : kTagRules) {
    for (const std::string_view pattern : {rule.upper, rule.lower}) {
      if (rule.match == Match::kPrefix && pattern.size() > kRenderingHead) return false;
      const bool told_by_head = pattern.size() <= kRenderingHead ||
                                (pattern.size() == kRenderingHead + 1 && pattern.back() == '>');
      if (rule.match == Match::kWholeTag && (pattern.size() >= kRenderingLength || !told_by_head)) {
        return false;
      }
    }
    if (rule.only_if_length >= kRenderingLength) return false;
  }
  return true;
}
static_assert(rendering_depends_on_head_and_short_length(),
              "a rule looks past a tag's first kRenderingHead bytes, or at its length past "
              "kRenderingLength: raise them in convert.h, and the memo's key (TagKey in "
              "convert/scan/memos.h) with them");

// Rules as bits, bit r for kTagRules[r].
using RuleSet = std::uint64_t;
static_assert(std::size(kTagRules) <= 64);

// Indexed by a tag's byte at this position (256 where the tag is shorter): the rules that can
// still match, either form. Derived from the table, so that render_tag tries only those.
constexpr std::array<RuleSet, 257> rules_by_byte_at(std::size_t position) {
  std::array<RuleSet, 257> sets{};
  for (std::size_t r = 0; r < std::size(kTagRules); ++r) {
    for (const std::string_view pattern : {kTagRules[r].upper, kTagRules[r].lower}) {
      if (pattern.empty()) continue;
      for (std::size_t c = 0; c < sets.size(); ++c) {
        if (pattern.size() <= position || static_cast<unsigned char>(pattern[position]) == c) {
          sets[c] |= RuleSet{1} << r;
        }
      }
    }
  }
  return sets;
}
constexpr auto kRulesBySecondByte = rules_by_byte_at(1);
constexpr auto kRulesByThirdByte = rules_by_byte_at(2);

std::size_t byte_at(std::string_view tag, std::size_t position) {
  return position < tag.size() ? static_cast<unsigned char>(tag[position]) : 256;
}

bool matches(const TagRule& rule, std::string_view tag, std::string_view pattern) {
  if (pattern.empty()) return false;
  if (rule.match == Match::kWholeTag ? tag.size() != pattern.size() : tag.size() < pattern.size()) {
    return false;
  }
  // Patterns are a few bytes long: comparing them here costs less than a call to memcmp.
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (tag[i] != pattern[i]) return false;
  }
  return true;
}

// The lowest result render_tag can return. A tag matches at most one whole-tag rule, since their
// patterns all differ, and any number of prefix rules. The block engine counts on -1 at the
// lowest: after a tag it lets only the first whitespace byte vanish.
constexpr int kLowestResult = [] {
  int whole_tag = 0, prefixes = 0;
  for (const TagRule& rule : kTagRules) {
    if (rule.match == Match::kWholeTag) {
      whole_tag = rule.change < whole_tag ? rule.change : whole_tag;
    } else if (rule.change < 0) {
      prefixes += rule.change;
    }
  }
  return whole_tag + prefixes;
}();
static_assert(kLowestResult >= -1,
              "a rule lowers space_run below -1, but the block engine lets at most the first "
              "whitespace byte after a tag vanish: teach absorb_white "
              "(convert/scan/fast_path.h) to let more vanish first");

}  // namespace

extern const std::size_t kLongestRendering = [] {
  std::size_t size = 0;
  for (const TagRule& rule : kTagRules)
    size += 2 * rule.output.size();
  return size;
}();

int render_tag(std::string_view tag, OutStream& text) {
  int result = 0;
  RuleSet candidates = kRulesBySecondByte[byte_at(tag, 1)] & kRulesByThirdByte[byte_at(tag, 2)];
  for (; candidates != 0; candidates &= candidates - 1) {
    const TagRule& rule = kTagRules[std::countr_zero(candidates)];
    if (!matches(rule, tag, rule.upper) && !matches(rule, tag, rule.lower)) continue;
    if (rule.only_if_length == 0 || tag.size() == rule.only_if_length)
      put_string(text, rule.output);
    result += rule.change;
  }
  return result;
}
