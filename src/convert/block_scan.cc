// Converting by blocks: what the byte loop gives, byte for byte, at a few instructions a byte.
//
// Each time refill fills the input buffer, the buffer is classified once, 64 bytes at a time,
// into a row of bit masks for each block, bit i for byte i: `special` for '<', '&' and the
// whitespace bytes other than a space, `white` for all whitespace and `tag_end` for '>'. The
// bytes to stop at are '<' and '&'. Between two stops the byte loop would copy each ordinary
// byte as it stands and write one space for each run of whitespace, since space_run is 0 after
// an ordinary byte. So as each block is classified, its bytes but for the second and later of
// each whitespace run (`keep`), whitespace made spaces, are packed into the `packed` buffer,
// one block after another: by one shuffle for each 16 bytes, by one compress where the
// processor has it, or by one copy for each run of kept bytes. The text between two stops is
// then one copy out of packed, from where the bytes kept before the first begin to where those
// kept before the second do. A stop is dealt with as the byte loop deals with it:
// - '<': the tag goes to the tag file as one copy, and its rendering comes from a RenderMemo,
//   which holds what render_tag gave for a tag alike; a tag whose '>' is among its first 8
//   bytes is looked up there by those bytes, any other's '>' is found in the rows first;
// - '&': the entity name is found after it; a short name ended by ';' or a space is looked up
//   in an EntityMemo, which holds what find_entity (the table walk of decode_entity) gave for
//   it, and for a name not in the table the end of its console line, where the console stores
//   lines as they stand; any other goes to decode_entity itself;
// and whitespace after either, or where a buffer begins, gives one space if space_run is 0,
// and is skipped to the end of its run in `white`.
//
// The loop that copies text and converts tags makes no call, and classifying is a function of
// its own, so that the compiler can keep what the loop works with in registers; it takes that
// from the pass and the streams when it starts and gives it back when it leaves, so that none of
// it lives across a call. It leaves for whatever needs one, or more room than it has: a full
// text file buffer, a long copy, an entity, a tag or rendering it cannot write itself, the end
// of the buffer.
//
// The buffer holds the file's bytes as they are, CR LF and all; get_byte joins a pair when it
// reads one. In a whitespace run a CR LF is two whitespace bytes instead of one, which only
// matters where space_run is -1 (after <P> or <BR>): there the first byte of the run vanishes
// as get_byte would read it, a CR LF as one. A tag that holds a special byte (a line break,
// say), an entity name that holds a CR, and either one running past the end of the buffer are
// read by read_tag or read_entity, through get_byte. These slow paths are the byte loop's own
// functions; one that refills the buffer leaves the rows out of date, and the new buffer is
// classified in its turn.
//
// The masks come from SSE2, AVX2 or AVX-512 (with its byte compress) on x86 processors that
// have them, from NEON on 64-bit ARM (little-endian, as it almost always runs; every such
// processor has NEON), and from 64-bit words, 8 bytes at a time, anywhere else. A 32-bit x86
// processor need not have SSE2, so the SSE2 code is built for it by its own attribute, as the
// AVX2 and AVX-512 code is for theirs, and each runs only on a processor that has it.
#include <array>
#include <bit>
#include <cstring>
#include <memory>

#include "convert/block_scan.h"

#if defined(__x86_64__) || defined(__i386__)
#define SKRIVEL_X86 1
#include <immintrin.h>
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define SKRIVEL_NEON 1
#include <arm_neon.h>
#endif

