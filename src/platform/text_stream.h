// DOS text-mode streams, the same on every system.
//
// Files are read and written in binary and translated here: on disk a line
// break is CR LF, on reading CR LF arrives as one LF and a byte 0x1A ends the
// input. Streams can also be built over memory, so the converter is tested
// without files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/io_thread.h"

inline constexpr unsigned char kCR = 0x0D;
inline constexpr unsigned char kLF = 0x0A;
inline constexpr unsigned char kDosEof = 0x1A;  // ends a DOS text file for good

// What get_byte returns at the end of the input: distinct from all 256 byte values.
inline constexpr int kEnd = -1;

// A stream's buffer: small, as fresh memory is costly the first time it is written (each page of
// it faults in then, on some systems taking longer than converting the bytes it holds).
inline constexpr std::size_t kStreamBufferSize = 32 * 1024;
// A page longer than this is read a buffer ahead, and its outputs written a buffer behind, by
// threads of their own, through buffers of kLongFileBufferSize: starting the threads costs
// about what converting a few megabytes gains, and larger buffers are handed over less often.
inline constexpr std::uint64_t kLongFileSize = 8 * 1024 * 1024;
inline constexpr std::size_t kLongFileBufferSize = 256 * 1024;
// Whether a file is long as above: a regular file (not a FIFO or a device) of this size.
inline constexpr bool is_long_file(bool regular, std::uint64_t size) {
  return regular && size > kLongFileSize;
}
// The least room an output buffer has: a stream built over memory may have a smaller one.
inline constexpr std::size_t kLeastOutputBuffer = 1536;

// Readable bytes, zero, kept after the end of an input buffer's contents, so that a reader may
// load bytes past the end and ignore them: the block engine loads two 64-byte blocks at once
// from anywhere before the end.
inline constexpr std::size_t kReadSlack = 128;

struct InStream {
  int fd = -1;                                  // the file read, or -1 when reading memory
  std::string_view memory;                      // the bytes not yet read, when fd is -1
  std::size_t refill_size = kStreamBufferSize;  // raw bytes asked for per refill
  // The bytes as they lie in the file, up to any 0x1A. A CR LF is joined by get_byte as it is
  // read; refill never ends the buffer between the two.
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t pos = 0;     // next byte of buffer to deliver
  std::size_t len = 0;     // bytes in buffer
  std::size_t fills = 0;   // buffers refill has filled: a reader can tell a new one by it
  bool cr_held = false;    // the last refill ended in CR: the next one tells if LF follows
  bool ended = false;      // nothing more will be delivered: end of file, 0x1A or error
  bool failed = false;     // a read error ended the input
  bool long_file = false;  // longer than kLongFileSize: worth reading ahead
  // refill leaves a 0x1A in the buffer for the reader to find, which looks at every byte anyway:
  // get_byte, and the block engine's masks where they note it. Whoever meets it ends the input.
  bool dos_eof_left = false;
  // Set by read_ahead: a thread of the file's own, which is reading the next buffer's bytes
  // while the one before is converted, until it has read the end.
  IoThreadPtr ahead;
};

struct OutStream {
  int fd = -1;                    // the file written, or -1
  std::string* memory = nullptr;  // where the bytes go when fd is -1; none: they are dropped
  bool crlf = true;       // store each LF as CR LF (false for a console whose lines end in LF)
  bool terminal = false;  // a terminal: names printed on it show control bytes as '?'
  bool batched = false;   // print leaves its line in the buffer (a console that is no terminal)
  bool failed = false;    // a write failed; what followed was dropped
  // put_name on a terminal: a 0xC2 held back (with 0x80..0x9F after it, a control character in
  // UTF-8), and how many continuation bytes of a UTF-8 character are still to come.
  bool c2_held = false;
  unsigned utf8_to_come = 0;
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t capacity = kStreamBufferSize;  // bytes the buffer holds
  std::size_t len = 0;                       // bytes waiting in buffer
  // Set by write_behind: a thread of the file's own, which writes from the buffer filled before
  // while the next fills.
  IoThreadPtr behind;
};

// Opens the file with this DOS name for reading, with the buffer it needs; false if it is
// missing, unreadable or a directory.
bool open_input(InStream& in, std::string_view dos_name);
// Has a long file (in.long_file) read a buffer ahead, by a thread of its own, if the memory and
// the thread can be had; before anything has been read. Without them the stream reads for itself.
void read_ahead(InStream& in);
// Reads these bytes as if they were a file, refill_size raw bytes at a time.
void open_memory_input(InStream& in, std::string_view bytes,
                       std::size_t refill_size = kStreamBufferSize);
// Reads standard input.
void open_standard_input(InStream& in);
// Closes the input; false if a read error ended it early.
bool close_input(InStream& in);

// Refills the buffer once it is used up; false at the end of the input. A CR that ends what
// was read is held back for the next refill, so a CR LF pair always lies whole in the buffer;
// a CR that ends the input is delivered on its own. A 0x1A ends the buffer, unless
// in.dos_eof_left.
bool refill(InStream& in);

