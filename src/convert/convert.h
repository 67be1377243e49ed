// The conversion engine: one pass over an HTML input that writes the text file and the tag file.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "platform/text_stream.h"

// The whitespace bytes: tab, LF, VT, FF, CR and space, whatever the locale.
inline constexpr bool is_space(int c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// Room kept for a tag and for an entity name. Neither ever grows: a longer one is written out
// as it is read.
inline constexpr std::size_t kTagBufferSize = 1000;
inline constexpr std::size_t kEntityBufferSize = 100;

// A tag's rendering depends only on its first kRenderingHead bytes and on its length counted up
// to kRenderingLength (tag_rules.cc proves it from the rule table), so a longer tag renders as
// its first kRenderingLength bytes do.
inline constexpr std::size_t kRenderingHead = 8;
inline constexpr std::size_t kRenderingLength = 10;

// The tag being read, from its '<'. It is held whole while it fits; past that, what is held goes
// to the tag file and only the first kRenderingLength bytes stay, for the rendering.
struct TagBuffer {
  char bytes[kTagBufferSize];
  std::size_t size = 0;  // bytes held
  bool spilled = false;  // bytes held after the first kRenderingLength are all that is not logged
};
static_assert(kTagBufferSize > kRenderingLength);

// The entity name being read, with "& " behind it if a space ended it. A name too long for the
// buffer cannot be in the table: its console line is begun, and the rest of the name goes there
// as it is read.
struct EntityBuffer {
  char bytes[kEntityBufferSize];
  std::size_t size = 0;   // bytes held
  bool reported = false;  // the name is being written to its console line instead
};

// How the input is converted. kByteByByte is the plain loop, one byte at a time through
// get_byte: the definition. The others convert whole blocks of the input buffer at a time and
// give the same result, byte for byte: kPortable on any machine, kSse2 and kAvx2 on x86
// processors that have them, kNeon on 64-bit ARM. kBest picks the fastest this machine has.
enum class Scan { kBest, kByteByByte, kPortable, kSse2, kAvx2, kNeon };

// The block scans this build can run on this machine, fastest last.
std::span<const Scan> block_scans();

// Converts the whole input: text to the text file, each tag to a line of the tag file, and a
// line on the console for each entity that cannot be converted. Leaves the streams open.
void convert_file(InStream& in, OutStream& text, OutStream& tags, OutStream& console,
                  Scan scan = Scan::kBest);

// convert_file by blocks, with one of the block scans.
void convert_blocks(InStream& in, OutStream& text, OutStream& tags, OutStream& console, Scan scan);

// Reads the rest of a tag, just after its '<', up to and including the first '>' or up to the
// end of the input, into tag. A tag too long to hold goes to the tag file as it is read.
void read_tag(TagBuffer& tag, InStream& in, OutStream& tags);

// What render_tag needs of the tag read: the whole tag, or the first bytes of a long one.
std::string_view tag_string(const TagBuffer& tag);

// Writes the tag as one line of the tag file (what read_tag has not written of it already).
void log_tag(const TagBuffer& tag, OutStream& tags);
void log_tag(std::string_view tag, OutStream& tags);

// Writes the tag's rendering to the text file and returns the new space_run.
int render_tag(std::string_view tag, OutStream& text);

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

void open_render_memo(RenderMemo& memo, bool crlf);
// Works out the rendering of a tag with render_tag and keeps it in slot.
void remember_rendering(RenderMemo& memo, TagRendering& slot, std::string_view tag,
                        std::uint64_t head, std::uint32_t length);

static_assert(kRenderingHead == sizeof(std::uint64_t), "a memo key's head is one 64-bit word");

// Indexed by a length up to 8: the bits of that many bytes of a 64-bit word read from memory.
inline constexpr auto kLeadingBytes = [] {
  std::array<std::uint64_t, 9> masks{};
  for (unsigned length = 0; length < 8; ++length) {
    const unsigned bits = 8 * length;
    masks[length] = std::endian::native == std::endian::little ? (std::uint64_t{1} << bits) - 1
                                                               : ~(~std::uint64_t{0} >> bits);
  }
  masks[8] = ~std::uint64_t{0};
  return masks;
}();

// The first 8 bytes of a string of this length at p (a tag, an entity name), zero past its end.
// Reads 8 bytes at p.
inline std::uint64_t first_bytes(const unsigned char* p, std::size_t length) {
  std::uint64_t head;
  std::memcpy(&head, p, sizeof head);
  return head & kLeadingBytes[length < 8 ? length : 8];
}

// Where a memo of 2^bits slots keeps what it knows of a string, by its first bytes and length.
inline std::size_t memo_slot(std::uint64_t head, std::uint32_t length, unsigned bits) {
  return std::size_t(((head ^ length) * 0x9E3779B97F4A7C15ULL) >> (64 - bits));
}

// The rendering of the whole tag (one that ends in '>') at p; render_tag's own for a tag whose
// kind was not met before. Reads 8 bytes at p.
inline const TagRendering& remembered_rendering(RenderMemo& memo, const unsigned char* p,
                                                std::size_t length) {
  const std::uint64_t head = first_bytes(p, length);
  const auto key_length =
      static_cast<std::uint32_t>(length < kRenderingLength ? length : kRenderingLength);
  TagRendering& slot = memo.slots[memo_slot(head, key_length, RenderMemo::kSlotBits)];
  if (slot.length != key_length || slot.head != head) {
    remember_rendering(memo, slot, {reinterpret_cast<const char*>(p), length}, head, key_length);
  }
  return slot;
}

// Reads an entity name after its '&' into name, up to a ';' or a space, or the end of the input.
// A name too long to be in the table goes to its console line as it is read.
void read_entity(EntityBuffer& name, InStream& in, OutStream& console);

// The replacement of an entity name in the table, or nullptr for a name not in it.
const std::string_view* find_entity(std::string_view name);

// Says on the console that the entity name is not in the table; a name that a space ended
// carries "& " behind it.
void report_entity(std::string_view name, OutStream& console, bool ended_by_space = false);

// Writes the entity's replacement to the text file, or reports the name on the console.
void decode_entity(std::string_view name, OutStream& text, OutStream& console);
void decode_entity(const EntityBuffer& name, OutStream& text, OutStream& console);