namespace {

// A rendering this short is copied as a whole 16 bytes: most are 0 to 4 bytes long. The fast
// path copies one up to kLongRendering long, a rule of underscores say, as a whole 128.
constexpr std::size_t kShortRendering = 16;
constexpr std::size_t kLongRendering = 128;
// What a memo multiplies a key by to pick its slot.
constexpr std::uint64_t kMemoMultiplier = 0x9E3779B97F4A7C15;

// What render_tag writes for a tag, as stored in the text file, and returns.
struct TagRendering {
  std::uint64_t head;          // the tag's first kRenderingHead bytes, zero past its end
  std::uint64_t short_head;    // head again if size is at most kShortRendering; else 0, as no
                               // tag's head is, since it begins with '<'
  const unsigned char* bytes;  // in the memo's scratch: kLongRendering and 16 past the end readable
  std::uint32_t length;        // the tag's length, up to kKeyLength; 0: nothing remembered
  std::uint16_t size;          // bytes written, CR LF for a line break
  std::int16_t change;         // what render_tag returns
};
static_assert(sizeof(TagRendering) <= 32, "two slots to a cache line");

// Renderings of the tags met so far: tags alike in their first kRenderingHead bytes and in their
// length up to kKeyLength share one.
struct RenderMemo {
  static constexpr unsigned kSlotBits = 10;
  // Only a slot's length and short head need a value before the slot is used.
  RenderMemo() {
    for (TagRendering& slot : slots) {
      slot.length = 0;
      slot.short_head = 0;
    }
  }
  TagRendering slots[1 << kSlotBits];
  // kMemoMultiplier, read from here by each tag: on ARM that takes one instruction, where
  // building the constant anew, as the compiler would in the conversion's loop, takes four.
  std::uint64_t multiplier = kMemoMultiplier;
  OutStream scratch;  // where the renderings are written out, one after another
};

// Room for the renderings a memo keeps: a page has a few kinds of long ones.
constexpr std::size_t kRenderScratch = 16 * 1024;
static_assert(kRenderScratch <= 0xFFFF, "a rendering's size fits its slot");

// Takes the memo's scratch, where the renderings go as the text file would store them.
void open_render_memo(RenderMemo& memo, bool crlf) {
  open_memory_output(memo.scratch, nullptr, kRenderScratch);
  memo.scratch.crlf = crlf;
}

// Works out the rendering of a tag with render_tag and keeps it in slot.
[[gnu::noinline]] void render_into(RenderMemo& memo, TagRendering& slot, std::string_view tag,
                                   std::uint64_t head, std::uint32_t length) {
  OutStream& scratch = memo.scratch;
  // Renderings are only ever added; when the scratch buffer is full, everything is forgotten.
  // The buffer is never flushed, and kLongRendering bytes from the start of each rendering, and
  // 16 after its end, are always readable.
  if (scratch.capacity - scratch.len < kLongestRendering + kLongRendering) {
    for (TagRendering& other : memo.slots) {
      other.length = 0;
      other.short_head = 0;
    }
    scratch.len = 0;
  }
  const std::size_t start = scratch.len;
  slot.change = static_cast<std::int16_t>(render_tag(tag, scratch));
  slot.head = head;
  slot.length = length;
  slot.size = static_cast<std::uint16_t>(scratch.len - start);
  slot.short_head = slot.size <= kShortRendering ? head : 0;
  slot.bytes = scratch.buffer.get() + start;
}

static_assert(kRenderingHead == sizeof(std::uint64_t), "a memo key's head is one 64-bit word");

// The bytes classified at a time.
constexpr std::size_t kBlock = 64;
// A tag this short is copied as a whole 32 bytes, one up to a block long as a whole block.
constexpr std::size_t kShortTag = 32;
// A memo tells tags apart by their length up to this: a tag short enough to copy whole then has
// its own length as its key's, with nothing to work out.
constexpr std::size_t kKeyLength = kBlock + 1;
static_assert(kKeyLength >= kRenderingLength, "tags alike in their key render alike");

// Indexed by a length up to kKeyLength: the bits of that many bytes, or of all 8, of a 64-bit
// word read from memory.
constexpr auto kLeadingBytes = [] {
  std::array<std::uint64_t, kKeyLength + 1> masks{};
  for (unsigned length = 0; length <= kKeyLength; ++length) {
    const unsigned bits = 8 * length;
    masks[length] = length >= 8                                  ? ~std::uint64_t{0}
                    : std::endian::native == std::endian::little ? (std::uint64_t{1} << bits) - 1
                                                                 : ~(~std::uint64_t{0} >> bits);
  }
  return masks;
}();

// The first 8 bytes of a string at p (a tag, an entity name) of this length, at most
// kKeyLength, zero past its end. Reads 8 bytes at p.
inline std::uint64_t first_bytes(const unsigned char* p, std::size_t length) {
  std::uint64_t head;
  std::memcpy(&head, p, sizeof head);
  return head & kLeadingBytes[length];
}

// Where a memo of 2^bits slots keeps what it knows of a string, by its first bytes and length.
inline std::size_t memo_slot(std::uint64_t head, std::uint32_t length, unsigned bits,
                             std::uint64_t multiplier) {
  return std::size_t(((head ^ length) * multiplier) >> (64 - bits));
}

// What a memo knows a whole tag (one that ends in '>') by: its first bytes and its length, up
// to kKeyLength.
struct TagKey {
  std::uint64_t head;
  std::uint32_t length;
};

// The key of the tag of this length at p. Reads 8 bytes at p.
inline TagKey tag_key(const unsigned char* p, std::size_t length) {
  const auto key_length = static_cast<std::uint32_t>(length < kKeyLength ? length : kKeyLength);
  return {first_bytes(p, key_length), key_length};
}

// The slot where the memo keeps the rendering of tags with this key; it holds it if holds().
// Tags up to 8 bytes long differ in their first 8 bytes, zero past the end, if they differ in
// length: the head alone picks the slot.
inline TagRendering& slot_for(RenderMemo& memo, TagKey key) {
  return memo.slots[memo_slot(key.head, 0, RenderMemo::kSlotBits, memo.multiplier)];
}

inline bool holds(const TagRendering& slot, TagKey key) {
  return slot.length == key.length && slot.head == key.head;
}
// Whether the slot holds the rendering of tags with this key, kShortRendering bytes or fewer.
inline bool holds_short(const TagRendering& slot, TagKey key) {
  return slot.length == key.length && slot.short_head == key.head;
}
// The same for a tag whose '>' is among its first 8 bytes, the first '>' of its head: every
// tag the memo holds ends at its first '>', so a head alike tells the same length.
inline bool holds_short_by_head(const TagRendering& slot, TagKey key) {
  return slot.short_head == key.head;
}

// The rendering of the whole tag at p; render_tag's own for a tag whose kind was not met before.
inline const TagRendering& rendering_of(RenderMemo& memo, const unsigned char* p,
                                        std::size_t length) {
  const TagKey key = tag_key(p, length);
  TagRendering& slot = slot_for(memo, key);
  if (!holds(slot, key)) {
    render_into(memo, slot, {reinterpret_cast<const char*>(p), length}, key.head, key.length);
  }
  return slot;
}

// Text between two stops this short is copied a whole block at a time.
constexpr std::size_t kShortCopy = 8 * kBlock;
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

// What a conversion reads and writes.
struct Streams {
  InStream& in;
  OutStream& text;
  OutStream& tags;
  OutStream& console;
};

// The bits set in a word, where the processor may have no instruction that counts them.
constexpr unsigned count_ones(std::uint64_t bits) {
  bits -= bits >> 1 & 0x5555555555555555;
  bits = (bits & 0x3333333333333333) + (bits >> 2 & 0x3333333333333333);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0F;
  return unsigned((bits * 0x0101010101010101) >> 56);
}

// The bits set in a mask, by the masks' own count if they have one.
template <typename Masks>
inline unsigned count_bits(std::uint64_t bits) {
  if constexpr (requires { Masks::count(bits); }) {
    return Masks::count(bits);
  } else {
    return unsigned(std::popcount(bits));
  }
}

// The length of the tag at p if its '>' is among its first 8 bytes, else 0, by the masks' own
// test if they have one. Reads 8 bytes at p.
template <typename Masks>
inline std::size_t short_tag_length(const unsigned char* p) {
  if constexpr (requires { Masks::short_tag_length(p); }) {
    return Masks::short_tag_length(p);
  } else {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const std::uint64_t ends = bytes_equal(word, '>');
    if (ends == 0) return 0;
    const int bits = std::endian::native == std::endian::little ? std::countr_zero(ends)
                                                                : std::countl_zero(ends);
    return std::size_t(bits) / 8 + 1;
  }
}

// Packs the bytes of a spaced block (readable twice a block long) whose bits are set in keep
// by one copy of a whole block for each run of them.
template <typename Masks>
inline unsigned char* pack_runs(unsigned char* out, const unsigned char* spaced,
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

// For the processors that shuffle 16 bytes by 16 indexes (little-endian): for the mask of
// either half of the 16, the indexes that gather the bytes it keeps, in order, to the front of
// the half, index n of the word for byte n; 0x80 gives a zero. And how many the mask keeps.
// The two halves' tables are apart, so that each is reached from an address of its own.
constexpr std::array<std::uint64_t, 256> pack_shuffles(unsigned half) {
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

// What one block of the input buffer is classified into (below).
struct BlockRow;

// The bytes of an input buffer to classify, and where their rows and packed bytes go.
struct Buffer {
  const unsigned char* bytes;
  std::size_t size;
  BlockRow* rows;
  unsigned char* packed;
};

// Each kind of masks has its scan's name, says whether this machine can run it, converts a pass
// (its whole conversion built for its processor) and classifies a buffer, and knows how best to
// copy a whole block and a short tag. Classifying a block also keeps it with each whitespace byte
// made a space, and pack writes out the bytes of that spaced block that a mask keeps, in order, and
// returns their end; it may write up to two blocks past out. Masks for processors that may have no
// instruction that counts bits say how to.
struct PortableMasks {
  static constexpr std::string_view kName = "portable";
  static bool supported() { return true; }
  [[gnu::flatten]] static void convert(const Streams& streams);
  [[gnu::noinline, gnu::flatten]] static void classify_buffer(const Buffer& buffer);
  static void copy(unsigned char* to, const unsigned char* from) { std::memcpy(to, from, kBlock); }
  static void copy_tag(unsigned char* to, const unsigned char* from) {
    std::memcpy(to, from, kShortTag);
  }
  unsigned char* pack(unsigned char* out, std::uint64_t keep) const {
    return pack_runs<PortableMasks>(out, spaced, keep);
  }
#if SKRIVEL_X86
  static unsigned count(std::uint64_t bits) {
    return count_ones(bits);
  }
#endif
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
  [[gnu::flatten, gnu::target("sse2")]] static void convert(const Streams& streams);
  [[gnu::noinline, gnu::flatten, gnu::target("sse2")]] static void classify_buffer(
      const Buffer& buffer);
  [[gnu::target("sse2")]] Sse2Masks() { fill(c); }
  static void copy(unsigned char* to, const unsigned char* from) { std::memcpy(to, from, kBlock); }
  static void copy_tag(unsigned char* to, const unsigned char* from) {
    std::memcpy(to, from, kShortTag);
  }
  unsigned char* pack(unsigned char* out, std::uint64_t keep) const {
    return pack_runs<Sse2Masks>(out, spaced, keep);
  }
  static unsigned count(std::uint64_t bits) { return count_ones(bits); }
  [[gnu::target("sse2")]] static std::size_t short_tag_length(const unsigned char* p) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    const auto ends = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('>'))));
    return ends == 0 ? 0 : std::size_t(unsigned(std::countr_zero(ends)) + 1);
  }
  [[gnu::target("sse2")]] static std::size_t short_name_length(const unsigned char* p) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    const __m128i ends = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(';')),
                                                   _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '))),
                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8(char(kCR))));
    return std::size_t(std::countr_zero(unsigned(_mm_movemask_epi8(ends)) | 1u << 8));
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
  // The AVX2 code is built for BMI, BMI2 and POPCNT as well, which a virtual machine may hide
  // even where it shows AVX2.
  static bool supported() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  }
  [[gnu::flatten, gnu::target("avx2,bmi,bmi2,popcnt")]] static void convert(const Streams& streams);
  [[gnu::noinline, gnu::flatten, gnu::target("avx2,bmi,bmi2,popcnt")]] static void classify_buffer(
      const Buffer& buffer);
  [[gnu::target("avx2")]] Avx2Masks() : spaced{} { fill(c); }
  [[gnu::target("avx2")]] static std::size_t short_tag_length(const unsigned char* p) {
    return Sse2Masks::short_tag_length(p);
  }
  // Each byte that ends an entity name is the one of its low 4 bits here, and no other byte is
  // the one of its own: one shuffle and one comparison find them.
  [[gnu::target("avx2")]] static std::size_t short_name_length(const unsigned char* p) {
    const __m128i ends_by_low_bits = _mm_setr_epi8(' ', -128, -128, -128, -128, -128, -128, -128,
                                                   -128, -128, -128, ';', -128, kCR, -128, -128);
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    const __m128i ends = _mm_cmpeq_epi8(_mm_shuffle_epi8(ends_by_low_bits, bytes), bytes);
    return std::size_t(std::countr_zero(unsigned(_mm_movemask_epi8(ends)) | 1u << 8));
  }
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
  // Each 16 bytes are packed by one shuffle, its two halves each by its mask's indexes.
  [[gnu::target("avx2")]] static unsigned char* pack_lane(unsigned char* out, __m128i lane,
                                                          const unsigned char* keep) {
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
  [[gnu::target("avx2")]] unsigned char* pack(unsigned char* out, const std::uint64_t& keep) const {
    // Byte i of the mask, for bytes 8i to 8i + 7, read from memory: here that takes g++ fewer
    // instructions than a copy of the mask does; on ARM the copy takes fewer.
    const auto* const bytes = reinterpret_cast<const unsigned char*>(&keep);
    out = pack_lane(out, _mm256_castsi256_si128(spaced[0]), bytes);
    out = pack_lane(out, _mm256_extracti128_si256(spaced[0], 1), bytes + 2);
    out = pack_lane(out, _mm256_castsi256_si128(spaced[1]), bytes + 4);
    return pack_lane(out, _mm256_extracti128_si256(spaced[1], 1), bytes + 6);
  }
  __m256i spaced[2];

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
      spaced[i / 32] = _mm256_blendv_epi8(bytes, c.spaces, breaks);
      m.special |= std::uint64_t(unsigned(_mm256_movemask_epi8(special))) << i;
      m.white |= std::uint64_t(unsigned(_mm256_movemask_epi8(white))) << i;
      m.tag_end |= std::uint64_t(unsigned(_mm256_movemask_epi8(tag_end))) << i;
    }
    return m;
  }
};

