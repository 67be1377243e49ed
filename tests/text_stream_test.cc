#include "platform/text_stream.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>

#include <filesystem>
#include <limits>
#include <new>
#include <string>

#include "test_util.h"

namespace {

using namespace std::string_literals;

// Everything an open reader delivers.
std::string read_all(InStream& in) {
  std::string delivered;
  for (int c = get_byte(in); c != kEnd; c = get_byte(in))
    delivered += static_cast<char>(c);
  return delivered;
}

// Everything a reader delivers, reading refill_size raw bytes at a time.
std::string read_all(std::string_view bytes, std::size_t refill_size) {
  InStream in;
  open_memory_input(in, bytes, refill_size);
  return read_all(in);
}

// Reading: CR LF joins into LF wherever a refill boundary falls; 0x1A ends the input.
TEST(InStream, TranslatesDosTextAtEveryRefillSize) {
  struct Case {
    std::string raw, delivered;
  };
  const Case cases[] = {
      {"", ""},
      {"a\r\nb", "a\nb"},
      {"\r\n\r\n", "\n\n"},
      {"a\rb", "a\rb"},    // a lone CR stays
      {"a\r", "a\r"},      // also at the very end
      {"\r\r\n", "\r\n"},  // only the CR next to the LF joins
      {"\r\r\r", "\r\r\r"},
      {"\n\r", "\n\r"},  // LF CR is no pair
      {"a\x1a"
       "b\r\nc",
       "a"},  // nothing after 0x1A
      {"\x1a", ""},
      {"a\r\x1a"
       "b",
       "a\r"},  // a CR cut off by 0x1A stays a CR
      {"\xff\x80\x00z"s, "\xff\x80\x00z"s},
      {"line one\r\nline two\r\n\r\nend", "line one\nline two\n\nend"},
  };
  for (const Case& c : cases) {
    for (const std::size_t refill : kRefillSizes) {
      EXPECT_EQ(c.delivered, read_all(c.raw, refill))
          << testing::PrintToString(c.raw) << " refill " << refill;
    }
  }
}

TEST(InStream, EndStaysTheEnd) {
  InStream in;
  open_memory_input(in, "x\x1ay", 1);
  EXPECT_EQ('x', get_byte(in));
  EXPECT_EQ(1u, in.fills);
  EXPECT_EQ(kEnd, get_byte(in));
  EXPECT_EQ(1u, in.fills);  // a refill that finds nothing fills nothing
  EXPECT_EQ(kEnd, get_byte(in));
  EXPECT_TRUE(close_input(in));
}

TEST(InStream, LongInputCrossesManyBuffers) {
  std::string raw, expected;
  for (int i = 0; i < 2000000; ++i) {  // 10 MB: long enough to be read ahead
    raw += "ab\r\n\r";
    expected += "ab\n\r";
  }
  EXPECT_TRUE(expected == read_all(raw, kStreamBufferSize));
  // Through a file too, which is written a buffer behind and read a buffer ahead.
  ScratchDir dir;
  const std::string name = (dir.path() / "long.txt").string();
  OutStream out;
  ASSERT_EQ(Opened::kCreated, open_output(out, name, true));
  write_behind(out);
  put_raw(out, reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
  EXPECT_TRUE(close_output(out));
  InStream in;
  ASSERT_TRUE(open_input(in, name));
  EXPECT_TRUE(expected == read_all(in));
  EXPECT_TRUE(close_input(in));
}

TEST(InStream, LinesOfEveryLength) {
  std::string raw, expected;
  for (int length = 0; length < 70; ++length) {
    const std::string line(std::size_t(length), char('a' + length % 26));
    raw += line + "\r\n" + line + "\r";
    expected += line + "\n" + line + "\r";
  }
  for (const std::size_t refill : kRefillSizes) {
    EXPECT_EQ(expected, read_all(raw, refill)) << "refill " << refill;
  }
}

// Writing: each LF goes out as CR LF, every other byte unchanged.
TEST(OutStream, StoresLineBreaksAsCrLf) {
  std::string sink;
  OutStream out;
  open_memory_output(out, &sink);
  put_byte(out, 'a');
  put_byte(out, '\n');
  put_byte(out, '\r');
  put_byte(out, 0x1A);
  put_byte(out, 0xFF);
  put_string(out, "\0b\n"s);
  const unsigned char raw[] = {'\n', 'c'};
  put_raw(out, raw, sizeof raw);
  EXPECT_TRUE(close_output(out));
  EXPECT_EQ("a\r\n\r\x1a\xff\0b\r\n\nc"s, sink);
}

TEST(OutStream, FlushesWhenTheBufferFills) {
  std::string sink;
  OutStream out;
  open_memory_output(out, &sink);
  const std::string line(99, 'x');
  std::string expected;
  for (int i = 0; i < 3000; ++i) {
    put_string(out, line + "\n");
    expected += line + "\r\n";
  }
  const std::string more(2 * kStreamBufferSize + 1, 'y');  // stored as it stands, in pieces
  put_raw(out, reinterpret_cast<const unsigned char*>(more.data()), more.size());
  expected += more;
  EXPECT_TRUE(close_output(out));
  EXPECT_EQ(expected, sink);
}

TEST(OutStream, ConsoleKeepsHostLineEnds) {
  std::string sink;
  OutStream console;
  open_memory_output(console, &sink);
  console.crlf = false;
  print(console, "\nFile %s already exists.  Overwrite (y/n)? ", "a.txt");
  print(console, "Unable to convert special character: &%s;\n", "a\0b"s);
  print(console, "\n'%c' is not a legal filename character.\n", "\t");
  print(console, "plain\n");
  EXPECT_EQ(
      "\nFile a.txt already exists.  Overwrite (y/n)? "
      "Unable to convert special character: &a\0b;\n"
      "\n'\t' is not a legal filename character.\n"
      "plain\n"s,
      sink);
}

// On a terminal a name shows each control character as '?', 8-bit ones too, raw or in UTF-8,
// whether it is written whole or a byte at a time; the characters of UTF-8 stay.
TEST(OutStream, NamesOnATerminalSendNoControls) {
  struct Case {
    std::string name, shown;
  };
  const Case cases[] = {
      {"a\x1b[2J\x07\x7f"s, "a?[2J??"},
      {"\x9b"
       "2J\x80\x9f",
       "?2J??"},
      {"\xc2\x9b"
       "2J\xc2\x85",
       "?2J?"},
      {"\xc3\x84\xc3\x9f\xe2\x80\x94\xf0\x9d\x84\x9e\xc2\xa0",
       "\xc3\x84\xc3\x9f\xe2\x80\x94\xf0\x9d\x84\x9e\xc2\xa0"},
      {"\xe2\x80\x94\x80", "\xe2\x80\x94?"},  // one continuation too many
      {"\xc2", "\xc2"},
      {"\xc2x\xc2\xc2\x9b", "\xc2x\xc2?"},
      {"\xe9t\xe9", "\xe9t\xe9"},
  };
  for (const Case& c : cases) {
    for (const bool in_pieces : {false, true}) {
      std::string sink;
      OutStream terminal;
      open_memory_output(terminal, &sink);
      terminal.crlf = false;
      terminal.terminal = true;
      if (in_pieces) {
        for (const char byte : c.name)
          put_name(terminal, {&byte, 1});
        end_name(terminal);
      } else {
        print(terminal, "%s", c.name);
      }
      EXPECT_TRUE(close_output(terminal));
      EXPECT_EQ(c.shown, sink) << testing::PrintToString(c.name);
    }
  }
}

// Written by the stream itself, and by its thread a buffer behind.
TEST(OutStream, FailedWriteIsReportedAtClose) {
  for (const bool behind : {false, true}) {
    OutStream out;
    ASSERT_EQ(Opened::kExisting, open_output(out, "/dev/full", false));
    EXPECT_TRUE(empty_output(out));
    if (behind) write_behind(out);
    put_string(out, "lost\n");
    const std::string more(3 * kLongFileBufferSize, 'x');  // dropped too, and the write ends
    put_raw(out, reinterpret_cast<const unsigned char*>(more.data()), more.size());
    EXPECT_FALSE(close_output(out)) << "behind " << behind;
  }
}

// Memory that is a help, not a need, is none where it cannot be had: the program's new
// handler, which ends the run, is not called, and is back afterwards.
TEST(IoThread, MissingMemoryIsNoThread) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "ASan's allocator calls no new handler";
#else
  static bool called = false;
  const std::new_handler handler = [] {
    called = true;
    std::set_new_handler(nullptr);  // the allocation then fails
  };
  std::set_new_handler(handler);
  EXPECT_EQ(nullptr, start_io_thread(-1, std::numeric_limits<std::size_t>::max() - 4095));
  EXPECT_FALSE(called);
  EXPECT_EQ(handler, std::get_new_handler());
  std::set_new_handler(nullptr);
#endif
}

// A run held to one processor is told so, and starts no thread to read or write beside it.
TEST(IoThread, OneProcessorIsTold) {
#ifdef __linux__
  cpu_set_t all;
  ASSERT_EQ(0, sched_getaffinity(0, sizeof all, &all));
  EXPECT_EQ(CPU_COUNT(&all) == 1, one_processor_only());
  cpu_set_t one;
  CPU_ZERO(&one);
  for (std::size_t cpu = 0; CPU_COUNT(&one) == 0; ++cpu) {
    if (CPU_ISSET(cpu, &all)) CPU_SET(cpu, &one);
  }
  ASSERT_EQ(0, sched_setaffinity(0, sizeof one, &one));
  EXPECT_TRUE(one_processor_only());
  ASSERT_EQ(0, sched_setaffinity(0, sizeof all, &all));
#else
  GTEST_SKIP() << "the run's affinity is set here only on Linux";
#endif
}

TEST(OutStream, OutputThatCannotBeCreatedDropsWrites) {
  ScratchDir dir;
  OutStream out;
  EXPECT_EQ(Opened::kFailed, open_output(out, dir.path().string(), false));
  for (int i = 0; i < 100000; ++i)
    put_string(out, "dropped\n");
  (void)close_output(out);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
}

}  // namespace
