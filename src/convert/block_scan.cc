// Converting by blocks: what the byte loop gives, byte for byte, at a few instructions a byte.
//
// The input buffer is taken 64 bytes at a time, and each block is classified once into bit
// masks, bit i for byte i: `special` for '<', '&' and the whitespace bytes other than a space,
// `white` for all whitespace and `tag_end` for '>'; the block is kept as well, each whitespace
// byte made a space. The bytes to stop at are '<', '&' and whitespace that begins a block.
// Between two stops the byte loop would copy each ordinary byte as it stands and write one
// space for each run of whitespace, since space_run is 0 after an ordinary byte: so the kept
// block's bytes go to the text file but for the second and later bytes of each run (`keep`),
// in one copy for each run of kept bytes, or in one instruction where the processor can
// compress a vector by a mask. A stop is dealt with as the byte loop deals with it:
// - whitespace, at a block's start or after markup: one space if space_run is 0, and the run
//   is skipped to its end in `white`;
// - '<': the tag's '>' is found in tag_end, the tag goes to the tag file as one copy, and its
//   rendering comes from a RenderMemo, which holds what render_tag gave for a tag alike;
// - '&': the entity name is found after it; a short name ended by ';' is looked up in an
//   EntityMemo, which holds what find_entity (the table walk of decode_entity) gave for it,
//   and any other goes to decode_entity itself.
//
// The buffer holds the file's bytes as they are, CR LF and all; get_byte joins a pair when it
// reads one. In a whitespace run a CR LF is two whitespace bytes instead of one, which only
// matters where space_run is -1 (after <P> or <BR>): there the first byte of the run is read
// with get_byte. A tag that holds a special byte (a line break, say), an entity name that holds
// a CR, and either one running past the end of the buffer are read by read_tag or read_entity,
// through get_byte. These slow paths are the byte loop's own functions.
//
// The masks come from SSE2, AVX2 or AVX-512 (with its byte compress) on x86 processors that
// have them, from NEON on 64-bit ARM (little-endian, as it almost always runs; every such
// processor has NEON), and from 64-bit words, 8 bytes at a time, anywhere else. A 32-bit x86
// processor need not have SSE2, so the SSE2 code is built for it by its own attribute, as the
// AVX2 and AVX-512 code is for theirs, and each runs only on a processor that has it.
#include <array>
#include <bit>
#include <cstring>

#include "convert/block_scan.h"

#if defined(__x86_64__) || defined(__i386__)
#define SKRIVEL_X86 1
#include <immintrin.h>
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define SKRIVEL_NEON 1
#include <arm_neon.h>
#endif

