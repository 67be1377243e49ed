// The SSE2 masks: 16 bytes at a time, on x86 processors that have SSE2 (every 64-bit one; a
// 32-bit one need not). Included once, by block_scan.cc.
#pragma once

#include "convert/scan/x86.h"

#if SKRIVEL_X86
#define SKRIVEL_SSE2(each, between) each("sse2")

namespace {
inline bool sse2_supported() {
  return SKRIVEL_X86_SUPPORTED(SKRIVEL_SSE2);
}
}  // namespace

SKRIVEL_TARGET_REGION(SKRIVEL_SSE2)
namespace {

struct Sse2Masks : PortableDefaults {
  static constexpr std::string_view kName = "sse2";
  static constexpr bool kNotesDosEof = true;
  static constexpr bool (*supported)() = sse2_supported;
  SKRIVEL_SCAN_FUNCTIONS(Sse2Masks)

  alignas(16) unsigned char spaced[2 * kBlock] = {};
  // The bytes to compare a block with, each repeated across a vector: set once, by a
  // constructor out of line, so that the compiler takes them from memory, as part of each
  // comparison, instead of building them anew in every block.
  const __m128i break_shifts = _mm_set1_epi8(kBreakShift),
                break_limits = _mm_set1_epi8(kBreakLimit);
  const __m128i tag_starts = _mm_set1_epi8('<'), entity_starts = _mm_set1_epi8('&');
  const __m128i spaces = _mm_set1_epi8(' '), tag_ends = _mm_set1_epi8('>');
  const __m128i dos_eofs = _mm_set1_epi8(char(kDosEof));
  __m128i dos_eofs_met = _mm_setzero_si128();  // 0xFF in each byte where a 0x1A was met
  [[gnu::noinline]] Sse2Masks() {}

  bool found_dos_eof() const { return _mm_movemask_epi8(dos_eofs_met) != 0; }

  unsigned char* pack(unsigned char* out, std::uint64_t keep) const {
    return pack_runs<Sse2Masks>(out, spaced, keep);
  }
  static std::size_t short_tag_length(const unsigned char* p) { return x86_short_tag_length(p); }
  static std::size_t short_name_length(const unsigned char* p) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    const __m128i ends = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(';')),
                                                   _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '))),
                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8(char(kCR))));
    static_assert(kEntityHead == 8, "the name's head is loaded as 8 bytes");
    return std::size_t(std::countr_zero(unsigned(_mm_movemask_epi8(ends)) | 1u << kEntityHead));
  }

  BlockMasks classify(const unsigned char* p) {
    BlockMasks m{};
    for (unsigned i = 0; i < kBlock; i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i breaks = _mm_cmplt_epi8(_mm_add_epi8(bytes, break_shifts), break_limits);
      const __m128i markup =
          _mm_or_si128(_mm_cmpeq_epi8(bytes, tag_starts), _mm_cmpeq_epi8(bytes, entity_starts));
      const __m128i white = _mm_or_si128(breaks, _mm_cmpeq_epi8(bytes, spaces));
      const __m128i tag_end = _mm_cmpeq_epi8(bytes, tag_ends);
      dos_eofs_met = _mm_or_si128(dos_eofs_met, _mm_cmpeq_epi8(bytes, dos_eofs));
      _mm_store_si128(reinterpret_cast<__m128i*>(spaced + i),
                      _mm_or_si128(_mm_and_si128(breaks, spaces), _mm_andnot_si128(breaks, bytes)));
      m.special |= std::uint64_t(unsigned(_mm_movemask_epi8(_mm_or_si128(breaks, markup)))) << i;
      m.white |= std::uint64_t(unsigned(_mm_movemask_epi8(white))) << i;
      m.tag_end |= std::uint64_t(unsigned(_mm_movemask_epi8(tag_end))) << i;
    }
    return m;
  }
};

}  // namespace
SKRIVEL_END_TARGET_REGION
#endif