// Ends the input at byte pos of the buffer, a 0x1A that refill left to the reader: nothing from
// there on is delivered.
void end_input_at(InStream& in, std::size_t pos);

// Returns the next byte (0..255), a CR LF as one LF, or kEnd at the end of the input.
inline int get_byte(InStream& in) {
  if (in.pos == in.len && !refill(in)) return kEnd;
  const unsigned char c = in.buffer[in.pos++];
  if (c > kDosEof) return c;  // most bytes: one test for both CR and 0x1A
  if (c == kCR && in.pos < in.len && in.buffer[in.pos] == kLF) return in.buffer[in.pos++];
  if (c == kDosEof) {  // left by refill
    end_input_at(in, in.pos - 1);
    return kEnd;
  }
  return c;
}

// Takes the buffer of an output about to be opened, so that opening it takes no memory: the run
// takes all the memory it needs before it creates or empties any file.
void take_output_buffer(OutStream& out);
// What open_output did: opened the file that was there, made one, or opened nothing, because
// the open failed or because a file has appeared where one was to be made.
enum class Opened { kFailed, kExisting, kCreated, kAppeared };
// Opens the file with this DOS name for writing, but leaves its bytes as they are until
// empty_output. If only_new, it makes the file, and only if there is still none under the name;
// otherwise it opens the file there, or makes one if there is none. Uses the buffer
// take_output_buffer took, if it did. Never waits: a FIFO that nobody reads cannot be opened.
// Where it opens nothing, it leaves a stream that drops whatever is written to it.
Opened open_output(OutStream& out, std::string_view dos_name, bool only_new);
// Empties an output that is a regular file; a FIFO or a device is written as it is. False if
// the file could not be emptied.
bool empty_output(OutStream& out);
// Appends everything written to *sink, through a buffer of this many bytes (at least
// kLeastOutputBuffer).
void open_memory_output(OutStream& out, std::string* sink,
                        std::size_t capacity = kStreamBufferSize);
// Standard output, with the host's own line ends. Opens /dev/null on any of standard input,
// output and error that was left closed, so that no file the run opens takes its place.
void open_console(OutStream& out);
// Standard error, for the one message that cannot go to standard output.
void open_error_console(OutStream& out);
// Has the output file's buffers written by a thread of its own, a buffer behind, each of
// kLongFileBufferSize if nothing has been written yet: for the outputs of a long page. Takes the
// memory and the thread at once, if they can be had; without them the stream writes for itself.
void write_behind(OutStream& out);
// Writes out the buffer, or has the stream's thread write it; sets out.failed if that fails, by
// the next flush or close_output.
void flush(OutStream& out);
// Flushes and closes; false if any write or the close failed.
bool close_output(OutStream& out);

// Stores one byte without translation.
inline void put_raw(OutStream& out, unsigned char c) {
  if (out.len == out.capacity) flush(out);
  out.buffer[out.len++] = c;
}
// Stores n bytes without translation.
void put_raw(OutStream& out, const unsigned char* bytes, std::size_t n);

// Writes one byte; a line break goes out as CR LF.
inline void put_byte(OutStream& out, int c) {
  if (c == kLF && out.crlf) put_raw(out, kCR);
  put_raw(out, static_cast<unsigned char>(c));
}

// Writes every byte of s, NUL included, as put_byte does.
inline void put_string(OutStream& out, std::string_view s) {
  if (2 * s.size() > out.capacity - out.len) {  // may not fit, even as it stands
    for (const char c : s)
      put_byte(out, static_cast<unsigned char>(c));
    return;
  }
  // Room enough: no flush check per byte, and one copy where nothing is translated.
  unsigned char* to = out.buffer.get() + out.len;
  if (!out.crlf || (s.size() > 16 && std::memchr(s.data(), '\n', s.size()) == nullptr)) {
    if (!s.empty()) std::memcpy(to, s.data(), s.size());
    out.len += s.size();
    return;
  }
  const bool crlf = out.crlf;
  for (const char c : s) {
    if (c == '\n' && crlf) *to++ = kCR;
    *to++ = static_cast<unsigned char>(c);
  }
  out.len = std::size_t(to - out.buffer.get());
}

// Writes a name read from a page or typed by the user, in one piece or in several. On a terminal
// each control character is shown as '?', so that a name cannot send commands to the terminal:
// the bytes 0x00 to 0x1F, 0x7F, and 0x80 to 0x9F, also in UTF-8 (C2 80 to C2 9F), but not where
// a UTF-8 character such as "\xC3\x84" continues with them. Elsewhere the bytes go as they stand.
void put_name(OutStream& out, std::string_view name);
// Ends a name written by put_name.
void end_name(OutStream& out);

// Formatted console write: format with its one conversion (%s, %c or %d), if any, replaced by arg,
// byte for byte (a %s as put_name writes it), then flushed so that it is on the screen before
// anything is read (unless the stream is batched, as the console is while converting into a
// file or a pipe).
void print(OutStream& out, std::string_view format, std::string_view arg = {});