namespace {

// What render_tag writes for a tag, as stored in the text file, and returns.
struct TagRendering {
  std::uint32_t length;        // the tag's length, up to kRenderingLength; 0: nothing remembered
  std::int32_t change;         // what render_tag returns
  std::uint64_t head;          // the tag's first kRenderingHead bytes, zero past its end
  std::size_t size;            // bytes written, CR LF for a line break
  const unsigned char* bytes;  // in the memo's scratch, 16 of them readable
};

// Renderings of the tags met so far: tags alike in their first kRenderingHead bytes and in their
// length up to kRenderingLength share one.
struct RenderMemo {
  static constexpr unsigned kSlotBits = 10;
  // Only a slot's length needs a value before the slot is used.
  RenderMemo() {
    for (TagRendering& slot : slots)
      slot.length = 0;
  }
  TagRendering slots[1 << kSlotBits];
  OutStream scratch;  // where the renderings are written out, one after another
};

// Room for the renderings a memo keeps: a page has a few kinds of long ones.
constexpr std::size_t kRenderScratch = 16 * 1024;

// Takes the memo's scratch, where the renderings go as the text file would store them.
void open_render_memo(RenderMemo& memo, bool crlf) {
  open_memory_output(memo.scratch, nullptr, kRenderScratch);
  memo.scratch.crlf = crlf;
}

// Works out the rendering of a tag with render_tag and keeps it in slot.
void render_into(RenderMemo& memo, TagRendering& slot, std::string_view tag, std::uint64_t head,
                 std::uint32_t length) {
  OutStream& scratch = memo.scratch;
  // Renderings are only ever added; when the scratch buffer is full, everything is forgotten.
  // The buffer is never flushed, and 16 bytes after each rendering are always readable.
  if (scratch.capacity - scratch.len < kLongestRendering + 16) {
    for (TagRendering& other : memo.slots)
      other.length = 0;
    scratch.len = 0;
  }
  const std::size_t start = scratch.len;
  slot.change = render_tag(tag, scratch);
  slot.head = head;
  slot.length = length;
  slot.size = scratch.len - start;
  slot.bytes = scratch.buffer.get() + start;
}

static_assert(kRenderingHead == sizeof(std::uint64_t), "a memo key's head is one 64-bit word");

// Indexed by a length up to kRenderingLength: the bits of that many bytes, or of all 8, of a
// 64-bit word read from memory.
constexpr auto kLeadingBytes = [] {
  std::array<std::uint64_t, kRenderingLength + 1> masks{};
  for (unsigned length = 0; length <= kRenderingLength; ++length) {
    const unsigned bits = 8 * length;
    masks[length] = length >= 8                                  ? ~std::uint64_t{0}
                    : std::endian::native == std::endian::little ? (std::uint64_t{1} << bits) - 1
                                                                 : ~(~std::uint64_t{0} >> bits);
  }
  return masks;
}();

// The first 8 bytes of a string at p (a tag, an entity name) of this length, at most
// kRenderingLength, zero past its end. Reads 8 bytes at p.
inline std::uint64_t first_bytes(const unsigned char* p, std::size_t length) {
  std::uint64_t head;
  std::memcpy(&head, p, sizeof head);
  return head & kLeadingBytes[length];
}

// Where a memo of 2^bits slots keeps what it knows of a string, by its first bytes and length.
inline std::size_t memo_slot(std::uint64_t head, std::uint32_t length, unsigned bits) {
  return std::size_t(((head ^ length) * 0x9E3779B97F4A7C15ULL) >> (64 - bits));
}

// The rendering of the whole tag (one that ends in '>') at p; render_tag's own for a tag whose
// kind was not met before. Reads 8 bytes at p.
inline const TagRendering& rendering_of(RenderMemo& memo, const unsigned char* p,
                                        std::size_t length) {
  const auto key_length =
      static_cast<std::uint32_t>(length < kRenderingLength ? length : kRenderingLength);
  const std::uint64_t head = first_bytes(p, key_length);
  TagRendering& slot = memo.slots[memo_slot(head, key_length, RenderMemo::kSlotBits)];
  if (slot.length != key_length || slot.head != head) {
    render_into(memo, slot, {reinterpret_cast<const char*>(p), length}, head, key_length);
  }
  return slot;
}

constexpr std::size_t kBlock = 64;
// A rendering this short is copied as a whole 16 bytes: most are 0 to 4 bytes long.
constexpr std::size_t kShortRendering = 16;
// A tag this short is copied as a whole 32 bytes.
constexpr std::size_t kShortTag = 32;
static_assert(kReadSlack >= 2 * kBlock, "a block is read whole from anywhere before the end");

// Bit i stands for byte i of a block.
struct BlockMasks {
  std::uint64_t special;  // '<', '&', tab, LF, VT, FF, CR
  std::uint64_t white;    // tab, LF, VT, FF, CR, space
  std::uint64_t tag_end;  // '>'
};

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

struct Pass;

// Each kind of masks has its scan's name, says whether this machine can run it, converts a pass
// (its whole conversion built for its processor), and knows how best to copy a whole block and
// a short tag. Classifying a block also keeps it in `spaced`, each whitespace byte made a
// space, for copy_kept to copy from: twice a block long, so that a whole block's copy may start
// at any of its bytes.
struct PortableMasks {
  static constexpr std::string_view kName = "portable";
  static bool supported() { return true; }
  [[gnu::flatten]] static void convert(Pass& pass);
  static void copy(unsigned char* to, const unsigned char* from) { std::memcpy(to, from, kBlock); }
  static void copy_tag(unsigned char* to, const unsigned char* from) {
    std::memcpy(to, from, kShortTag);
  }
  unsigned char spaced[2 * kBlock] = {};

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

#if SKRIVEL_X86
// Tab to CR: adding 0x77 takes them to 0x80..0x84, the five smallest signed bytes.
constexpr char kBreakShift = 0x77;
constexpr char kBreakLimit = char(0x85);

// The bytes to compare a block with, each repeated across a vector: built once, out of line,
// so that the compiler takes them from memory, as part of each comparison, instead of building
// them anew in every block.
struct Sse2Comparands {
  __m128i break_shifts, break_limits, tag_starts, entity_starts, spaces, tag_ends;
};
struct Avx2Comparands {
  __m256i break_shifts, break_limits, tag_starts, entity_starts, spaces, tag_ends;
};

[[gnu::noinline, gnu::target("sse2")]] void fill(Sse2Comparands& c) {
  c = {_mm_set1_epi8(kBreakShift), _mm_set1_epi8(kBreakLimit), _mm_set1_epi8('<'),
       _mm_set1_epi8('&'),         _mm_set1_epi8(' '),         _mm_set1_epi8('>')};
}

[[gnu::noinline, gnu::target("avx2")]] void fill(Avx2Comparands& c) {
  c = {_mm256_set1_epi8(kBreakShift), _mm256_set1_epi8(kBreakLimit), _mm256_set1_epi8('<'),
       _mm256_set1_epi8('&'),         _mm256_set1_epi8(' '),         _mm256_set1_epi8('>')};
}

struct Sse2Masks {
  Sse2Comparands c;

