// Feeds arbitrary bytes to the conversion and checks what a wrong program would break: the
// result must not depend on where the refills cut the input nor on which scan converts it (every
// block scan this machine has is held to the byte loop), must be the same every time, and every
// line break on disk must be CR LF. The outputs' buffers are the least there can be, so that a
// short input meets their ends; scripts/test runs it on inputs of up to 64 KiB, steered by the
// tokens in convert.dict.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "test_util.h"

namespace {

// True if every LF in bytes comes right after a CR.
bool line_breaks_are_crlf(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) return false;
  }
  return true;
}

void require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view html(reinterpret_cast<const char*>(data), size);
  const Conversion reference = convert(html, kStreamBufferSize, scans().front());
  require(line_breaks_are_crlf(reference.text));
  require(line_breaks_are_crlf(reference.tags));
  require(scans_disagree(html, refills_for(size)).empty());
  return 0;
}
