// The AVX2 masks: 32 bytes at a time, each 16 kept bytes packed by one shuffle. Included once,
// by block_scan.cc.
#pragma once

#include "convert/scan/x86.h"

#if SKRIVEL_X86
// The AVX2 code is built for BMI, BMI2 and POPCNT as well, which a virtual machine may hide even
// where it shows AVX2.
#define SKRIVEL_AVX2(each, between) \
  each("avx2") between each("bmi") between each("bmi2") between each("popcnt")

namespace {
inline bool avx2_supported() {
  return SKRIVEL_X86_SUPPORTED(SKRIVEL_AVX2);
}
}  // namespace

SKRIVEL_TARGET_REGION(SKRIVEL_AVX2)
namespace {

struct Avx2Masks : PortableDefaults {
  static constexpr std::string_view kName = "avx2";
  static constexpr bool kNotesDosEof = sizeof(void*) == 8;
  static constexpr bool (*supported)() = avx2_supported;
  SKRIVEL_SCAN_FUNCTIONS(Avx2Masks)

  __m256i spaced[2] = {};
  // Set once, out of line, as the SSE2 masks' are.
  const __m256i break_shifts = _mm256_set1_epi8(kBreakShift);
  const __m256i break_limits = _mm256_set1_epi8(kBreakLimit);
  const __m256i tag_starts = _mm256_set1_epi8('<'), entity_starts = _mm256_set1_epi8('&');
  const __m256i spaces = _mm256_set1_epi8(' '), tag_ends = _mm256_set1_epi8('>');
  __m256i dos_eofs_met = _mm256_setzero_si256();  // 0xFF in each byte where a 0x1A was met
  [[gnu::noinline]] Avx2Masks() {}

  bool found_dos_eof() const { return !_mm256_testz_si256(dos_eofs_met, dos_eofs_met); }

  static unsigned count(std::uint64_t bits) { return unsigned(std::popcount(bits)); }
  static std::size_t short_tag_length(const unsigned char* p) { return x86_short_tag_length(p); }
  static std::size_t short_name_length(const unsigned char* p) { return x86_short_name_length(p); }
  static void copy_tag(unsigned char* to, const unsigned char* from) { x86_copy_32(to, from); }
  static void copy(unsigned char* to, const unsigned char* from) {
    x86_copy_32(to, from);
    x86_copy_32(to + 32, from + 32);
  }

  // Each 16 bytes are packed by one shuffle, its two halves each by its mask's indexes.
  static unsigned char* pack_lane(unsigned char* out, __m128i lane, const unsigned char* keep) {
    // Read before anything is stored through out, which the compiler cannot tell from keep.
    const unsigned low = keep[0], high = keep[1];
    const __m128i shuffle =
        _mm_set_epi64x(std::int64_t(kPackHighShuffles[high]), std::int64_t(kPackLowShuffles[low]));
    const __m128i packed = _mm_shuffle_epi8(lane, shuffle);
    unsigned char* const high_out = out + kPackCounts[low];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
    _mm_storeh_pi(reinterpret_cast<__m64*>(high_out), _mm_castsi128_ps(packed));  // any alignment
    return high_out + kPackCounts[high];
  }
  unsigned char* pack(unsigned char* out, const std::uint64_t& keep) const {
    // Byte i of the mask, for bytes 8i to 8i + 7, read from memory: here that takes g++ fewer
    // instructions than a copy of the mask does; on ARM the copy takes fewer.
    const auto* const bytes = reinterpret_cast<const unsigned char*>(&keep);
    out = pack_lane(out, _mm256_castsi256_si128(spaced[0]), bytes);
    out = pack_lane(out, _mm256_extracti128_si256(spaced[0], 1), bytes + 2);
    out = pack_lane(out, _mm256_castsi256_si128(spaced[1]), bytes + 4);
    return pack_lane(out, _mm256_extracti128_si256(spaced[1], 1), bytes + 6);
  }

  BlockMasks classify(const unsigned char* p) {
    BlockMasks m{};
    for (unsigned i = 0; i < kBlock; i += 32) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      const __m256i breaks = _mm256_cmpgt_epi8(break_limits, _mm256_add_epi8(bytes, break_shifts));
      const __m256i markup = _mm256_or_si256(_mm256_cmpeq_epi8(bytes, tag_starts),
                                             _mm256_cmpeq_epi8(bytes, entity_starts));
      const __m256i white = _mm256_or_si256(breaks, _mm256_cmpeq_epi8(bytes, spaces));
      const __m256i tag_end = _mm256_cmpeq_epi8(bytes, tag_ends);
      const __m256i special = _mm256_or_si256(breaks, markup);
      if constexpr (kNotesDosEof) {
        dos_eofs_met = _mm256_or_si256(dos_eofs_met,
                                       _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(char(kDosEof))));
      }
      spaced[i / 32] = _mm256_blendv_epi8(bytes, spaces, breaks);
      m.special |= std::uint64_t(unsigned(_mm256_movemask_epi8(special))) << i;
      m.white |= std::uint64_t(unsigned(_mm256_movemask_epi8(white))) << i;
      m.tag_end |= std::uint64_t(unsigned(_mm256_movemask_epi8(tag_end))) << i;
    }
    return m;
  }
};

}  // namespace
SKRIVEL_END_TARGET_REGION
#endif