  static constexpr std::string_view kName = "sse2";
  static bool supported() { return __builtin_cpu_supports("sse2"); }
  [[gnu::flatten, gnu::target("sse2")]] static void convert(Pass& pass);
  [[gnu::target("sse2")]] Sse2Masks() { fill(c); }
  static void copy(unsigned char* to, const unsigned char* from) { std::memcpy(to, from, kBlock); }
  static void copy_tag(unsigned char* to, const unsigned char* from) {
    std::memcpy(to, from, kShortTag);
  }
  alignas(16) unsigned char spaced[2 * kBlock] = {};

  [[gnu::target("sse2")]] BlockMasks classify(const unsigned char* p) {
    BlockMasks m{};
    for (unsigned i = 0; i < kBlock; i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i breaks = _mm_cmplt_epi8(_mm_add_epi8(bytes, c.break_shifts), c.break_limits);
      const __m128i markup =
          _mm_or_si128(_mm_cmpeq_epi8(bytes, c.tag_starts), _mm_cmpeq_epi8(bytes, c.entity_starts));
      const __m128i white = _mm_or_si128(breaks, _mm_cmpeq_epi8(bytes, c.spaces));
      const __m128i tag_end = _mm_cmpeq_epi8(bytes, c.tag_ends);
      _mm_store_si128(
          reinterpret_cast<__m128i*>(spaced + i),
          _mm_or_si128(_mm_and_si128(breaks, c.spaces), _mm_andnot_si128(breaks, bytes)));
      m.special |= std::uint64_t(unsigned(_mm_movemask_epi8(_mm_or_si128(breaks, markup)))) << i;
      m.white |= std::uint64_t(unsigned(_mm_movemask_epi8(white))) << i;
      m.tag_end |= std::uint64_t(unsigned(_mm_movemask_epi8(tag_end))) << i;
    }
    return m;
  }
};

// Built and used only inside code built for AVX2.
struct Avx2Masks {
  Avx2Comparands c;

  static constexpr std::string_view kName = "avx2";
  // The AVX2 code is built for BMI and BMI2 as well, which a virtual machine may hide even
  // where it shows AVX2.
  static bool supported() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2");
  }
  [[gnu::flatten, gnu::target("avx2,bmi,bmi2")]] static void convert(Pass& pass);
  [[gnu::target("avx2")]] Avx2Masks() { fill(c); }
  [[gnu::target("avx2")]] static void copy_tag(unsigned char* to, const unsigned char* from) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
  }
  [[gnu::target("avx2")]] static void copy(unsigned char* to, const unsigned char* from) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32)));
  }
  alignas(32) unsigned char spaced[2 * kBlock] = {};

  [[gnu::target("avx2")]] BlockMasks classify(const unsigned char* p) {
    BlockMasks m{};
    for (unsigned i = 0; i < kBlock; i += 32) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      const __m256i breaks =
          _mm256_cmpgt_epi8(c.break_limits, _mm256_add_epi8(bytes, c.break_shifts));
      const __m256i markup = _mm256_or_si256(_mm256_cmpeq_epi8(bytes, c.tag_starts),
                                             _mm256_cmpeq_epi8(bytes, c.entity_starts));
      const __m256i white = _mm256_or_si256(breaks, _mm256_cmpeq_epi8(bytes, c.spaces));
      const __m256i tag_end = _mm256_cmpeq_epi8(bytes, c.tag_ends);
      const __m256i special = _mm256_or_si256(breaks, markup);
      _mm256_store_si256(reinterpret_cast<__m256i*>(spaced + i),
                         _mm256_blendv_epi8(bytes, c.spaces, breaks));
      m.special |= std::uint64_t(unsigned(_mm256_movemask_epi8(special))) << i;
      m.white |= std::uint64_t(unsigned(_mm256_movemask_epi8(white))) << i;
      m.tag_end |= std::uint64_t(unsigned(_mm256_movemask_epi8(tag_end))) << i;
    }
    return m;
  }
};