#if defined(__x86_64__)
#define SKRIVEL_AVX512 1
// One comparison for each class covers the whole block, and gives its mask directly; the bytes
// kept are packed by one compress.
struct Avx512Masks {
  __m512i spaced;

  static constexpr std::string_view kName = "avx512";
  static bool supported() {
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") &&
           Avx2Masks::supported();
  }
  [[gnu::flatten, gnu::target("avx512bw,avx512vbmi2,avx2,bmi,bmi2,popcnt")]] static void convert(
      const Streams& streams);
  [[gnu::noinline, gnu::flatten,
    gnu::target("avx512bw,avx512vbmi2,avx2,bmi,bmi2,popcnt")]] static void
  classify_buffer(const Buffer& buffer);
  [[gnu::target("avx2")]] static void copy_tag(unsigned char* to, const unsigned char* from) {
    Avx2Masks::copy_tag(to, from);
  }
  [[gnu::target("avx512bw")]] Avx512Masks() : spaced(_mm512_setzero_si512()) {}
  [[gnu::target("avx2")]] static std::size_t short_tag_length(const unsigned char* p) {
    return Sse2Masks::short_tag_length(p);
  }
  [[gnu::target("avx2")]] static std::size_t short_name_length(const unsigned char* p) {
    return Avx2Masks::short_name_length(p);
  }
  [[gnu::target("avx512bw")]] static void copy(unsigned char* to, const unsigned char* from) {
    _mm512_storeu_si512(to, _mm512_loadu_si512(from));
  }
  [[gnu::target("avx512bw,avx512vbmi2,popcnt")]] unsigned char* pack(unsigned char* out,
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
  [[gnu::flatten]] static void convert(const Streams& streams);
  [[gnu::noinline, gnu::flatten]] static void classify_buffer(const Buffer& buffer);
  static void copy(unsigned char* to, const unsigned char* from) { std::memcpy(to, from, kBlock); }
  static void copy_tag(unsigned char* to, const unsigned char* from) {
    std::memcpy(to, from, kShortTag);
  }
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
    return bits == 0 ? 8 : std::size_t(std::countr_zero(bits)) / 8;
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
      out = pack_lane(out, spaced[k], bytes + 2 * k);
    return out;
  }
  uint8x16_t spaced[4] = {};

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
      spaced[k] = vbslq_u8(breaks, vdupq_n_u8(' '), bytes);
    }
    return {gather_bits(special[0], special[1], special[2], special[3]),
            gather_bits(white[0], white[1], white[2], white[3]),
            gather_bits(tag_end[0], tag_end[1], tag_end[2], tag_end[3])};
  }
};
#endif

