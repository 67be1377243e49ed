#include "corpus.h"

#include <array>
#include <string_view>

namespace {

// xorshift64*: small, fast and the same on every system.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  template <typename T, std::size_t N>
  const T& pick(const std::array<T, N>& items) {
    return items[below(N)];
  }
};

constexpr std::array<std::string_view, 48> kWords = {
    "the",      "of",       "and",     "garden",   "water",     "to",      "in",     "a",
    "season",   "plot",     "members", "compost",  "is",        "for",     "that",   "seed",
    "weather",  "spring",   "autumn",  "harvest",  "committee", "meeting", "with",   "on",
    "beans",    "potatoes", "shed",    "path",     "hedge",     "rent",    "notice", "be",
    "planted",  "frost",    "by",      "sunlight", "soil",      "roots",   "it",     "as",
    "Saturday", "village",  "council", "tomatoes", "every",     "new",     "from",   "at"};

constexpr std::array<std::string_view, 10> kInline = {"<B>",
                                                      "</B>",
                                                      "<I>",
                                                      "</I>",
                                                      "<A HREF=\"page.htm\">",
                                                      "</A>",
                                                      "<FONT SIZE=2>",
                                                      "</FONT>",
                                                      "<IMG SRC=\"img/leaf.gif\" ALT=\"leaf\">",
                                                      "<BR>"};

constexpr std::array<std::string_view, 12> kEntities = {"&amp;",    "&lt;",    "&gt;",   "&quot;",
                                                        "&nbsp;",   "&copy;",  "&#169;", "&trade;",
                                                        "&eacute;", "&mdash;", "& ",     "&reg;"};

constexpr std::array<std::string_view, 5> kSpaces = {" ", " ", " ", "  ", "\t "};

void sentence(std::string& out, Random& random) {
  const std::size_t words = 4 + random.below(14);
  for (std::size_t i = 0; i < words; ++i) {
    if (i > 0) out += i % 9 == 8 ? "\r\n" : random.pick(kSpaces);
    out += random.pick(kWords);
    const std::size_t roll = random.below(40);
    if (roll == 0) out += random.pick(kInline);
    if (roll == 1) out += random.pick(kEntities);
  }
  out += ".";
}

void paragraph(std::string& out, Random& random) {
  out += random.below(2) ? "<P>\r\n" : "<p>";
  const std::size_t sentences = 2 + random.below(5);
  for (std::size_t i = 0; i < sentences; ++i) {
    sentence(out, random);
    out += " ";
  }
  out += "</P>\r\n\r\n";
}

void list(std::string& out, Random& random) {
  out += "<UL>\r\n";
  for (std::size_t i = 0, n = 2 + random.below(6); i < n; ++i) {
    out += "  <LI>";
    sentence(out, random);
    out += "\r\n";
  }
  out += "</UL>\r\n";
}

void table(std::string& out, Random& random) {
  out += "<TABLE BORDER=1>\r\n<TR><TH>Plot<TH>Holder<TH>Mark</TR>\r\n";
  for (std::size_t i = 0, n = 2 + random.below(8); i < n; ++i) {
    out += "<TR><TD>";
    out += std::to_string(random.below(200));
    out += "<TD>";
    out += random.pick(kWords);
    out += "<TD>";
    out += "ABC"[random.below(3)];
    out += "</TR>\r\n";
  }
  out += "</TABLE>\r\n";
}

// A link with its address, now and then with a query.
void link(std::string& out, Random& random) {
  out += "<a href=\"https://www.allotments.example/";
  out += random.pick(kWords);
  out += "/";
  out += std::to_string(random.below(5000));
  out += ".html";
  if (random.below(3) == 0) {
    out += "?plot=";
    out += std::to_string(random.below(200));
    out += "&amp;year=2026";
  }
  out += "\">";
  out += random.pick(kWords);
  out += "</a>";
}

void image(std::string& out, Random& random) {
  out += "<img src=\"/images/";
  out += random.pick(kWords);
  out += std::to_string(random.below(100));
  out += ".jpg\" alt=\"";
  out += random.pick(kWords);
  out += " ";
  out += random.pick(kWords);
  out += "\" width=\"";
  out += std::to_string(100 + random.below(500));
  out += "\" height=\"";
  out += std::to_string(100 + random.below(400));
  out += "\">";
}

// A comment of a few words or many.
void comment(std::string& out, Random& random) {
  out += "<!--";
  for (std::size_t i = 0, n = random.below(20); i < n; ++i) {
    out += " ";
    out += random.pick(kWords);
  }
  out += " -->";
}

// A paragraph of the varied kind: in a classed element, with links, images, spans and comments
// among its words.
void varied_paragraph(std::string& out, Random& random) {
  const bool division = random.below(3) == 0;
  if (division) {
    out += "<div class=\"plot-";
    out += random.pick(kWords);
    out += "\">\r\n";
  }
  out += "<p class=\"text\">";
  for (std::size_t i = 0, words = 20 + random.below(60); i < words; ++i) {
    out += i % 11 == 10 ? "\r\n" : " ";
    switch (random.below(16)) {
      case 0:
        link(out, random);
        break;
      case 1:
        image(out, random);
        break;
      case 2:
        comment(out, random);
        break;
      case 3:
        out += "<span style=\"color:#";
        out += std::to_string(100000 + random.below(900000));
        out += "\">";
        out += random.pick(kWords);
        out += "</span>";
        break;
      case 4:
        out += random.pick(kEntities);
        break;
      default:
        out += random.pick(kWords);
        break;
    }
  }
  out += "</p>\r\n";
  if (division) out += "</div>\r\n";
}

}  // namespace

std::string make_corpus(std::size_t size, std::uint64_t seed, Markup markup) {
  Random random{seed | 1};
  std::string out;
  out.reserve(size + 4096);
  out += "<HTML>\r\n<HEAD>\r\n<TITLE>Allotment Society</TITLE>\r\n</HEAD>\r\n<BODY>\r\n";
  while (markup == Markup::kVaried && out.size() < size) {
    if (random.below(5) == 0) {
      list(out, random);
    } else {
      varied_paragraph(out, random);
    }
  }
  while (out.size() < size) {
    switch (random.below(10)) {
      case 0:
        out += "<H2>";
        sentence(out, random);
        out += "</H2>\r\n";
        break;
      case 1:
        list(out, random);
        break;
      case 2:
        table(out, random);
        break;
      case 3:
        out += "<!-- section ";
        out += std::to_string(random.below(1000));
        out += " -->\r\n";
        break;
      case 4:
        out += "<HR>\r\n";
        break;
      default:
        paragraph(out, random);
        break;
    }
  }
  out += "</BODY>\r\n</HTML>\r\n";
  return out;
}