#if defined(__x86_64__)
#define SKRIVEL_AVX512 1
// One comparison for each class covers the whole block, and gives its mask directly; a copy
// compresses the bytes it keeps out of the spaced block in one instruction.
struct Avx512Masks {
  __m512i spaced;  // the block last classified, each whitespace byte made a space

  static constexpr std::string_view kName = "avx512";
  static bool supported() {
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") &&
           Avx2Masks::supported();
  }
  [[gnu::flatten, gnu::target("avx512bw,avx512vbmi2,avx2,bmi,bmi2,popcnt")]] static void convert(
      Pass& pass);
  [[gnu::target("avx512bw")]] Avx512Masks() : spaced(_mm512_setzero_si512()) {}
  [[gnu::target("avx2")]] static void copy_tag(unsigned char* to, const unsigned char* from) {
    Avx2Masks::copy_tag(to, from);
  }
  // Copies the bytes of the block whose bits are set in keep, in one instruction.
  [[gnu::target("avx512bw,avx512vbmi2,popcnt")]] unsigned char* compress(unsigned char* out,
                                                                         std::uint64_t keep) const {
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, spaced));
    return out + std::popcount(keep);
  }
  [[gnu::target("avx512bw")]] BlockMasks classify(const unsigned char* p) {
    const __m512i bytes = _mm512_loadu_si512(p);
    const __mmask64 breaks =
        _mm512_cmplt_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8(9)), _mm512_set1_epi8(5));
    const __mmask64 spaces = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(' '));
    const __mmask64 markup = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('<')) |
                             _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('&'));
    spaced = _mm512_mask_blend_epi8(breaks, bytes, _mm512_set1_epi8(' '));
    return {breaks | markup, breaks | spaces, _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('>'))};
  }
};
#endif
#endif

#if SKRIVEL_NEON
// NEON has no instruction that gathers one bit of each byte, as SSE2's movemask does. Each
// byte of a comparison (0 or 0xFF) keeps one bit, of weight 1 << (i % 8); three rounds of
// pairwise adds then sum the bits of each 8 bytes of the block into one byte, in order, and
// the word they make, read little-endian, has bit i for byte i.
inline std::uint64_t gather_bits(uint8x16_t b0, uint8x16_t b1, uint8x16_t b2, uint8x16_t b3) {
  const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t low = vpaddq_u8(vandq_u8(b0, weights), vandq_u8(b1, weights));
  const uint8x16_t high = vpaddq_u8(vandq_u8(b2, weights), vandq_u8(b3, weights));
  const uint8x16_t quarters = vpaddq_u8(low, high);
  return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(quarters, quarters)), 0);
}

struct NeonMasks {
  static constexpr std::string_view kName = "neon";
  static bool supported() { return true; }  // every 64-bit ARM processor has it
  [[gnu::flatten]] static void convert(Pass& pass);
  static void copy(unsigned char* to, const unsigned char* from) { std::memcpy(to, from, kBlock); }
  static void copy_tag(unsigned char* to, const unsigned char* from) {
    std::memcpy(to, from, kShortTag);
  }
  unsigned char spaced[2 * kBlock] = {};

