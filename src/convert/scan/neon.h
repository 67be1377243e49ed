// The NEON masks, on 64-bit ARM (little-endian, as it almost always runs; every such processor
// has NEON). Included once, by block_scan.cc.
#pragma once

#include "convert/scan/slow_paths.h"

#if SKRIVEL_NEON
#include <arm_neon.h>

namespace {

// NEON has no instruction that gathers one bit of each byte, as SSE2's movemask does. A block
// is loaded taken apart by vld4q: lane j of vector k holds byte 4j + k. Each byte of a
// comparison is 0 or 0xFF, so shifting the four vectors' bytes into one another, two bits and
// then four, leaves in each lane its four bytes' bits twice over; narrowing each 16-bit pair of
// lanes by 4 bits then puts them, in order, into one byte, and the word they make, read
// little-endian, has bit i for byte i.
inline std::uint64_t gather_bits(uint8x16_t b0, uint8x16_t b1, uint8x16_t b2, uint8x16_t b3) {
  const uint8x16_t pairs = vsriq_n_u8(vsriq_n_u8(b3, b2, 1), vsriq_n_u8(b1, b0, 1), 2);
  const uint8x16_t twice = vsriq_n_u8(pairs, pairs, 4);
  return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(twice), 4)), 0);
}

struct NeonMasks : PortableDefaults {
  static constexpr std::string_view kName = "neon";
  static constexpr bool kNotesDosEof = true;
  static bool supported() { return true; }  // every 64-bit ARM processor has it
  SKRIVEL_SCAN_FUNCTIONS(NeonMasks)

  // The block with each whitespace byte made a space, put back in order.
  alignas(16) unsigned char spaced[kBlock] = {};
  uint8x16_t dos_eofs_met = vdupq_n_u8(0);  // 0xFF in each byte where a 0x1A was met

  bool found_dos_eof() const { return vmaxvq_u8(dos_eofs_met) != 0; }

  static std::size_t short_tag_length(const unsigned char* p) {
    const std::uint64_t ends =
        vget_lane_u64(vreinterpret_u64_u8(vceq_u8(vld1_u8(p), vdup_n_u8('>'))), 0);
    return ends == 0 ? 0 : std::size_t(std::countr_zero(ends)) / 8 + 1;
  }
  static std::size_t short_name_length(const unsigned char* p) {
    const uint8x8_t bytes = vld1_u8(p);
    const uint8x8_t ends =
        vorr_u8(vorr_u8(vceq_u8(bytes, vdup_n_u8(';')), vceq_u8(bytes, vdup_n_u8(' '))),
                vceq_u8(bytes, vdup_n_u8(kCR)));
    const std::uint64_t bits = vget_lane_u64(vreinterpret_u64_u8(ends), 0);
    static_assert(kEntityHead == 8, "the name's head is loaded as 8 bytes");
    return bits == 0 ? kEntityHead : std::size_t(std::countr_zero(bits)) / 8;
  }

  // Each half of 16 bytes is packed by one table lookup of 8 bytes, by its mask's shuffle.
  static unsigned char* pack_lane(unsigned char* out, uint8x16_t lane, const unsigned char* keep) {
    vst1_u8(out, vqtbl1_u8(lane, vcreate_u8(kPackLowShuffles[keep[0]])));
    out += kPackCounts[keep[0]];
    vst1_u8(out, vqtbl1_u8(lane, vcreate_u8(kPackHighShuffles[keep[1]])));
    return out + kPackCounts[keep[1]];
  }
  unsigned char* pack(unsigned char* out, std::uint64_t keep) const {
    unsigned char bytes[8];  // byte i of the mask for bytes 8i to 8i + 7
    std::memcpy(bytes, &keep, sizeof bytes);
    for (unsigned k = 0; k < 4; ++k)
      out = pack_lane(out, vld1q_u8(spaced + 16 * k), bytes + 2 * k);
    return out;
  }

  BlockMasks classify(const unsigned char* p) {
    const uint8x16x4_t bytes = vld4q_u8(p);  // taken apart: see gather_bits
    uint8x16_t special[4], white[4], tag_end[4];
    uint8x16x4_t spaced_apart;
    for (unsigned k = 0; k < 4; ++k) {
      const uint8x16_t b = bytes.val[k];
      // Tab to CR are the five bytes from 9 up.
      const uint8x16_t breaks = vcltq_u8(vsubq_u8(b, vdupq_n_u8(9)), vdupq_n_u8(5));
      const uint8x16_t markup =
          vorrq_u8(vceqq_u8(b, vdupq_n_u8('<')), vceqq_u8(b, vdupq_n_u8('&')));
      special[k] = vorrq_u8(breaks, markup);
      white[k] = vorrq_u8(breaks, vceqq_u8(b, vdupq_n_u8(' ')));
      tag_end[k] = vceqq_u8(b, vdupq_n_u8('>'));
      dos_eofs_met = vorrq_u8(dos_eofs_met, vceqq_u8(b, vdupq_n_u8(kDosEof)));
      spaced_apart.val[k] = vbslq_u8(breaks, vdupq_n_u8(' '), b);
    }
    vst4q_u8(spaced, spaced_apart);
    return {gather_bits(special[0], special[1], special[2], special[3]),
            gather_bits(white[0], white[1], white[2], white[3]),
            gather_bits(tag_end[0], tag_end[1], tag_end[2], tag_end[3])};
  }
};
}  // namespace
#endif
