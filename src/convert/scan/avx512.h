// The AVX-512 masks: one comparison for each class covers a whole block and gives its mask
// directly, and the bytes kept are packed by one compress. Included once, by block_scan.cc.
#pragma once

#include "convert/scan/x86.h"

#if SKRIVEL_AVX512
// Byte-wise AVX-512 and its byte compress, and all that the AVX2 masks' code is built for.
#define SKRIVEL_AVX512_FEATURES(each, between)                                              \
  each("avx512f") between each("avx512bw") between each("avx512vbmi2") between each("avx2") \
      between each("bmi") between each("bmi2") between each("popcnt")

namespace {
inline bool avx512_supported() {
  return SKRIVEL_X86_SUPPORTED(SKRIVEL_AVX512_FEATURES);
}
}  // namespace

SKRIVEL_TARGET_REGION(SKRIVEL_AVX512_FEATURES)
namespace {

struct Avx512Masks : PortableDefaults {
  static constexpr std::string_view kName = "avx512";
  static constexpr bool kNotesDosEof = true;
  static constexpr bool (*supported)() = avx512_supported;
  SKRIVEL_SCAN_FUNCTIONS(Avx512Masks)

  __m512i spaced;
  __mmask64 dos_eofs_met = 0;  // a bit for each byte where a 0x1A was met
  Avx512Masks() : spaced(_mm512_setzero_si512()) {}

  bool found_dos_eof() const { return dos_eofs_met != 0; }

  static unsigned count(std::uint64_t bits) { return unsigned(std::popcount(bits)); }
  static void copy_tag(unsigned char* to, const unsigned char* from) { x86_copy_32(to, from); }
  static std::size_t short_tag_length(const unsigned char* p) { return x86_short_tag_length(p); }
  static std::size_t short_name_length(const unsigned char* p) { return x86_short_name_length(p); }
  static void copy(unsigned char* to, const unsigned char* from) {
    _mm512_storeu_si512(to, _mm512_loadu_si512(from));
  }
  unsigned char* pack(unsigned char* out, std::uint64_t keep) const {
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, spaced));
    return out + std::popcount(keep);
  }
  BlockMasks classify(const unsigned char* p) {
    const __m512i bytes = _mm512_loadu_si512(p);
    const __mmask64 breaks =
        _mm512_cmplt_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8(9)), _mm512_set1_epi8(5));
    const __mmask64 spaces = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(' '));
    const __mmask64 markup = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('<')) |
                             _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('&'));
    spaced = _mm512_mask_blend_epi8(breaks, bytes, _mm512_set1_epi8(' '));
    dos_eofs_met |= _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(char(kDosEof)));
    return {breaks | markup, breaks | spaces, _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('>'))};
  }
};

}  // namespace
SKRIVEL_END_TARGET_REGION
#endif