// What a pass knows of one block of the input buffer, classified once when the buffer is filled.
struct alignas(kBlock) BlockRow {
  // Bytes past the end of the buffer have no bits, but for the end itself, which is special.
  std::uint64_t white;
  std::uint64_t tag_end;
  std::uint64_t marks;  // special bytes and '>': a tag ends at the first after its '<' if a '>'
  std::uint64_t stops;  // '<', '&' and the end of the buffer: the bytes a copy stops at
  std::uint64_t keep;   // the bytes a copy keeps: all but the second and later of a whitespace run
  const unsigned char* packed;  // where the block's kept bytes begin in the packed buffer
};

// Classifies the buffer's bytes into rows, one for each block and one more, the last one partly
// or wholly past the end, which holds the stop at the end of the buffer; and packs the bytes
// each block keeps, whitespace as spaces, one block after another. Each kind of masks does it
// in a function of its own, out of the way of the conversion's registers.
template <typename Masks>
inline void classify_rows(const Buffer& buffer) {
  Masks masks;
  BlockRow* row = buffer.rows;
  const unsigned char* at = buffer.bytes;
  std::size_t size = buffer.size;
  unsigned char* out = buffer.packed;
  std::uint64_t white_before = 0;  // the block before's whitespace
  for (;; ++row, at += kBlock, size -= kBlock) {
    BlockMasks m = masks.classify(at);
    // A copy keeps the first byte of each whitespace run, as a space, and drops the rest, in
    // this block or the next. A run that follows markup, or begins the buffer, is dealt with
    // on its own.
    std::uint64_t keep = ~m.white | (m.white & ~(m.white << 1 | white_before >> (kBlock - 1)));
    if (size < kBlock) {
      const std::uint64_t end = std::uint64_t{1} << size;
      m.special = (m.special & (end - 1)) | end;
      m.white &= end - 1;
      m.tag_end &= end - 1;
      keep &= end - 1;
    }
    row->white = m.white;
    row->tag_end = m.tag_end;
    row->marks = m.special | m.tag_end;
    row->stops = m.special & ~m.white;
    row->keep = keep;
    row->packed = out;
    out = masks.pack(out, row->keep);
    if (size < kBlock) return;
    white_before = m.white;
  }
}

