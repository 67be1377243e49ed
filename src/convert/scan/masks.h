// The block engine's vocabulary: what a kind of masks must provide (the concept BlockMasksKind),
// the portable versions that a kind may take over, and how an instruction set's features, named
// once, open the region of its code. Included once, by block_scan.cc.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/text_stream.h"

#if defined(__x86_64__) || defined(__i386__)
#define SKRIVEL_X86 1
#if defined(__x86_64__)
#define SKRIVEL_AVX512 1
#endif
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define SKRIVEL_NEON 1
#endif

// An instruction set's features are one list, FEATURES(each, between), which gives both the
// target of its code and the test of the processor (x86.h's SKRIVEL_X86_SUPPORTED). A kind's
// file opens its region with SKRIVEL_TARGET_REGION(FEATURES) and closes it with
// SKRIVEL_END_TARGET_REGION: every function declared between the two is built for them, and
// runs only where the processor has them. Headers are included before it opens.
#define SKRIVEL_AS_IS(feature) feature
#define SKRIVEL_COMMA ","
#define SKRIVEL_STRING(...) SKRIVEL_STRING_AS_IS(__VA_ARGS__)
#define SKRIVEL_STRING_AS_IS(...) #__VA_ARGS__
#if defined(__clang__)
#define SKRIVEL_TARGET_REGION(FEATURES)        \
  _Pragma(SKRIVEL_STRING(clang attribute push( \
      __attribute__((target(FEATURES(SKRIVEL_AS_IS, SKRIVEL_COMMA)))), apply_to = function)))
#define SKRIVEL_END_TARGET_REGION _Pragma("clang attribute pop")
#else
#define SKRIVEL_TARGET_REGION(FEATURES) \
  _Pragma("GCC push_options")           \
      _Pragma(SKRIVEL_STRING(GCC target(FEATURES(SKRIVEL_AS_IS, SKRIVEL_COMMA))))
#define SKRIVEL_END_TARGET_REGION _Pragma("GCC pop_options")
#endif

// The two functions of a kind of masks that hold the whole of its work, each built for the
// kind's region and with everything it calls inlined into it: the conversion, and the
// classifying of an input buffer, kept out of the conversion's registers.
#define SKRIVEL_SCAN_FUNCTIONS(Kind)                                                  \
  [[gnu::flatten]] static void convert(const Streams& streams) {                      \
    convert_by_blocks<Kind>(streams);                                                 \
  }                                                                                   \
  [[gnu::noinline, gnu::flatten]] static bool classify_buffer(const Buffer& buffer) { \
    return classify_rows<Kind>(buffer);                                               \
  }

namespace {

// The bytes classified at a time.
constexpr std::size_t kBlock = 64;
// A tag this short is copied as a whole 32 bytes, one up to a block long as a whole block.
constexpr std::size_t kShortTag = 32;
// Of an entity name, the bytes a kind of masks looks at for its end at once.
constexpr std::size_t kEntityHead = 8;

// Bit i stands for byte i of a block.
struct BlockMasks {
  std::uint64_t special;  // '<', '&', tab, LF, VT, FF, CR
  std::uint64_t white;    // tab, LF, VT, FF, CR, space
  std::uint64_t tag_end;  // '>'
};

struct Streams;  // what a conversion reads and writes (pass.h)
struct Buffer;   // an input buffer to classify, and where its rows go (rows.h)

// Word-at-a-time tests on the 8 bytes of a word: each gives a word with the high bit of every
// byte that passes set, and no other bit.
constexpr std::uint64_t kEachByte = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;
constexpr std::uint64_t kLowBits = 0x7F7F7F7F7F7F7F7F;

// Bytes below n, n at most 128: adding 128 - n to the low 7 bits carries into the high bit from
// n up, and never into the next byte.
constexpr std::uint64_t bytes_below(std::uint64_t word, unsigned n) {
  return ~(((word & kLowBits) + kEachByte * (128 - n)) | word) & kHighBits;
}

constexpr std::uint64_t bytes_equal(std::uint64_t word, unsigned char c) {
  return bytes_below(word ^ (kEachByte * c), 1);
}

// The high bits of the 8 bytes, byte k's as bit k: the multiplier moves each to bit 56 + k,
// the products' bits never meeting.
constexpr std::uint64_t gather_high_bits(std::uint64_t high) {
  return ((high >> 7) * 0x0102040810204080) >> 56;
}

// The bits set in a word, where the processor may have no instruction that counts them.
constexpr unsigned count_ones(std::uint64_t bits) {
  bits -= bits >> 1 & 0x5555555555555555;
  bits = (bits & 0x3333333333333333) + (bits >> 2 & 0x3333333333333333);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0F;
  return unsigned((bits * 0x0101010101010101) >> 56);
}

// The ends of an entity name: ';' and the space end it, and a CR may be half of a CR LF.
constexpr auto kEndsName = [] {
  std::array<bool, 256> ends{};
  ends[';'] = ends[' '] = ends[kCR] = true;
  return ends;
}();

// For the processors that shuffle 16 bytes by 16 indexes (little-endian): for the mask of
// either half of the 16, the indexes that gather the bytes it keeps, in order, to the front of
// the half, index n of the word for byte n; 0x80 gives a zero. And how many the mask keeps.
// The two halves' tables are apart, so that each is reached from an address of its own.
consteval std::array<std::uint64_t, 256> pack_shuffles(unsigned half) {
  std::array<std::uint64_t, 256> shuffles{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned kept = 0;
    for (unsigned i = 0; i < 8; ++i) {
      if (mask >> i & 1) shuffles[mask] |= std::uint64_t{8 * half + i} << (8 * kept++);
    }
    for (; kept < 8; ++kept)
      shuffles[mask] |= std::uint64_t{0x80} << (8 * kept);
  }
  return shuffles;
}
constexpr auto kPackLowShuffles = pack_shuffles(0);
constexpr auto kPackHighShuffles = pack_shuffles(1);
constexpr auto kPackCounts = [] {
  std::array<unsigned char, 256> counts{};
  for (unsigned mask = 0; mask < 256; ++mask)
    counts[mask] = static_cast<unsigned char>(std::popcount(mask));
  return counts;
}();

// What every kind of masks may take as it stands: the portable versions, a word at a time. A
// kind takes over whichever its processor does better.
struct PortableDefaults {
  // Whether classify notes every 0x1A it meets, for found_dos_eof() to tell, so that refill
  // need not look for one: a byte more to compare, where refill's search reads the buffer once
  // more. The portable masks would take longer than the search.
  static constexpr bool kNotesDosEof = false;

