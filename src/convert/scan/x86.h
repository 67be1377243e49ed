// What the x86 kinds of masks share: the processor's features, as its own cpuid instruction
// tells them, and the steps more than one kind takes, each built for the least it needs.
// Included by sse2.h, avx2.h and avx512.h, before each opens its region.
#pragma once

#include "convert/scan/slow_paths.h"

#if SKRIVEL_X86
#include <cpuid.h>
#include <immintrin.h>

namespace {

// Where cpuid shows a feature a kind of masks names, by the name the compiler's target takes:
// the leaf asked, the register and the bit; and whether the system must save the AVX registers,
// and the AVX-512 ones, for the feature to be of use.
enum class Cpuid { kEbx, kEcx, kEdx };
struct X86Feature {
  std::string_view name;
  unsigned leaf;
  Cpuid where;
  unsigned bit;
  bool avx_state, avx512_state;
};
// clang-format off
constexpr X86Feature kX86Features[] = {
    // name          leaf  register     bit  AVX state  AVX-512 state
    {"sse2",         1,    Cpuid::kEdx, 26,  false,     false},
    {"popcnt",       1,    Cpuid::kEcx, 23,  false,     false},
    {"bmi",          7,    Cpuid::kEbx, 3,   false,     false},
    {"bmi2",         7,    Cpuid::kEbx, 8,   false,     false},
    {"avx2",         7,    Cpuid::kEbx, 5,   true,      false},
    {"avx512f",      7,    Cpuid::kEbx, 16,  true,      true},
    {"avx512bw",     7,    Cpuid::kEbx, 30,  true,      true},
    {"avx512vbmi2",  7,    Cpuid::kEcx, 6,   true,      true},
};
// clang-format on

// What cpuid says of the processor (leaves 1 and 7), and xgetbv of the registers the system
// saves when it switches threads.
struct X86Cpu {
  unsigned leaf1[3] = {};  // ebx, ecx, edx
  unsigned leaf7[3] = {};
  bool avx_state = false;
  bool avx512_state = false;
};

inline X86Cpu read_x86_cpu() {
  X86Cpu cpu;
  unsigned eax = 0;
  if (__get_cpuid(1, &eax, &cpu.leaf1[0], &cpu.leaf1[1], &cpu.leaf1[2]) == 0) return cpu;
  if (__get_cpuid_max(0, nullptr) >= 7) {
    __cpuid_count(7, 0, eax, cpu.leaf7[0], cpu.leaf7[1], cpu.leaf7[2]);
  }
  constexpr unsigned kOsxsave = 1u << 27;  // leaf 1, ecx: xgetbv may be asked
  if ((cpu.leaf1[1] & kOsxsave) != 0) {
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    constexpr unsigned kSseAvx = 0x6, kAvx512 = 0xE0;  // XMM and YMM; opmasks and ZMM
    cpu.avx_state = (low & kSseAvx) == kSseAvx;
    cpu.avx512_state = cpu.avx_state && (low & kAvx512) == kAvx512;
  }
  return cpu;
}

// True if this processor has the feature and the system saves the registers it uses; a feature
// the table does not know is taken to be missing.
inline bool x86_has(std::string_view name) {
  static const X86Cpu cpu = read_x86_cpu();
  for (const X86Feature& feature : kX86Features) {
    if (feature.name != name) continue;
    const unsigned* const registers = feature.leaf == 1 ? cpu.leaf1 : cpu.leaf7;
    return (registers[static_cast<unsigned>(feature.where)] >> feature.bit & 1) != 0 &&
           (!feature.avx_state || cpu.avx_state) && (!feature.avx512_state || cpu.avx512_state);
  }
  return false;
}

// Whether the processor has every feature of the list: a kind's check, built for any processor.
#define SKRIVEL_X86_SUPPORTED(FEATURES) (FEATURES(x86_has, &&))

// Tab to CR: adding 0x77 takes them to 0x80..0x84, the five smallest signed bytes.
constexpr char kBreakShift = 0x77;
constexpr char kBreakLimit = char(0x85);

}  // namespace

// The steps more than one kind takes, each built for the least it needs, to be inlined into a
// kind's code built for more.
#define SKRIVEL_X86_SSE2(each, between) each("sse2")
SKRIVEL_TARGET_REGION(SKRIVEL_X86_SSE2)
namespace {

// PortableDefaults::short_tag_length, by one comparison of the 8 bytes.
inline std::size_t x86_short_tag_length(const unsigned char* p) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  const auto ends = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('>'))));
  return ends == 0 ? 0 : std::size_t(unsigned(std::countr_zero(ends)) + 1);
}

}  // namespace
SKRIVEL_END_TARGET_REGION

#define SKRIVEL_X86_SSSE3_AVX(each, between) each("ssse3") between each("avx")
SKRIVEL_TARGET_REGION(SKRIVEL_X86_SSSE3_AVX)
namespace {

// PortableDefaults::short_name_length: each byte that ends an entity name is the one of its low
// 4 bits here, and no other byte is the one of its own, so one shuffle and one comparison find
// them.
inline std::size_t x86_short_name_length(const unsigned char* p) {
  const __m128i ends_by_low_bits = _mm_setr_epi8(' ', -128, -128, -128, -128, -128, -128, -128,
                                                 -128, -128, -128, ';', -128, kCR, -128, -128);
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  const __m128i ends = _mm_cmpeq_epi8(_mm_shuffle_epi8(ends_by_low_bits, bytes), bytes);
  static_assert(kEntityHead == 8, "the name's head is loaded as 8 bytes");
  return std::size_t(std::countr_zero(unsigned(_mm_movemask_epi8(ends)) | 1u << kEntityHead));
}

// Copies 32 bytes, a short tag's whole kShortTag.
inline void x86_copy_32(unsigned char* to, const unsigned char* from) {
  static_assert(kShortTag == 32, "a short tag is copied as one 32-byte vector");
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
}

}  // namespace
SKRIVEL_END_TARGET_REGION
#endif
