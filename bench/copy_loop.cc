// copy_loop: copies standard input to standard output with plain read and write calls, through
// one buffer of the size skrivel reads the same file with. No program that reads a page and
// writes it out again can take less: bench/run measures skrivel against it, the floor.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <memory>

#include "platform/text_stream.h"

int main() {
  struct stat st {};
  const bool long_file =
      ::fstat(0, &st) == 0 && is_long_file(S_ISREG(st.st_mode), std::uint64_t(st.st_size));
  const std::size_t size = long_file ? kLongFileBufferSize : kStreamBufferSize;
  const auto buffer = std::make_unique<char[]>(size);
  for (;;) {
    const ssize_t n = ::read(0, buffer.get(), size);
    if (n <= 0) return n < 0 ? 1 : 0;
    for (ssize_t done = 0; done < n;) {
      const ssize_t written = ::write(1, buffer.get() + done, std::size_t(n - done));
      if (written <= 0) return 1;
      done += written;
    }
  }
}
