// make_corpus SIZE FILE [varied]: writes about SIZE bytes of generated HTML to FILE, its tags
// the longer and more varied kind if the third argument says so.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "corpus.h"

int main(int argc, char* argv[]) {
  if (argc != 3 && !(argc == 4 && std::string_view(argv[3]) == "varied")) {
    std::fputs("usage: make_corpus SIZE FILE [varied]\n", stderr);
    return 1;
  }
  const Markup markup = argc == 4 ? Markup::kVaried : Markup::kSimple;
  const std::string html =
      make_corpus(std::size_t(std::strtoull(argv[1], nullptr, 10)), 20261207, markup);
  std::FILE* file = std::fopen(argv[2], "wb");
  if (file == nullptr) return 1;
  const bool written = std::fwrite(html.data(), 1, html.size(), file) == html.size();
  return std::fclose(file) == 0 && written ? 0 : 1;
}