// Replacements of the entity names met so far, by the name's first 8 bytes, its length and
// what ends it: a whole name of up to kEntityHead bytes.
constexpr std::size_t kEntityHead = 8;
static_assert(kEntityHead <= kKeyLength, "first_bytes reads a name's head");
struct EntityMemo {
  struct Slot {
    std::uint16_t length;       // the key's length; 0: nothing remembered
    std::uint16_t report_size;  // for a name not in the table, the size of its console line's end
                                // in bytes; 0: the line is report_entity's to write
    std::uint32_t size;  // of the replacement; kNotInTable, or kNotCopied if it has a line break
    std::uint64_t head;
    // The replacement, or the end of the name's console line as the console stores it: from
    // the name on.
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

// Where the memo keeps what it knows of the name of this size, up to kEntityHead, at name, and
// the name's key; the slot holds the name if its key is the slot's. A name ended by a space has
// a length of its own, past any that a ';' gives.
struct EntityKey {
  std::uint64_t head;
  std::uint16_t length;  // the name's length + 1, and kEntityHead + 1 more if a space ends it
};
inline EntityKey entity_key(const unsigned char* name, std::size_t size, bool ended_by_space) {
  return {first_bytes(name, size),
          static_cast<std::uint16_t>(size + 1 + (ended_by_space ? kEntityHead + 1 : 0))};
}
inline bool holds(const EntityMemo::Slot& slot, EntityKey key) {
  return slot.length == key.length && slot.head == key.head;
}
// A name is kept in either slot of a pair, so that two names met often cannot keep taking each
// other's place: the first until it is taken, and then the second. This is the slot that holds
// the name, if one does, or else the one to keep it in.
inline EntityMemo::Slot& slot_for(EntityMemo& memo, EntityKey key) {
  const std::size_t index = memo_slot(key.head, key.length, EntityMemo::kSlotBits, kMemoMultiplier);
  EntityMemo::Slot& first = memo.slots[index];
  return holds(first, key) || first.length == 0 ? first : memo.slots[index ^ 1];
}
constexpr std::uint32_t kNotInTable = ~std::uint32_t{0};
constexpr std::uint32_t kNotCopied = kNotInTable - 1;

// The ends of an entity name: ';' and the space end it, and a CR may be half of a CR LF.
constexpr auto kEndsName = [] {
  std::array<bool, 256> ends{};
  ends[';'] = ends[' '] = ends[kCR] = true;
  return ends;
}();

// Where the first end of the entity name at p lies among its first kEntityHead bytes, or
// kEntityHead if none does, by the masks' own test if they have one. Reads 8 bytes at p.
template <typename Masks>
inline std::size_t short_name_length(const unsigned char* p) {
  static_assert(kEntityHead == 8, "the masks' tests look at 8 bytes");
  if constexpr (requires { Masks::short_name_length(p); }) {
    return Masks::short_name_length(p);
  } else {
    std::size_t size = 0;
    while (size < kEntityHead && !kEndsName[p[size]])
      ++size;
    return size;
  }
}

// What one pass over the input holds: its streams, what the slow paths read into, the memos,
// and the rows and packed bytes of the buffer being converted.
struct Pass {
  // Takes the streams; the rest starts as each member's type has it, with no bytes cleared
  // that are written before they are read.
  explicit Pass(const Streams& streams)
      : in(streams.in), text(streams.text), tags(streams.tags), console(streams.console) {}
  InStream& in;
  OutStream& text;
  OutStream& tags;
  OutStream& console;
  TagBuffer tag;        // a tag read by read_tag
  EntityBuffer entity;  // an entity name read by read_entity
  RenderMemo memo;
  EntityMemo entities;
  // The input buffer's blocks from `from` on, classified when refill had filled it `fills`
  // times: a slow path that refills it leaves its rows out of date.
  std::unique_ptr<BlockRow[]> rows;
  std::unique_ptr<unsigned char[]> packed;
  std::size_t from = 0;
  std::size_t fills = 0;
  // Where the conversion has come to, from the first row's first byte, and what space_run,
  // as the byte loop has it, is there.
  std::size_t at = 0;
  int space_run = 0;
};

static_assert(kBeforeName.find('\n') == std::string_view::npos, "stored as it stands");

// Keeps the end of the console line of a name not in the table, from the name on, as the console
// stores it, where report_entity would store the whole line as it stands: on a console that is
// batched and no terminal, where put_name writes a name as put_string does.
void keep_report(EntityMemo::Slot& slot, std::string_view name, bool ended_by_space,
                 const OutStream& console) {
  if (!console.batched || console.terminal) return;
  OutStream end;
  open_memory_output(end, nullptr, kLeastOutputBuffer);
  end.crlf = console.crlf;
  put_string(end, name);
  if (ended_by_space) put_string(end, "& ");
  put_string(end, kAfterName);
  if (end.len > sizeof slot.bytes) return;
  std::memcpy(slot.bytes, end.buffer.get(), end.len);
  slot.report_size = static_cast<std::uint16_t>(end.len);
}

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
  // A name ended by a space carries "& " behind it: only "& " is in the table.
  const bool ended_by_space = *q == ' ';
  const std::string_view looked_up = ended_by_space && name.empty() ? "& " : name;
  if (name.size() > kEntityHead) {
    if (ended_by_space) {
      report_entity(name, pass.console, true);
    } else {
      decode_entity(name, pass.text, pass.console);
    }
    return q + 1;
  }
  const EntityKey key = entity_key(at + 1, name.size(), ended_by_space);
  EntityMemo::Slot& slot = slot_for(pass.entities, key);
  if (!holds(slot, key)) {
    const std::string_view* replacement =
        ended_by_space && !name.empty() ? nullptr : find_entity(looked_up);
    slot.head = key.head;
    slot.length = key.length;
    slot.size = replacement == nullptr ? kNotInTable : kNotCopied;
    slot.report_size = 0;
    // Stored as it stands, so a line break in it would need the stream's translation.
    if (replacement != nullptr && replacement->size() <= sizeof slot.bytes &&
        replacement->find('\n') == std::string_view::npos) {
      slot.size = static_cast<std::uint32_t>(replacement->size());
      std::memcpy(slot.bytes, replacement->data(), replacement->size());
    }
    if (replacement == nullptr) keep_report(slot, name, ended_by_space, pass.console);
  }
  OutStream& text = pass.text;
  if (slot.size == kNotInTable) {
    report_entity(name, pass.console, ended_by_space);
  } else if (slot.size == kNotCopied) {
    decode_entity(looked_up, text, pass.console);
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

// Whether byte q of a buffer, from its first row's first byte, is whitespace.
inline bool is_white(const BlockRow* rows, std::size_t q) {
  return (rows[q / kBlock].white >> (q % kBlock) & 1) != 0;
}

// What the fast path left for: room in the text file's buffer, a copy too long for it, or a
// stop it cannot convert.
enum class Left { kRoom, kLongCopy, kStop };

// The conversion by blocks, with its memos and rows in the frame of the scan's own function.
template <typename Masks>
inline void convert_by_blocks(const Streams& streams) {
  Pass pass(streams);
  open_render_memo(pass.memo, streams.text.crlf);
  InStream& in = pass.in;
  OutStream& text = pass.text;
  OutStream& tags = pass.tags;
  // A row for each block a refill can fill, and one more; and room for their bytes, and for
  // what pack writes past them.
  const std::size_t blocks = (1 + in.refill_size) / kBlock + 1;
  pass.rows.reset(new BlockRow[blocks]);
  pass.packed.reset(new unsigned char[(blocks + 2) * kBlock]);
  pass.fills = in.fills - 1;  // none classified yet
  // The fast path writes the text file's buffer through out, and the tag file's through
  // tag_out. A copy of up to kShortCopy bytes, whole blocks, a rendering of up to kLongRendering
  // bytes and a space are written past out before it is checked again.
  constexpr std::size_t kRoom = kShortCopy + kBlock + kLongRendering + 1;
  static_assert(kLeastOutputBuffer > 2 * kRoom);
  // A tag up to kShortTag long goes to the tag file as a whole 32 bytes, or one up to a block
  // long as a whole block, and its line end after it as 4 bytes, CR LF and two more that the
  // next line takes, while tag_out is below tag_room; never where the tag file's line ends are
  // LF alone.
  static constexpr unsigned char kLineEnd[4] = {kCR, kLF};
  const std::size_t out_limit_at = text.capacity - kRoom;
  const std::size_t tag_room_at = tags.crlf ? tags.capacity - kBlock - sizeof kLineEnd + 1 : 0;
  // Where the tag at `at` of this length goes to the tag file, from tag_out on, if it can.
  const auto log_short_tag = [](unsigned char*& tag_out, const unsigned char* at,
                                std::size_t length, bool up_to_a_block) {
    if (up_to_a_block) {
      Masks::copy(tag_out, at);
    } else {
      Masks::copy_tag(tag_out, at);
    }
    std::memcpy(tag_out + length, kLineEnd, sizeof kLineEnd);
    tag_out += length + 2;
  };
  // Where the bytes kept before byte q, from the first row's first byte, begin in packed.
  const auto packed_at = [&pass](std::size_t q) {
    const BlockRow* const row = &pass.rows[q / kBlock];
    return row->packed + count_bits<Masks>(row->keep & ((std::uint64_t{1} << q % kBlock) - 1));
  };

  // Each turn of this loop starts at in.pos; a slow path leaves the inner loop to start afresh.
  while (in.pos < in.len || refill(in)) {
    if (pass.fills != in.fills) {
      pass.fills = in.fills;
      pass.from = in.pos;
      Masks::classify_buffer(
          {in.buffer.get() + in.pos, in.len - in.pos, pass.rows.get(), pass.packed.get()});
    }
    // Offsets from the first row's first byte: pass.at is where the conversion has come to. The
    // byte at the end of the buffer is 0, and no whitespace.
    pass.at = in.pos - pass.from;
    for (;;) {
      Left left;
      std::size_t q;       // the next stop
      std::size_t length;  // of the tag at the stop, if it ends in the buffer with no special byte
      {
        // The fast path, which makes no call, so that what it works with stays in registers:
        // taken from the pass and the streams here, and given back when it leaves, so that none
        // of it lives across a call. It copies up to each stop and converts the tags and
        // entities that a memo knows. It leaves where out needs room, before a copy too long
        // for it, or at a stop it cannot convert, with p at the stop and space_run as the copy
        // left it.
        const unsigned char* const base = in.buffer.get() + pass.from;
        const BlockRow* const rows = pass.rows.get();
        std::size_t p = pass.at;
        int space_run = pass.space_run;
        unsigned char* out = text.buffer.get() + text.len;
        unsigned char* const out_limit = text.buffer.get() + out_limit_at;
        unsigned char* tag_out = tags.buffer.get() + tags.len;
        unsigned char* const tag_room = tags.buffer.get() + tag_room_at;
        // The whitespace bytes from `at` on, in its block, as bits from bit 0.
        const auto white_from = [rows](std::size_t at) {
          return rows[at / kBlock].white >> at % kBlock;
        };
        // Where markup left off or the buffer begins: whitespace at p gives what space_run tells.
        const auto after_markup = [&] {
          std::uint64_t run = white_from(p);
          if ((run & 1) == 0) return;
          if (space_run < 0) {
            // Only the first whitespace byte vanishes, a CR LF as one, as get_byte reads it.
            p += base[p] == kCR && base[p + 1] == kLF ? 2 : 1;
            ++space_run;
            run = white_from(p);
            if ((run & 1) == 0) return;
          }
          // The run goes to its end, or to the end of its block: the rest of it is not kept.
          *out = ' ';
          out += space_run == 0;
          space_run = 1;
          p += std::size_t(std::countr_one(run));
        };
        // The row of byte q, and the offset of a row's first byte.
        const auto row_of = [rows](std::size_t at) { return rows + at / kBlock; };
        const auto offset_of = [rows](const BlockRow* row) {
          return std::size_t(row - rows) * kBlock;
        };

        // Whitespace where the fast path begins is where markup left off or the buffer begins,
        // or the rest of a run already given its space.
        after_markup();
        q = p;
        length = 0;
        for (;;) {
          if (out > out_limit) {
            left = Left::kRoom;
            q = p;  // so that no stop found before lives on to here
            break;
          }
          left = Left::kStop;
          if (base[p] == '<') {  // a tag where markup or whitespace left off: nothing to copy
            q = p;
          } else {
            const BlockRow* row = row_of(p);
            std::uint64_t stop = std::uint64_t{1} << p % kBlock;
            const unsigned char* const from =
                row->packed + count_bits<Masks>(row->keep & (stop - 1));
            std::uint64_t stops = row->stops & -stop;
            while (stops == 0)
              stops = (++row)->stops;
            stop = stops & -stops;
            q = offset_of(row) + std::size_t(std::countr_zero(stop));
            const auto kept =
                std::size_t(row->packed + count_bits<Masks>(row->keep & (stop - 1)) - from);
            if (kept > kShortCopy) {
              left = Left::kLongCopy;
              break;
            }
            std::size_t i = 0;
            do {
              Masks::copy(out + i, from + i);
              i += kBlock;
            } while (i < kept);
            out += kept;
            if (base[q] != '<') {
              if (q > p) space_run = is_white(rows, q - 1);
              p = q;
              if (base[q] != '&') break;
              // A short name ended by ';' or a space that the memo holds: its replacement, with
              // no line break, or its console line, where the memo holds that.
              const unsigned char* const name = base + q + 1;
              const std::size_t size = short_name_length<Masks>(name);
              if (name[size] != ';' && name[size] != ' ') break;
              const EntityKey key = entity_key(name, size, name[size] == ' ');
              const EntityMemo::Slot& slot = slot_for(pass.entities, key);
              if (!holds(slot, key)) break;
              if (slot.size < kNotCopied) {
                std::memcpy(out, slot.bytes, sizeof slot.bytes);
                out += slot.size;
              } else {
                OutStream& console = pass.console;
                if (slot.size != kNotInTable || slot.report_size == 0 ||
                    console.capacity - console.len < kBeforeName.size() + sizeof slot.bytes) {
                  break;
                }
                unsigned char* const line = console.buffer.get() + console.len;
                std::memcpy(line, kBeforeName.data(), kBeforeName.size());
                std::memcpy(line + kBeforeName.size(), slot.bytes, sizeof slot.bytes);
                console.len += kBeforeName.size() + slot.report_size;
              }
              p = q + size + 2;
              after_markup();
              continue;
            }
            p = q;
          }
          const unsigned char* const at = base + q;
          // The tag at q, known to the memo, of this length: its line in the tag file, its
          // rendering, which may be long, and what follows it.
          const auto convert_known_tag = [&](std::size_t tag_length, bool up_to_a_block,
                                             const TagRendering& rendering, bool long_rendering) {
            log_short_tag(tag_out, at, tag_length, up_to_a_block);
            if (long_rendering) {
              Masks::copy(out, rendering.bytes);
              Masks::copy(out + kBlock, rendering.bytes + kBlock);
            } else {
              std::memcpy(out, rendering.bytes, kShortRendering);
            }
            out += rendering.size;
            space_run = rendering.change;
            p = q + tag_length;
            after_markup();
          };
          // A tag whose '>' is among its first 8 bytes is known by those bytes alone if the memo
          // holds it: it holds only tags found, as below, to have no special byte before '>'.
          if (const std::size_t first_end = short_tag_length<Masks>(at);
              first_end != 0 && tag_out < tag_room) {
            const TagKey key = tag_key(at, first_end);
            const TagRendering& rendering = slot_for(pass.memo, key);
            if (holds_short_by_head(rendering, key)) {
              convert_known_tag(first_end, false, rendering, false);
              continue;
            }
          }
          // The tag's '>', in this block or a later one, with no special byte before it: the
          // end of the buffer is special.
          const BlockRow* row = row_of(q);
          std::uint64_t marks = row->marks & ~std::uint64_t{1} << q % kBlock;  // after q
          while (marks == 0)
            marks = (++row)->marks;
          const std::uint64_t end = marks & -marks;
          if ((row->tag_end & end) == 0) break;
          length = offset_of(row) + std::size_t(std::countr_zero(end)) + 1 - q;
          if (length > kBlock || tag_out >= tag_room) break;
          const TagKey key = tag_key(at, length);
          const TagRendering& rendering = slot_for(pass.memo, key);
          if (holds_short(rendering, key)) {
            convert_known_tag(length, true, rendering, false);
          } else if (holds(rendering, key) && rendering.size <= kLongRendering) {
            convert_known_tag(length, true, rendering, true);
          } else {
            break;
          }
          length = 0;
        }

        pass.at = p;
        pass.space_run = space_run;
        text.len = std::size_t(out - text.buffer.get());
        tags.len = std::size_t(tag_out - tags.buffer.get());
      }

      // What the fast path left, with pass.at at the stop.
      if (left == Left::kRoom) {
        flush(text);
        continue;
      }
      if (left == Left::kLongCopy) {
        put_raw(text, packed_at(pass.at), std::size_t(packed_at(q) - packed_at(pass.at)));
        pass.space_run = is_white(pass.rows.get(), q - 1);
        pass.at = q;
        continue;
      }
      const unsigned char* const base = in.buffer.get() + pass.from;
      const unsigned char* const at = base + pass.at;
      if (*at == '<') {
        if (length == 0) {  // a tag to read with read_tag
          in.pos = pass.from + pass.at + 1;
          pass.space_run = convert_tag_slowly(pass);
          break;
        }
        if (length <= kBlock && tags.len < tag_room_at) {
          unsigned char* tag_out = tags.buffer.get() + tags.len;
          log_short_tag(tag_out, at, length, true);
          tags.len = std::size_t(tag_out - tags.buffer.get());
        } else {
          log_tag({reinterpret_cast<const char*>(at), length}, tags);
        }
        const TagRendering& rendering = rendering_of(pass.memo, at, length);
        const std::size_t size = rendering.size;
        pass.space_run = rendering.change;
        if (size <= kShortRendering) {
          std::memcpy(text.buffer.get() + text.len, rendering.bytes, kShortRendering);
        } else {  // a rule of underscores, say: make room for it
          if (text.capacity - text.len < size + kRoom) flush(text);
          std::memcpy(text.buffer.get() + text.len, rendering.bytes, size);
        }
        text.len += size;
        pass.at += length;
      } else if (*at == '&') {
        const unsigned char* const after = convert_entity(pass, at, in.buffer.get() + in.len);
        if (after == nullptr) {
          in.pos = pass.from + pass.at + 1;
          convert_entity_slowly(pass);
          break;
        }
        pass.at = std::size_t(after - base);
      } else {  // the end of the buffer
        in.pos = in.len;
        break;
      }
    }
  }
}

// Each scan has the whole conversion inlined into one function, and the classifying of a buffer
// into another, both built for its processor.
[[gnu::flatten]] void PortableMasks::convert(const Streams& streams) {
  convert_by_blocks<PortableMasks>(streams);
}
[[gnu::noinline, gnu::flatten]] void PortableMasks::classify_buffer(const Buffer& buffer) {
  classify_rows<PortableMasks>(buffer);
}

#if SKRIVEL_NEON
[[gnu::flatten]] void NeonMasks::convert(const Streams& streams) {
  convert_by_blocks<NeonMasks>(streams);
}
[[gnu::noinline, gnu::flatten]] void NeonMasks::classify_buffer(const Buffer& buffer) {
  classify_rows<NeonMasks>(buffer);
}
#endif

#if SKRIVEL_X86
[[gnu::flatten, gnu::target("sse2")]] void Sse2Masks::convert(const Streams& streams) {
  convert_by_blocks<Sse2Masks>(streams);
}
[[gnu::noinline, gnu::flatten, gnu::target("sse2")]] void Sse2Masks::classify_buffer(
    const Buffer& buffer) {
  classify_rows<Sse2Masks>(buffer);
}

[[gnu::flatten, gnu::target("avx2,bmi,bmi2,popcnt")]] void Avx2Masks::convert(
    const Streams& streams) {
  convert_by_blocks<Avx2Masks>(streams);
}
[[gnu::noinline, gnu::flatten, gnu::target("avx2,bmi,bmi2,popcnt")]] void
Avx2Masks::classify_buffer(const Buffer& buffer) {
  classify_rows<Avx2Masks>(buffer);
}
#endif

#if SKRIVEL_AVX512
[[gnu::flatten, gnu::target("avx512bw,avx512vbmi2,avx2,bmi,bmi2,popcnt")]] void
Avx512Masks::convert(const Streams& streams) {
  convert_by_blocks<Avx512Masks>(streams);
}
[[gnu::noinline, gnu::flatten, gnu::target("avx512bw,avx512vbmi2,avx2,bmi,bmi2,popcnt")]] void
Avx512Masks::classify_buffer(const Buffer& buffer) {
  classify_rows<Avx512Masks>(buffer);
}
#endif

// The byte loop, then a scan for each kind of masks, slowest first.
template <typename... Masks>
struct ScanTable {
  static inline const Scan rows[] = {{"byte_loop", true}, {Masks::kName, Masks::supported()}...};

  // Converts with the masks of rows[index], index 1 or more.
  static void convert(std::size_t index, const Streams& streams) {
    std::size_t row = 0;
    (void)((++row == index && (Masks::convert(streams), true)) || ...);
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
  Scans::convert(index, {in, text, tags, console});
}
