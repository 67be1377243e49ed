#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "convert/convert.h"

namespace {

enum ByteKind : unsigned char { kOrdinary, kWhitespace, kMarkup };

constexpr auto kByteKinds = [] {
  std::array<ByteKind, 256> kinds{};
  for (int c = 0; c < 256; ++c) {
    kinds[std::size_t(c)] = is_space(c) ? kWhitespace : c == '<' || c == '&' ? kMarkup : kOrdinary;
  }
  return kinds;
}();

// space_run counts whitespace since the last ordinary byte, but only its way up to 1 matters:
// one space is written when it reaches 1, and past 1 nothing changes, so it stops there.
inline bool count_space(int& space_run) {
  return space_run < 1 && ++space_run == 1;
}

#if defined(__SSE2__)
// One bit for each of the 16 bytes at p that the byte loop would not simply copy: '<', '&',
// whitespace other than a space, and a space after whitespace (for the first byte: after
// whitespace that space_run still counts, follows_space). Every other byte, a single space
// between words included, reaches the text file as it stands.
inline unsigned special_bytes(const unsigned char* p, bool follows_space) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Tab to CR: subtracting 9 leaves them at 0 to 4, unsigned, and every other byte above.
  const __m128i from_tab = _mm_sub_epi8(bytes, _mm_set1_epi8(0x09));
  const __m128i tab_to_cr =
      _mm_cmpeq_epi8(_mm_min_epu8(from_tab, _mm_set1_epi8(0x0D - 0x09)), from_tab);
  const __m128i space = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
  const __m128i markup = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('<')),
                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('&')));
  const auto spaces = static_cast<unsigned>(_mm_movemask_epi8(space));
  const auto others = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(tab_to_cr, markup)));
  const unsigned whitespace = spaces | others;  // markup too: nothing follows it here
  return others | (spaces & ((whitespace << 1) | unsigned{follows_space}));
}
#endif

// Converts from[0, count) into to, as the byte loop would, up to the first '<' or '&'. Each
// input byte gives at most one output byte, so to needs room for count. Returns how many input
// bytes it took; to is left after the last output byte.
std::size_t copy_run(const unsigned char* from, std::size_t count, unsigned char*& to,
                     int& space_run) {
  std::size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time. The bytes between special ones go out sixteen at a time too, and
  // only as many as belong count: the stores stay within to + count while i + 32 <= count.
  constexpr std::size_t kWidth = 16;
  while (i + 2 * kWidth <= count) {
    unsigned special = special_bytes(from + i, space_run != 0);
    for (std::size_t j = 0;;) {
      const std::size_t next = special == 0 ? kWidth : std::size_t(std::countr_zero(special));
      if (next > j) {
        std::memcpy(to, from + i + j, kWidth);
        to += next - j;
        space_run = from[i + next - 1] == ' ' ? 1 : 0;
        j = next;
      }
      if (j == kWidth) break;
      if (kByteKinds[from[i + j]] == kMarkup) return i + j;
      if (count_space(space_run)) *to++ = ' ';
      ++j;
      special &= special - 1;
    }
    i += kWidth;
  }
#endif
  for (; i < count; ++i) {
    const unsigned char c = from[i];
    const ByteKind kind = kByteKinds[c];
    if (kind == kOrdinary) {
      *to++ = c;
      space_run = 0;
    } else if (kind == kWhitespace) {
      if (count_space(space_run)) *to++ = ' ';
    } else {
      break;
    }
  }
  return i;
}

// Converts the text and whitespace waiting in the input buffer straight into the text file's
// buffer, up to the next tag or entity. Neither holds a line break, so nothing is translated.
void copy_text(InStream& in, OutStream& text, int& space_run) {
  while (in.pos < in.len) {
    const std::size_t count = std::min(in.len - in.pos, room(text));
    unsigned char* to = text.buffer.get() + text.len;
    const std::size_t taken = copy_run(in.buffer.get() + in.pos, count, to, space_run);
    in.pos += taken;
    text.len = std::size_t(to - text.buffer.get());
    if (taken < count) return;  // at a tag or an entity
  }
}

}  // namespace

void convert_file(InStream& in, OutStream& text, OutStream& tags, OutStream& console, Scan scan) {
  std::string tag;
  std::string entity;
  tag.reserve(kTagBufferSize);
  entity.reserve(kEntityBufferSize);
  // Whitespace met since the last ordinary byte. A tag sets it: to -1 so that the first
  // whitespace byte after the tag vanishes, to 1 or 2 so that all of it does.
  int space_run = 0;
  for (int c = get_byte(in); c != kEnd; c = get_byte(in)) {
    if (c == '<') {
      const std::string_view tag_string = read_tag(tag, in, scan);
      log_tag(tag_string, tags);
      space_run = render_tag(tag_string, text);
    } else if (c == '&') {
      read_entity(entity, in);
      decode_entity(entity, text, console);
    } else if (is_space(c)) {
      if (count_space(space_run)) put_byte(text, ' ');
    } else {
      put_byte(text, c);
      space_run = 0;
    }
    if (scan == Scan::kBulk) copy_text(in, text, space_run);
  }
}