  // Copies a whole block, and the whole kShortTag bytes of a short tag.
  static void copy(unsigned char* to, const unsigned char* from) { std::memcpy(to, from, kBlock); }
  static void copy_tag(unsigned char* to, const unsigned char* from) {
    std::memcpy(to, from, kShortTag);
  }

  // The bits set in a mask: by the word's arithmetic on x86, where the code is built for
  // processors that may have no instruction for it.
  static unsigned count(std::uint64_t bits) {
#if SKRIVEL_X86
    return count_ones(bits);
#else
    return unsigned(std::popcount(bits));
#endif
  }

  // The length of the tag at p if its '>' is among its first 8 bytes, else 0. Reads 8 bytes.
  static std::size_t short_tag_length(const unsigned char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const std::uint64_t ends = bytes_equal(word, '>');
    if (ends == 0) return 0;
    const int bits = std::endian::native == std::endian::little ? std::countr_zero(ends)
                                                                : std::countl_zero(ends);
    return std::size_t(bits) / 8 + 1;
  }

  // Where the first end of the entity name at p lies among its first kEntityHead bytes, or
  // kEntityHead if none does. Reads 8 bytes at p.
  static std::size_t short_name_length(const unsigned char* p) {
    std::size_t size = 0;
    while (size < kEntityHead && !kEndsName[p[size]])
      ++size;
    return size;
  }

  // Packs the bytes of a spaced block (readable twice a block long) whose bits are set in keep,
  // by one copy of a whole block for each run of them; returns their end.
  template <typename Masks>
  static unsigned char* pack_runs(unsigned char* out, const unsigned char* spaced,
                                  std::uint64_t keep) {
    while (keep != 0) {
      // Adding the run's lowest bit clears the run and sets the bit after it, if there is one.
      const std::uint64_t next = keep + (keep & -keep);
      const auto start = std::size_t(std::countr_zero(keep));
      Masks::copy(out, spaced + start);
      out += std::size_t(std::countr_zero(next)) - start;
      keep &= next;
    }
    return out;
  }
};

// What a kind of masks provides, to be one of the scans. Each is a struct with its processor's
// own classify and pack; the rest it takes from PortableDefaults or writes itself.
template <typename M>
concept BlockMasksKind = requires(M masks, const M& held, const unsigned char* from,
                                  unsigned char* to, std::uint64_t bits) {
  // Its scan's name, and whether this processor can run it: a function built for any processor,
  // outside the kind's region.
  { M::kName } -> std::convertible_to<std::string_view>;
  { M::supported() } -> std::same_as<bool>;
  // Classifies the 64 bytes at from (readable two blocks long) into their masks, and keeps the
  // block with each whitespace byte made a space.
  { masks.classify(from) } -> std::same_as<BlockMasks>;
  // Writes out the bytes of that spaced block whose bits are set in the mask, in order; returns
  // their end. May write up to two blocks past to.
  { held.pack(to, bits) } -> std::same_as<unsigned char*>;
  // As PortableDefaults has them.
  M::copy(to, from);
  M::copy_tag(to, from);
  { M::count(bits) } -> std::same_as<unsigned>;
  { M::short_tag_length(from) } -> std::same_as<std::size_t>;
  { M::short_name_length(from) } -> std::same_as<std::size_t>;
  // Whether classify notes each 0x1A; if it does, whether one was met since it was made.
  { M::kNotesDosEof } -> std::convertible_to<bool>;
  requires !M::kNotesDosEof || requires {
    { held.found_dos_eof() } -> std::same_as<bool>;
  };
  // Its whole conversion, and its classifying of a buffer, which says whether it met a 0x1A
  // (SKRIVEL_SCAN_FUNCTIONS).
  M::convert(std::declval<const Streams&>());
  { M::classify_buffer(std::declval<const Buffer&>()) } -> std::same_as<bool>;
};

}  // namespace