  BlockMasks classify(const unsigned char* p) {
    uint8x16_t special[4], white[4], tag_end[4];
    for (unsigned k = 0; k < 4; ++k) {
      const uint8x16_t bytes = vld1q_u8(p + 16 * k);
      // Tab to CR are the five bytes from 9 up.
      const uint8x16_t breaks = vcltq_u8(vsubq_u8(bytes, vdupq_n_u8(9)), vdupq_n_u8(5));
      const uint8x16_t markup =
          vorrq_u8(vceqq_u8(bytes, vdupq_n_u8('<')), vceqq_u8(bytes, vdupq_n_u8('&')));
      special[k] = vorrq_u8(breaks, markup);
      white[k] = vorrq_u8(breaks, vceqq_u8(bytes, vdupq_n_u8(' ')));
      tag_end[k] = vceqq_u8(bytes, vdupq_n_u8('>'));
      vst1q_u8(spaced + 16 * k, vbslq_u8(breaks, vdupq_n_u8(' '), bytes));
    }
    return {gather_bits(special[0], special[1], special[2], special[3]),
            gather_bits(white[0], white[1], white[2], white[3]),
            gather_bits(tag_end[0], tag_end[1], tag_end[2], tag_end[3])};
  }
};
#endif

// One classified block of the input buffer.
struct Block {
  const unsigned char* at;
  std::size_t valid;    // bytes of the block before the end of the buffer: 64, or fewer at the end
  BlockMasks masks;     // bytes past the end of the buffer have no bits
  std::uint64_t stops;  // the bytes not to copy as they stand, and the end of the buffer
  std::uint64_t keep;   // the bytes a copy keeps: all but the second and later of a whitespace run
};

template <typename Masks>
inline Block classify_block(Masks& masks, const unsigned char* at, const unsigned char* end) {
  Block b{at, kBlock, masks.classify(at), 0, 0};
  if (std::size_t(end - at) < kBlock) {
    b.valid = std::size_t(end - at);
    const std::uint64_t live = (std::uint64_t{1} << b.valid) - 1;
    b.masks.special &= live;
    b.masks.white &= live;
    b.masks.tag_end &= live;
    b.stops = std::uint64_t{1} << b.valid;
  }
  // A copy keeps the first byte of each whitespace run, as a space, and drops the rest. Only
  // whitespace that begins a block stops there, since the byte before it is not looked at: a
  // space copied at the end of one block leaves space_run 1, so that the rest of its run, in
  // the next block, writes nothing.
  b.keep = ~b.masks.white | (b.masks.white & ~(b.masks.white << 1));
  b.stops |= (b.masks.special & ~b.masks.white) | (b.masks.white & 1);
  return b;
}

// Where the run of whitespace at j ends: at the next byte that is not whitespace, or at the end
// of the block (64), the next block then starting with a stop.
inline std::size_t run_end(const Block& b, std::size_t j) {
  return std::size_t(std::countr_zero(~b.masks.white & (~std::uint64_t{1} << j)));
}

// space_run after bytes copied up to j: 1 if the last was whitespace, 0 after any other.
inline int space_run_after_copy(const Block& b, std::size_t j) {
  return int(b.masks.white >> (j - 1) & 1);
}

// The bits of a block's bytes from i up to j, j at most 64.
inline std::uint64_t bytes_between(std::size_t i, std::size_t j) {
  return (j < kBlock ? (std::uint64_t{1} << j) - 1 : ~std::uint64_t{0}) & (~std::uint64_t{0} << i);
}

// Copies the bytes of the block last classified whose bits are set in keep, whitespace as
// spaces, and returns the end of the copy: by the masks' own compress if they have one, or one
// copy for each run of bytes kept.
template <typename Masks>
inline unsigned char* copy_kept(const Masks& masks, unsigned char* out, std::uint64_t keep) {
  if constexpr (requires { masks.compress(out, keep); }) {
    return masks.compress(out, keep);
  } else {
    while (keep != 0) {
      // Adding the run's lowest bit clears the run and sets the bit after it, if there is one.
      const std::uint64_t next = keep + (keep & -keep);
      const auto start = std::size_t(std::countr_zero(keep));
      Masks::copy(out, masks.spaced + start);
      out += std::size_t(std::countr_zero(next)) - start;
      keep &= next;
    }
    return out;
  }
}

