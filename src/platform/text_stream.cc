#include "platform/text_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/files.h"

#ifdef _WIN32
#include <io.h>
#endif
// Flags that only some systems have, and need.
#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif

namespace {

// The buffer, taken when the stream opens: one byte in front of the raw bytes, for a CR held
// back from the last refill, and the slack behind them.
void allocate_buffer(InStream& in) {
  in.buffer.reset(new unsigned char[1 + in.refill_size + kReadSlack]);
}

// Reads up to refill_size raw bytes into the buffer, one byte in: the count, 0 at the end, -1
// on a read error. A read ahead has read them into a buffer of its own already, and the two
// trade buffers; it then reads the next ones, unless this was the end.
long read_raw(InStream& in) {
  const std::size_t n = in.refill_size;
  if (in.fd < 0) {
    const std::size_t count = std::min(n, in.memory.size());
    if (count > 0) std::memcpy(in.buffer.get() + 1, in.memory.data(), count);
    in.memory.remove_prefix(count);
    return static_cast<long>(count);
  }
  if (!in.ahead) return read_some(in.fd, in.buffer.get() + 1, n);
  const long count = wait_for(*in.ahead);
  trade_buffers(*in.ahead, in.buffer);
  if (count > 0) start_read(*in.ahead, 1, n);
  return count;
}

}  // namespace

bool refill(InStream& in) {
  in.pos = in.len = 0;
  while (!in.ended) {
    const long n = read_raw(in);
    unsigned char* start = in.buffer.get() + 1;
    std::size_t count = 0;
    if (n <= 0) {
      in.failed = n < 0;
      in.ended = true;
    } else {
      count = std::size_t(n);
      const void* eof = in.dos_eof_left ? nullptr : std::memchr(start, kDosEof, count);
      if (eof != nullptr) {
        count = std::size_t(static_cast<const unsigned char*>(eof) - start);
        in.ended = true;
      }
    }
    if (in.cr_held) {
      in.cr_held = false;
      if (count == 0 || start[0] != kLF) {  // a lone CR; a CR LF stays the LF alone
        *--start = kCR;
        ++count;
      }
    }
    // A CR that ends this refill may be the first half of a CR LF: hold it back.
    if (count > 0 && start[count - 1] == kCR && !in.ended) {
      in.cr_held = true;
      --count;
    }
    if (count > 0) {
      in.pos = std::size_t(start - in.buffer.get());
      in.len = in.pos + count;
      // What a reader may load past the end is never left uninitialised.
      std::memset(in.buffer.get() + in.len, 0, kReadSlack);
      ++in.fills;
      return true;
    }
  }
  return false;
}

void end_input_at(InStream& in, std::size_t pos) {
  in.len = pos;
  in.pos = std::min(in.pos, pos);
  in.ended = true;
  in.cr_held = false;
  std::memset(in.buffer.get() + in.len, 0, kReadSlack);
}

bool open_input(InStream& in, std::string_view dos_name) {
  in = InStream{};
  in.ended = true;
  const int fd = ::open(host_name(dos_name).c_str(), O_RDONLY | O_BINARY);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    (void)::close(fd);
    return false;
  }
  in.fd = fd;
  in.ended = false;
  in.long_file = is_long_file(S_ISREG(st.st_mode), std::uint64_t(st.st_size));
  if (in.long_file) in.refill_size = kLongFileBufferSize;
  allocate_buffer(in);
  return true;
}

void read_ahead(InStream& in) {
  if (!in.long_file || in.fd < 0 || in.ahead || in.fills > 0) return;
  in.ahead = start_io_thread(in.fd, 1 + in.refill_size + kReadSlack);
  if (in.ahead) start_read(*in.ahead, 1, in.refill_size);  // the first buffer
}

void open_memory_input(InStream& in, std::string_view bytes, std::size_t refill_size) {
  in = InStream{};
  in.memory = bytes;
  in.refill_size = std::max<std::size_t>(refill_size, 1);
  allocate_buffer(in);
}

void open_standard_input(InStream& in) {
  in = InStream{};
  in.fd = 0;
  in.refill_size = 4 * 1024;  // answers are short
  allocate_buffer(in);
}

bool close_input(InStream& in) {
  in.ahead.reset();                     // done with the file, even if it was reading on
  if (in.fd > 0) (void)::close(in.fd);  // standard input, 0, stays open
  in.fd = -1;
  return !in.failed;
}

void take_output_buffer(OutStream& out) {
  out = OutStream{};
  out.buffer.reset(new unsigned char[kStreamBufferSize]);
}

Opened open_output(OutStream& out, std::string_view dos_name, bool only_new) {
  std::unique_ptr<unsigned char[]> taken = std::move(out.buffer);
  if (!taken || out.capacity != kStreamBufferSize)
    taken.reset(new unsigned char[kStreamBufferSize]);
  out = OutStream{};
  out.buffer = std::move(taken);
  const std::string name = host_name(dos_name);
  // Without O_NONBLOCK, opening a FIFO that nobody reads would wait for a reader for ever.
  constexpr int kWrite = O_WRONLY | O_BINARY | O_NOCTTY | O_NONBLOCK;
  Opened opened = Opened::kExisting;
  if (!only_new) out.fd = ::open(name.c_str(), kWrite);
  if (only_new || (out.fd < 0 && errno == ENOENT)) {
    out.fd = ::open(name.c_str(), kWrite | O_CREAT | O_EXCL, 0666);
    opened = Opened::kCreated;
    if (out.fd < 0 && errno == EEXIST) {
      // Made by someone else since the name was checked: theirs, until the user says otherwise.
      if (only_new) return Opened::kAppeared;
      // A link to a file not yet there: create that file, but it is not ours to remove.
      out.fd = ::open(name.c_str(), kWrite | O_CREAT, 0666);
      opened = Opened::kExisting;
    }
  }
  if (out.fd < 0) return Opened::kFailed;
#ifndef _WIN32
  (void)::fcntl(out.fd, F_SETFL, ::fcntl(out.fd, F_GETFL) & ~O_NONBLOCK);
#endif
  return opened;
}

