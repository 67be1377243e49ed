// Helpers shared by the tests.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <string_view>

#include "convert/block_scan.h"
#include "platform/text_stream.h"

// The bytes as they lie on disk: each line break stored as CR LF.
inline std::string crlf(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Refill sizes that cut an input in many different places: inside CR LF, tags, entities and
// blocks, and at every offset of a block.
inline constexpr std::size_t kRefillSizes[] = {1, 2, 3, 7, 200, 64 * 1024};

// Refill sizes for an input whose every cut would take long: the small inputs cross a buffer's
// end at every place.
inline constexpr std::size_t kSomeRefills[] = {200, 64 * 1024};

// The refill sizes to cut an input of this size at: all of them, or some for a huge one.
inline std::span<const std::size_t> refills_for(std::size_t size) {
  return size < 10000 ? std::span<const std::size_t>(kRefillSizes) : kSomeRefills;
}

// body repeated, cut to size bytes.
inline std::string repeated(std::string_view body, std::size_t size) {
  std::string bytes;
  while (bytes.size() < size)
    bytes += body;
  bytes.resize(size);
  return bytes;
}

// What one conversion wrote to each of its three outputs.
struct Conversion {
  std::string text, tags, console;
  bool operator==(const Conversion&) const = default;
};

// How the console takes what a conversion prints: as a terminal does (each line written at once,
// ending in LF, a name's control bytes shown as '?'), or as a file does on Windows (lines left
// in the buffer, ending in CR LF).
struct ConsoleKind {
  bool terminal = false;
  bool batched = false;
  bool crlf = false;
};
inline constexpr ConsoleKind kConsoleKinds[] = {{.terminal = true},
                                                {.batched = true, .crlf = true}};

// Converts html on memory streams, reading refill_size raw bytes at a time.
inline Conversion convert(std::string_view html, std::size_t refill_size = kStreamBufferSize,
                          const Scan& scan = fastest_scan(), ConsoleKind kind = {}) {
  Conversion result;
  InStream in;
  OutStream text, tags, console;
  open_memory_input(in, html, refill_size);
  // Small output buffers: filled and written out often.
  open_memory_output(text, &result.text, kLeastOutputBuffer);
  open_memory_output(tags, &result.tags, kLeastOutputBuffer);
  open_memory_output(console, &result.console, kLeastOutputBuffer);
  // A byte counted as written but never written shows, instead of what an earlier conversion
  // left in the same memory.
  for (OutStream* out : {&text, &tags, &console})
    std::memset(out->buffer.get(), 0xFE, out->capacity);
  console.terminal = kind.terminal;
  console.batched = kind.batched;
  console.crlf = kind.crlf;
  convert_with(scan, in, text, tags, console);
  close_output(text);
  close_output(tags);
  close_output(console);
  return result;
}

// Empty if every scan this machine has gives what the byte loop gives in one refill, wherever
// the refills cut the input, the console taking lines as either kind does, by turns; otherwise
// the first scan and refill size that do not.
inline std::string scans_disagree(std::string_view html,
                                  std::span<const std::size_t> refills = kRefillSizes) {
  const Scan& byte_loop = scans().front();
  const Conversion references[] = {convert(html, kStreamBufferSize, byte_loop, kConsoleKinds[0]),
                                   convert(html, kStreamBufferSize, byte_loop, kConsoleKinds[1])};
  for (std::size_t i = 0; i < refills.size(); ++i) {
    const std::size_t kind = i % std::size(kConsoleKinds);
    for (const Scan& scan : scans()) {
      if (scan.supported &&
          !(convert(html, refills[i], scan, kConsoleKinds[kind]) == references[kind])) {
        return std::string(scan.name) + ", refill " + std::to_string(refills[i]) +
               (kind == 0 ? ", terminal" : ", batched console");
      }
    }
  }
  return "";
}

// Whatever render_tag wrote, as stored on disk, and what it returned.
struct Rendering {
  std::string text;
  int result;
};

inline Rendering render(std::string_view tag) {
  Rendering r{};
  OutStream text;
  open_memory_output(text, &r.text);
  r.result = render_tag(tag, text);
  close_output(text);
  return r;
}

// A fresh directory of the test's own, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "skrivel-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
