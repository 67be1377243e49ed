// The block engine's memos: what render_tag gave for a tag alike, and what the entity table
// gave for a short name, so that the fast path converts a tag or an entity met before without
// a call. Included once, by block_scan.cc.
#pragma once

#include <algorithm>

#include "convert/convert.h"
#include "convert/scan/masks.h"

namespace {

// A rendering this short is copied as a whole 16 bytes: most are 0 to 4 bytes long. The fast
// path copies one up to kLongRendering long, a rule of underscores say, as a whole 128.
constexpr std::size_t kShortRendering = 16;
constexpr std::size_t kLongRendering = 128;
// What a memo multiplies a key by to pick its slot.
constexpr std::uint64_t kMemoMultiplier = 0x9E3779B97F4A7C15;
// A memo tells tags apart by all that their renderings depend on: their first kRenderingHead
// bytes and their length up to kRenderingLength. So links, images and comments of every length
// that begin alike are one key.
static_assert(kRenderingHead == sizeof(std::uint64_t),
              "a memo key's head is one 64-bit word: make TagKey::head as wide as kRenderingHead");
static_assert(kEntityHead <= kRenderingLength, "first_bytes reads a name's head");

// What render_tag writes for a tag, as stored in the text file, and returns.
struct TagRendering {
  std::uint64_t head;          // the tag's first kRenderingHead bytes, zero past its end
  std::uint64_t short_head;    // head again if size is at most kShortRendering; else 0, as no
                               // tag's head is, since it begins with '<'
  const unsigned char* bytes;  // in the memo's scratch: kLongRendering and 16 past the end readable
  std::uint32_t length;        // the tag's length, up to kRenderingLength; 0: nothing remembered
  std::uint16_t size;          // bytes written, CR LF for a line break
  std::int16_t change;         // what render_tag returns
};
static_assert(sizeof(TagRendering) <= 32, "two slots to a cache line");

// Renderings of the tags met so far: tags alike in their first kRenderingHead bytes and in their
// length up to kRenderingLength share one. Keyed so, even a page of varied tags has few kinds:
// 512 slots keep the renderings of both bench pages about as well as 1,024 did (on the varied
// page 230 worked out, against 227), and clearing them at the start is half the memory new to
// the run.
struct RenderMemo {
  static constexpr unsigned kSlotBits = 9;
  // Only a slot's length and short head need a value before the slot is used.
  RenderMemo() { forget(); }
  void forget() {
    for (TagRendering& slot : slots) {
      slot.length = 0;
      slot.short_head = 0;
    }
  }
  TagRendering slots[1 << kSlotBits];
  // kMemoMultiplier, read from here by each tag: on ARM that takes one instruction, where
  // building the constant anew, as the compiler would in the conversion's loop, takes four.
  std::uint64_t multiplier = kMemoMultiplier;
  OutStream* scratch = nullptr;  // where the renderings are written out, one after another
};

// Room for the renderings a memo keeps: a page has a few kinds of long ones.
constexpr std::size_t kRenderScratch = 16 * 1024;
static_assert(kRenderScratch <= 0xFFFF, "a rendering's size fits its slot");

// Starts the memo in this scratch, where the renderings go as the text file would store them.
void start_render_memo(RenderMemo& memo, OutStream& scratch, bool crlf) {
  memo.scratch = &scratch;
  scratch.len = 0;
  scratch.crlf = crlf;
}

// Works out the rendering of a tag with render_tag and keeps it in slot.
[[gnu::noinline]] void render_into(RenderMemo& memo, TagRendering& slot, std::string_view tag,
                                   std::uint64_t head, std::uint32_t length) {
  OutStream& scratch = *memo.scratch;
  // Renderings are only ever added; when the scratch buffer is full, everything is forgotten.
  // The buffer is never flushed, and kLongRendering bytes from the start of each rendering, and
  // 16 after its end, are always readable.
  if (scratch.capacity - scratch.len < kLongestRendering + kLongRendering) {
    memo.forget();
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
inline std::size_t memo_slot(std::uint64_t head, std::uint32_t length, unsigned bits,
                             std::uint64_t multiplier) {
  return std::size_t(((head ^ length) * multiplier) >> (64 - bits));
}

// What a memo knows a whole tag (one that ends in '>') by: its first bytes and its length, up
// to kRenderingLength.
struct TagKey {
  std::uint64_t head;
  std::uint32_t length;
};

// The key of the tag of this length at p. Reads 8 bytes at p.
inline TagKey tag_key(const unsigned char* p, std::size_t length) {
  const auto key_length = static_cast<std::uint32_t>(std::min(length, kRenderingLength));
  return {first_bytes(p, key_length), key_length};
}
// The same for a tag whose '>' is among its first 8 bytes, shorter than any length cut.
inline TagKey short_tag_key(const unsigned char* p, std::size_t length) {
  return {first_bytes(p, length), static_cast<std::uint32_t>(length)};
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

// Replacements of the entity names met so far, by the name's first 8 bytes, its length and
// what ends it: a whole name of up to kEntityHead bytes.
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
constexpr std::uint32_t kNotInTable = ~std::uint32_t{0};
constexpr std::uint32_t kNotCopied = kNotInTable - 1;

// What the memo knows a name of up to kEntityHead bytes by. A name ended by a space has a
// length of its own, past any that a ';' gives.
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

static_assert(kBeforeName.find('\n') == std::string_view::npos, "stored as it stands");

// Keeps the end of the console line of a name not in the table, from the name on, as the console
// stores it, where report_entity would store the whole line as it stands: on a console that is
// batched and no terminal, where put_name writes a name as put_string does. Takes no memory: a
// name here has at most kEntityHead bytes.
void keep_report(EntityMemo::Slot& slot, std::string_view name, bool ended_by_space,
                 const OutStream& console) {
  if (!console.batched || console.terminal) return;
  unsigned char end[2 * (kEntityHead + 2 + kAfterName.size())];  // each byte a CR LF at most
  std::size_t size = 0;
  const auto store = [&](std::string_view bytes) {
    for (const char c : bytes) {
      if (c == '\n' && console.crlf) end[size++] = kCR;
      end[size++] = static_cast<unsigned char>(c);
    }
  };
  store(name);
  if (ended_by_space) store("& ");
  store(kAfterName);
  if (size > sizeof slot.bytes) return;
  std::memcpy(slot.bytes, end, size);
  slot.report_size = static_cast<std::uint16_t>(size);
}

// Keeps in slot, under key, what the table gives for the name: its replacement as it stands
// where it has no line break and fits, or that it is not in the table, and then the end of its
// console line where the console takes it as it stands.
void remember_entity(EntityMemo::Slot& slot, EntityKey key, std::string_view name,
                     bool ended_by_space, const OutStream& console) {
  // A name ended by a space carries "& " behind it: only "& " is in the table.
  const std::string_view* replacement = !ended_by_space ? find_entity(name)
                                        : name.empty()  ? find_entity("& ")
                                                        : nullptr;
  slot.head = key.head;
  slot.length = key.length;
  slot.size = replacement == nullptr ? kNotInTable : kNotCopied;
  slot.report_size = 0;
  if (replacement == nullptr) {
    keep_report(slot, name, ended_by_space, console);
    return;
  }
  // Stored as it stands, so a line break in it would need the stream's translation.
  if (replacement->size() <= sizeof slot.bytes &&
      replacement->find('\n') == std::string_view::npos) {
    slot.size = static_cast<std::uint32_t>(replacement->size());
    std::memcpy(slot.bytes, replacement->data(), replacement->size());
  }
}

}  // namespace