// Replacements of the entity names met so far, by the name's first 8 bytes and its length: a
// whole name of up to kEntityHead bytes.
constexpr std::size_t kEntityHead = 8;
static_assert(kEntityHead <= kRenderingLength, "first_bytes reads a name's head");
struct EntityMemo {
  struct Slot {
    std::uint32_t length;  // the name's length + 1; 0: nothing remembered
    std::uint32_t size;    // of the replacement; kNotInTable, or kNotCopied if it has a line break
    std::uint64_t head;
    unsigned char bytes[16];
  };
  static constexpr unsigned kSlotBits = 8;
  // Only a slot's length needs a value before the slot is used.
  EntityMemo() {
    for (Slot& slot : slots)
      slot.length = 0;
  }
  Slot slots[1 << kSlotBits];
};
constexpr std::uint32_t kNotInTable = ~std::uint32_t{0};
constexpr std::uint32_t kNotCopied = kNotInTable - 1;

// The ends of an entity name: ';' and the space end it, and a CR may be half of a CR LF.
constexpr auto kEndsName = [] {
  std::array<bool, 256> ends{};
  ends[';'] = ends[' '] = ends[kCR] = true;
  return ends;
}();

// What one pass over the input holds between blocks.
struct Pass {
  InStream& in;
  OutStream& text;
  OutStream& tags;
  OutStream& console;
  TagBuffer tag;        // a tag read by read_tag
  EntityBuffer entity;  // an entity name read by read_entity
  RenderMemo memo;
  EntityMemo entities;
};

// The tag after the '<' just read, as the byte loop converts it; returns the new space_run.
[[gnu::noinline]] int convert_tag_slowly(Pass& pass) {
  read_tag(pass.tag, pass.in, pass.tags);
  log_tag(pass.tag, pass.tags);
  return render_tag(tag_string(pass.tag), pass.text);
}

// Converts the entity whose '&' is at `at`, if its name lies whole before end and holds no CR,
// and returns the byte after it; otherwise returns nullptr, having done nothing.
[[gnu::noinline]] const unsigned char* convert_entity(Pass& pass, const unsigned char* at,
                                                      const unsigned char* end) {
  const unsigned char* q = at + 1;
  while (q < end && !kEndsName[*q]) {
    ++q;
  }
  if (q == end || *q == kCR) return nullptr;
  const std::string_view name(reinterpret_cast<const char*>(at + 1), std::size_t(q - at - 1));
  if (*q == ' ') {  // a name ended by a space carries "& " behind it: only "& " is in the table
    if (name.empty()) {
      decode_entity("& ", pass.text, pass.console);
    } else {
      report_entity(name, pass.console, true);
    }
    return q + 1;
  }
  if (name.size() > kEntityHead) {
    decode_entity(name, pass.text, pass.console);
    return q + 1;
  }
  const std::uint64_t head = first_bytes(at + 1, name.size());
  const auto length = static_cast<std::uint32_t>(name.size() + 1);
  EntityMemo::Slot& slot = pass.entities.slots[memo_slot(head, length, EntityMemo::kSlotBits)];
  if (slot.length != length || slot.head != head) {
    const std::string_view* replacement = find_entity(name);
    slot.head = head;
    slot.length = length;
    slot.size = replacement == nullptr ? kNotInTable : kNotCopied;
    // Stored as it stands, so a line break in it would need the stream's translation.
    if (replacement != nullptr && replacement->size() <= sizeof slot.bytes &&
        replacement->find('\n') == std::string_view::npos) {
      slot.size = static_cast<std::uint32_t>(replacement->size());
      std::memcpy(slot.bytes, replacement->data(), replacement->size());
    }
  }
  OutStream& text = pass.text;
  if (slot.size == kNotInTable) {
    report_entity(name, pass.console);
  } else if (slot.size == kNotCopied) {
    decode_entity(name, text, pass.console);
  } else {
    if (text.capacity - text.len < sizeof slot.bytes) flush(text);
    std::memcpy(text.buffer.get() + text.len, slot.bytes, sizeof slot.bytes);
    text.len += slot.size;
  }
  return q + 1;
}

// The entity after the '&' just read, as the byte loop converts it.
[[gnu::noinline]] void convert_entity_slowly(Pass& pass) {
  read_entity(pass.entity, pass.in, pass.console);
  decode_entity(pass.entity, pass.text, pass.console);
}

