// make_corpus SIZE FILE: writes about SIZE bytes of generated HTML to FILE.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "corpus.h"

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fputs("usage: make_corpus SIZE FILE\n", stderr);
    return 1;
  }
  const std::string html = make_corpus(std::size_t(std::strtoull(argv[1], nullptr, 10)));
  std::FILE* file = std::fopen(argv[2], "wb");
  if (file == nullptr) return 1;
  const bool written = std::fwrite(html.data(), 1, html.size(), file) == html.size();
  return std::fclose(file) == 0 && written ? 0 : 1;
}
