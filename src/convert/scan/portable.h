// The portable masks: 64-bit words, 8 bytes at a time, on any processor. Included once, by
// block_scan.cc.
#pragma once

#include "convert/scan/slow_paths.h"

namespace {

struct PortableMasks : PortableDefaults {
  static constexpr std::string_view kName = "portable";
  static bool supported() { return true; }
  SKRIVEL_SCAN_FUNCTIONS(PortableMasks)

  unsigned char spaced[2 * kBlock] = {};

  unsigned char* pack(unsigned char* out, std::uint64_t keep) const {
    return pack_runs<PortableMasks>(out, spaced, keep);
  }

  BlockMasks classify(const unsigned char* p) {
    BlockMasks m{};
    for (unsigned i = 0; i < kBlock; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, p + i, sizeof word);
      // Each test looks at each byte on its own; only gathering the bits needs byte 0 of the
      // block in the low byte of the word, as on a little-endian machine.
      const std::uint64_t breaks = bytes_below(word, 14) & ~bytes_below(word, 9);  // tab to CR
      const std::uint64_t markup = bytes_equal(word, '<') | bytes_equal(word, '&');
      const std::uint64_t spaces = bytes_equal(word, ' ');
      const std::uint64_t tag_ends = bytes_equal(word, '>');
      const std::uint64_t spaced_word =
          word ^ ((word ^ (kEachByte * ' ')) & ((breaks >> 7) * 0xFF));
      std::memcpy(spaced + i, &spaced_word, sizeof spaced_word);
      std::uint64_t special = breaks | markup, white = breaks | spaces, tag_end = tag_ends;
      if constexpr (std::endian::native == std::endian::big) {
        special = __builtin_bswap64(special);
        white = __builtin_bswap64(white);
        tag_end = __builtin_bswap64(tag_end);
      }
      m.special |= gather_high_bits(special) << i;
      m.white |= gather_high_bits(white) << i;
      m.tag_end |= gather_high_bits(tag_end) << i;
    }
    return m;
  }
};
}  // namespace