template <typename Masks>
inline void convert_by_blocks(Pass& pass, Masks& masks) {
  InStream& in = pass.in;
  OutStream& text = pass.text;
  OutStream& tags = pass.tags;
  // Kept here, not in memory that a byte written through out might be.
  int space_run = 0;
  // The text file's buffer is written through out, and the tag file's through tag_out; the
  // streams' lengths catch up (sync) before any call that writes to them itself. The bytes of
  // one block, with a short rendering for each of them, are written past out before it is
  // checked again.
  constexpr std::size_t kBlockRoom = kBlock + kBlock * kShortRendering + kBlock;
  static_assert(kLeastOutputBuffer > 2 * kBlockRoom);
  unsigned char* out = text.buffer.get() + text.len;
  unsigned char* const out_limit = text.buffer.get() + text.capacity - kBlockRoom;
  unsigned char* tag_out = tags.buffer.get() + tags.len;
  unsigned char* const tag_out_limit = tags.buffer.get() + tags.capacity - kShortTag - 2;
  // A tag this short goes to the tag file as a whole 32 bytes, its line end after it.
  const std::size_t short_tag = tags.crlf ? kShortTag : 0;
  const auto sync = [&] {
    text.len = std::size_t(out - text.buffer.get());
    tags.len = std::size_t(tag_out - tags.buffer.get());
  };
  const auto reload = [&] {
    out = text.buffer.get() + text.len;
    tag_out = tags.buffer.get() + tags.len;
  };
  const auto classify = [&](const unsigned char* at, const unsigned char* end) {
    if (out > out_limit) {
      sync();
      flush(text);
      reload();
    }
    return classify_block(masks, at, end);
  };

  // Each turn of this loop starts at in.pos; a slow path leaves the inner loop to start afresh.
  while (in.pos < in.len || refill(in)) {
    const unsigned char* const start = in.buffer.get();
    const unsigned char* const end = start + in.len;
    Block b = classify(start + in.pos, end);
    std::size_t i = 0;  // b is converted up to here

    // Whitespace at i, where markup left off or a block begins: space_run tells what it gives.
    const auto white_after_markup = [&] {
      if (space_run < 0) {
        // Only the first whitespace byte vanishes: read it as the byte loop would, CR LF as one.
        in.pos = std::size_t(b.at + i - start);
        (void)get_byte(in);
        ++space_run;
        i = std::size_t(start + in.pos - b.at);
        if (i >= b.valid || (b.masks.white >> i & 1) == 0) return;
      }
      *out = ' ';
      out += space_run == 0;
      space_run = 1;
      i = run_end(b, i);
    };

    if (b.masks.white & 1) white_after_markup();
    for (;;) {
      if (i >= b.valid) {
        if (b.at + i >= end) {
          in.pos = in.len;
          break;
        }
        b = classify(b.at + i, end);
        i = 0;
      }
      // Copy up to the next stop.
      const std::size_t from = i;
      const std::size_t j = std::size_t(std::countr_zero(b.stops & (~std::uint64_t{0} << i)));
      out = copy_kept(masks, out, b.keep & bytes_between(i, j));
      i = j;
      if (j == b.valid) {  // the end of the block or of the buffer
        if (j > from) space_run = space_run_after_copy(b, j);
        continue;
      }
      if (b.masks.white >> j & 1) {  // whitespace that begins the block
        white_after_markup();
        continue;
      }

      const unsigned char* const at = b.at + j;
      if (*at == '<') {
        // The tag's '>', in this block or a later one, with no special byte before it.
        const std::uint64_t after = ~std::uint64_t{1} << j;
        std::uint64_t inner = b.masks.special & after;
        std::uint64_t ends = b.masks.tag_end & after;
        Block e = b;
        if (ends == 0) {
          while (inner == 0 && e.valid == kBlock && e.at + kBlock < end) {
            e = classify(e.at + kBlock, end);
            inner = e.masks.special;
            ends = e.masks.tag_end;
            if (ends != 0) break;
          }
        }
        if (ends == 0 || (inner & (ends ^ (ends - 1))) != 0) {
          in.pos = std::size_t(at + 1 - start);
          sync();
          space_run = convert_tag_slowly(pass);
          reload();
          break;
        }
        const std::size_t k = std::size_t(std::countr_zero(ends));
        const std::size_t length = std::size_t(e.at + k + 1 - at);
        if (length <= short_tag) {
          if (tag_out > tag_out_limit) {
            sync();
            flush(tags);
            reload();
          }
          Masks::copy_tag(tag_out, at);
          tag_out[length] = kCR;
          tag_out[length + 1] = kLF;
          tag_out += length + 2;
        } else {
          sync();
          log_tag({reinterpret_cast<const char*>(at), length}, tags);
          reload();
        }
        const TagRendering& rendering = rendering_of(pass.memo, at, length);
        const std::size_t size = rendering.size;
        space_run = rendering.change;
        if (size <= kShortRendering) {
          std::memcpy(out, rendering.bytes, kShortRendering);
        } else {  // a rule of underscores, say: make room for it
          sync();
          if (text.capacity - text.len < size + kBlockRoom) flush(text);
          reload();
          std::memcpy(out, rendering.bytes, size);
        }
        out += size;
        b = e;
        i = k + 1;
      } else {  // '&'
        if (j > from) space_run = space_run_after_copy(b, j);
        sync();
        const unsigned char* const after = convert_entity(pass, at, end);
        if (after == nullptr) {
          in.pos = std::size_t(at + 1 - start);
          convert_entity_slowly(pass);
          reload();
          break;
        }
        reload();
        i = std::size_t(after - b.at);
      }
      if (i < b.valid && (b.masks.white >> i & 1)) white_after_markup();
    }
  }
  sync();
}

