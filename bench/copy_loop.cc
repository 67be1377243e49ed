// copy_loop: copies standard input to standard output with plain read and write calls, through
// one buffer of the size skrivel reads with. No program that reads a page and writes it out
// again can take less: bench/run measures skrivel against it, the floor.
#include <unistd.h>

#include <memory>

#include "platform/text_stream.h"

int main() {
  const auto buffer = std::make_unique<char[]>(kStreamBufferSize);
  for (;;) {
    const ssize_t n = ::read(0, buffer.get(), kStreamBufferSize);
    if (n <= 0) return n < 0 ? 1 : 0;
    for (ssize_t done = 0; done < n;) {
      const ssize_t written = ::write(1, buffer.get() + done, std::size_t(n - done));
      if (written <= 0) return 1;
      done += written;
    }
  }
}