bool empty_output(OutStream& out) {
  struct stat st {};
  if (::fstat(out.fd, &st) != 0) return false;
  // An empty file is left alone: truncating it anyway would have some file systems (ext4)
  // write the whole new file out when it is closed, as they do for a file replaced by truncation.
  if (!S_ISREG(st.st_mode) || st.st_size == 0) return true;
#ifdef _WIN32
  return ::_chsize_s(out.fd, 0) == 0;
#else
  return ::ftruncate(out.fd, 0) == 0;
#endif
}

void open_memory_output(OutStream& out, std::string* sink, std::size_t capacity) {
  out = OutStream{};
  out.capacity = std::max(capacity, kLeastOutputBuffer);
  out.buffer.reset(new unsigned char[out.capacity]);
  out.memory = sink;
}

void open_console(OutStream& out) {
  bool closed = false;
#ifndef _WIN32
  // A closed standard stream is still taken, by the null device: otherwise a file opened later
  // would get the number and be read as the answers, or take the console's messages.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    if (fd == 1) closed = true;
    if (::open("/dev/null", O_RDWR) != fd) break;
  }
#endif
  out = OutStream{};
  out.buffer.reset(new unsigned char[kStreamBufferSize]);
  out.fd = 1;
  // The host's own line ends: LF, or on Windows CR LF, which the C runtime's text mode makes.
  out.crlf = false;
  out.terminal = ::isatty(1) != 0;
  // Nothing can be written to a standard output that was closed.
  out.failed = closed;
}

void open_error_console(OutStream& out) {
  open_console(out);
  out.fd = 2;
  out.terminal = ::isatty(2) != 0;
}

void write_behind(OutStream& out) {
  if (out.fd < 0 || out.behind) return;
  // A larger buffer only while nothing is written that a new one would lose; without the memory
  // for one, the buffer the stream has serves as well.
  if (out.len == 0) {
    const SpareMemory spare;
    if (auto* larger = new (std::nothrow) unsigned char[kLongFileBufferSize]) {
      out.buffer.reset(larger);
      out.capacity = kLongFileBufferSize;
    }
  }
  out.behind = start_io_thread(out.fd, out.capacity);
}

void flush(OutStream& out) {
  const std::size_t n = out.len;
  out.len = 0;
  if (out.failed) return;
  if (out.fd < 0) {
    if (out.memory != nullptr)
      out.memory->append(reinterpret_cast<const char*>(out.buffer.get()), n);
    return;
  }
  // The thread is writing the buffer before whenever the stream has not failed: each flush
  // hands it one, and a failed write is the end of writing. The first flush finds it idle.
  if (out.behind && wait_for(*out.behind) < 0) {
    out.failed = true;
    return;
  }
  if (!out.behind) {
    out.failed = !write_all(out.fd, out.buffer.get(), n);
    return;
  }
  trade_buffers(*out.behind, out.buffer);
  start_write(*out.behind, n);
}

void put_raw(OutStream& out, const unsigned char* bytes, std::size_t n) {
  while (n > 0) {
    if (out.len == out.capacity) flush(out);
    const std::size_t part = std::min(n, out.capacity - out.len);
    std::memcpy(out.buffer.get() + out.len, bytes, part);
    out.len += part;
    bytes += part;
    n -= part;
  }
}

bool close_output(OutStream& out) {
  flush(out);
  if (out.behind && !out.failed && wait_for(*out.behind) < 0) out.failed = true;
  out.behind.reset();
  if (out.fd >= 0 && ::close(out.fd) != 0) out.failed = true;
  out.fd = -1;
  return !out.failed;
}

void put_name(OutStream& out, std::string_view name) {
  if (!out.terminal) {
    put_string(out, name);
    return;
  }
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    const bool continuation = byte >= 0x80 && byte <= 0xBF;
    if (out.c2_held) {
      out.c2_held = false;
      if (byte <= 0x9F && continuation) {
        put_byte(out, '?');
        continue;
      }
      put_raw(out, 0xC2);
      out.utf8_to_come = 1;
    }
    if (continuation && out.utf8_to_come > 0) {
      --out.utf8_to_come;
      put_raw(out, byte);
      continue;
    }
    out.utf8_to_come = 0;
    if (byte == 0xC2) {
      out.c2_held = true;
      continue;
    }
    if (byte >= 0xC3 && byte <= 0xF4) out.utf8_to_come = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : 1;
    const bool control = byte < 0x20 || (byte >= 0x7F && byte <= 0x9F);
    put_byte(out, control ? '?' : byte);
  }
}

void end_name(OutStream& out) {
  if (out.c2_held) put_raw(out, 0xC2);
  out.c2_held = false;
  out.utf8_to_come = 0;
}

void print(OutStream& out, std::string_view format, std::string_view arg) {
  const std::size_t at = format.find('%');
  if (at == std::string_view::npos) {
    put_string(out, format);
  } else {
    put_string(out, format.substr(0, at));
    if (format[at + 1] == 's') {
      put_name(out, arg);
      end_name(out);
    } else {
      put_string(out, arg);
    }
    put_string(out, format.substr(at + 2));
  }
  if (!out.batched) flush(out);
}