// Each scan has the whole conversion inlined into one function, built for its processor.
[[gnu::flatten]] void PortableMasks::convert(Pass& pass) {
  PortableMasks masks;
  convert_by_blocks(pass, masks);
}

#if SKRIVEL_NEON
[[gnu::flatten]] void NeonMasks::convert(Pass& pass) {
  NeonMasks masks;
  convert_by_blocks(pass, masks);
}
#endif

#if SKRIVEL_X86
[[gnu::flatten, gnu::target("sse2")]] void Sse2Masks::convert(Pass& pass) {
  Sse2Masks masks;
  convert_by_blocks(pass, masks);
}

[[gnu::flatten, gnu::target("avx2,bmi,bmi2")]] void Avx2Masks::convert(Pass& pass) {
  Avx2Masks masks;
  convert_by_blocks(pass, masks);
}
#endif

#if SKRIVEL_AVX512
[[gnu::flatten, gnu::target("avx512bw,avx512vbmi2,avx2,bmi,bmi2,popcnt")]] void
Avx512Masks::convert(Pass& pass) {
  Avx512Masks masks;
  convert_by_blocks(pass, masks);
}
#endif

// The byte loop, then a scan for each kind of masks, slowest first.
template <typename... Masks>
struct ScanTable {
  static inline const Scan rows[] = {{"byte_loop", true}, {Masks::kName, Masks::supported()}...};

  // Converts with the masks of rows[index], index 1 or more.
  static void convert(std::size_t index, Pass& pass) {
    std::size_t row = 0;
    (void)((++row == index && (Masks::convert(pass), true)) || ...);
  }
};

// Every scan this build has: a new one is its masks struct, and its name in this list.
#if SKRIVEL_AVX512
using Scans = ScanTable<PortableMasks, Sse2Masks, Avx2Masks, Avx512Masks>;
#elif SKRIVEL_X86
using Scans = ScanTable<PortableMasks, Sse2Masks, Avx2Masks>;
#elif SKRIVEL_NEON
using Scans = ScanTable<PortableMasks, NeonMasks>;
#else
using Scans = ScanTable<PortableMasks>;
#endif

}  // namespace

std::span<const Scan> scans() {
  return Scans::rows;
}

const Scan& fastest_scan() {
  static const Scan* const fastest = [] {
    const Scan* last = &Scans::rows[0];
    for (const Scan& scan : Scans::rows) {
      if (scan.supported) last = &scan;
    }
    return last;
  }();
  return *fastest;
}

void convert_with(const Scan& scan, InStream& in, OutStream& text, OutStream& tags,
                  OutStream& console) {
  const auto index = static_cast<std::size_t>(&scan - Scans::rows);
  if (index == 0) {
    convert_byte_by_byte(in, text, tags, console);
    return;
  }
  Pass pass{in, text, tags, console, {}, {}, RenderMemo{}, EntityMemo{}};
  open_render_memo(pass.memo, text.crlf);
  Scans::convert(index, pass);
}
