// The block engine's fast path: it copies the text up to each stop ('<', '&', the end of the
// buffer) out of the packed bytes, and converts the tags and entities that a memo knows, making
// no call, so that what it works with stays in registers. Each step is a function of its own,
// forced inline into the loop. Included once, by block_scan.cc.
#pragma once

#include "convert/scan/pass.h"

namespace {

// What the fast path works with: taken from the pass and the streams when it starts, and given
// back when it leaves, so that none of it lives across a call.
struct Cursor {
  const unsigned char* base;  // the first row's first byte
  const BlockRow* rows;
  std::size_t p;  // where the conversion has come to, from base
  int space_run;
  unsigned char* out;        // where the text file's next byte goes
  unsigned char* out_limit;  // past this, the text file's buffer needs room
  unsigned char* tag_out;    // where the tag file's next byte goes
  unsigned char* tag_room;   // below this, a short tag goes to the tag file whole
};

// Why the fast path left, and the stop it found: p is at it, but where the text before it was
// too long to copy, and p is where that text begins.
enum class Left { kForRoom, kLongCopy, kStop };
struct Exit {
  Left left;
  std::size_t q;       // the stop
  std::size_t length;  // of the tag at the stop, if it ends in a block with no special byte
};

[[gnu::always_inline]] inline Cursor take_cursor(const Pass& pass) {
  unsigned char* const text = pass.text.buffer.get();
  unsigned char* const tags = pass.tags.buffer.get();
  return {pass.base(),
          pass.rows,
          pass.at,
          pass.space_run,
          text + pass.text.len,
          text + pass.out_limit_at,
          tags + pass.tags.len,
          tags + pass.tag_room_at};
}

[[gnu::always_inline]] inline void give_back(Pass& pass, const Cursor& c) {
  pass.at = c.p;
  pass.space_run = c.space_run;
  pass.text.len = std::size_t(c.out - pass.text.buffer.get());
  pass.tags.len = std::size_t(c.tag_out - pass.tags.buffer.get());
}

// Where markup left off or a buffer begins, the whitespace at p is dealt with as space_run
// tells: 1 or 2 absorb it all, 0 makes it one space, and -1 absorbs only its first byte, a CR
// LF as one, as get_byte reads it. The rest of a run is never kept (kept_bytes), so p goes to
// its end, or to the end of its block. Every way into the fast path, and every tag and entity
// that it converts, comes through here.
[[gnu::always_inline]] inline void absorb_white(Cursor& c) {
  std::uint64_t run = white_from(c.rows, c.p);
  if ((run & 1) == 0) return;
  if (c.space_run < 0) {
    c.p += c.base[c.p] == kCR && c.base[c.p + 1] == kLF ? 2 : 1;
    ++c.space_run;
    run = white_from(c.rows, c.p);
    if ((run & 1) == 0) return;
  }
  *c.out = ' ';
  c.out += c.space_run == 0;
  c.space_run = 1;
  c.p += std::size_t(std::countr_one(run));
}

// What space_run is after text copied up to the stop q: 1 if it ended in whitespace, which gave
// its space, else 0.
inline int space_run_after_text(const BlockRow* rows, std::size_t q) {
  return is_white(rows, q - 1);
}

// Copies the text from p up to the next stop, whitespace collapsed, out of packed, as whole
// blocks; p goes to the stop, q. False, having copied nothing, if it is too long for that.
template <typename Masks>
[[gnu::always_inline]] inline bool copy_to_next_stop(Cursor& c, std::size_t& q) {
  const BlockRow* row = &c.rows[c.p / kBlock];
  std::uint64_t stop = std::uint64_t{1} << c.p % kBlock;
  const unsigned char* const from = packed_before<Masks>(row, stop);
  std::uint64_t stops = row->stops & -stop;
  while (stops == 0)
    stops = (++row)->stops;
  stop = stops & -stops;
  q = std::size_t(row - c.rows) * kBlock + std::size_t(std::countr_zero(stop));
  const auto kept = std::size_t(packed_before<Masks>(row, stop) - from);
  if (kept > kShortCopy) return false;
  std::size_t i = 0;
  do {
    Masks::copy(c.out + i, from + i);
    i += kBlock;
  } while (i < kept);
  c.out += kept;
  // A tag sets space_run itself.
  if (c.base[q] != '<' && q > c.p) c.space_run = space_run_after_text(c.rows, q);
  c.p = q;
  return true;
}

// Writes the console line of a name not in the table that the memo holds, as the console stores
// it; false, having written nothing, where the memo holds no line or the console has no room.
[[gnu::always_inline]] inline bool write_remembered_report(const EntityMemo::Slot& slot,
                                                           OutStream& console) {
  if (slot.size != kNotInTable || slot.report_size == 0 ||
      console.capacity - console.len < kBeforeName.size() + sizeof slot.bytes) {
    return false;
  }
  unsigned char* const line = console.buffer.get() + console.len;
  std::memcpy(line, kBeforeName.data(), kBeforeName.size());
  std::memcpy(line + kBeforeName.size(), slot.bytes, sizeof slot.bytes);
  console.len += kBeforeName.size() + slot.report_size;
  return true;
}

// Converts the entity at q if the memo holds its name, short and ended by ';' or a space: its
// replacement, with no line break, or its console line, where the memo holds that. False,
// having done nothing, if not.
template <typename Masks>
[[gnu::always_inline]] inline bool convert_remembered_entity(Cursor& c, Pass& pass, std::size_t q) {
  const unsigned char* const name = c.base + q + 1;
  const std::size_t size = Masks::short_name_length(name);
  if (name[size] != ';' && name[size] != ' ') return false;
  const EntityKey key = entity_key(name, size, name[size] == ' ');
  const EntityMemo::Slot& slot = slot_for(pass.entities, key);
  if (!holds(slot, key)) return false;
  if (slot.size < kNotCopied) {
    std::memcpy(c.out, slot.bytes, sizeof slot.bytes);
    c.out += slot.size;
  } else if (!write_remembered_report(slot, pass.console)) {
    return false;
  }
  c.p = q + size + 2;
  absorb_white(c);
  return true;
}

// The length of the tag at q if its '>' comes before any special byte and the end of the
// buffer, in this block or a later one; else 0.
inline std::size_t tag_length(const BlockRow* rows, std::size_t q) {
  const BlockRow* row = &rows[q / kBlock];
  std::uint64_t marks = row->marks & ~std::uint64_t{1} << q % kBlock;  // after q
  while (marks == 0)
    marks = (++row)->marks;
  const std::uint64_t end = marks & -marks;
  if ((row->tag_end & end) == 0) return 0;
  return std::size_t(row - rows) * kBlock + std::size_t(std::countr_zero(end)) + 1 - q;
}

// Converts the tag at q, of this length, whose rendering the memo holds: its line in the tag
// file, its rendering, short or up to kLongRendering, and the whitespace after it.
template <typename Masks>
[[gnu::always_inline]] inline void write_known_tag(Cursor& c, std::size_t q, std::size_t length,
                                                   bool up_to_a_block,
                                                   const TagRendering& rendering,
                                                   bool long_rendering) {
  log_short_tag<Masks>(c.tag_out, c.base + q, length, up_to_a_block);
  if (long_rendering) {
    Masks::copy(c.out, rendering.bytes);
    Masks::copy(c.out + kBlock, rendering.bytes + kBlock);
  } else {
    std::memcpy(c.out, rendering.bytes, kShortRendering);
  }
  c.out += rendering.size;
  c.space_run = rendering.change;
  c.p = q + length;
  absorb_white(c);
}

// Converts the tag at q if the memo holds its rendering and it goes to the tag file whole. A
// tag whose '>' is among its first 8 bytes is known by those bytes alone: the memo holds only
// tags found, as below, to have no special byte before their '>'. False, having done nothing,
// if not, with length the tag's if it ends in the buffer with no special byte, else 0.
template <typename Masks>
[[gnu::always_inline]] inline bool convert_remembered_tag(Cursor& c, RenderMemo& memo,
                                                          std::size_t q, std::size_t& length) {
  const unsigned char* const at = c.base + q;
  if (const std::size_t first_end = Masks::short_tag_length(at);
      first_end != 0 && c.tag_out < c.tag_room) {
    const TagKey key = short_tag_key(at, first_end);
    const TagRendering& rendering = slot_for(memo, key);
    if (holds_short_by_head(rendering, key)) {
      write_known_tag<Masks>(c, q, first_end, false, rendering, false);
      return true;
    }
  }
  length = tag_length(c.rows, q);
  if (length == 0 || length > kBlock || c.tag_out >= c.tag_room) return false;
  const TagKey key = tag_key(at, length);
  const TagRendering& rendering = slot_for(memo, key);
  if (holds_short(rendering, key)) {
    write_known_tag<Masks>(c, q, length, true, rendering, false);
  } else if (holds(rendering, key) && rendering.size <= kLongRendering) {
    write_known_tag<Masks>(c, q, length, true, rendering, true);
  } else {
    return false;
  }
  return true;
}

// The fast path's loop, from where markup left off or the buffer begins to where it leaves.
// The room is checked before anything is written: a slow path may have filled the buffer.
template <typename Masks>
[[gnu::always_inline]] inline Exit run_steps(Cursor& c, Pass& pass) {
  if (c.out > c.out_limit) return {Left::kForRoom, c.p, 0};
  absorb_white(c);
  for (;;) {
    if (c.out > c.out_limit) return {Left::kForRoom, c.p, 0};
    std::size_t q = c.p;
    if (c.base[q] != '<') {  // else a tag where markup or whitespace left off: nothing to copy
      if (!copy_to_next_stop<Masks>(c, q)) return {Left::kLongCopy, q, 0};
      if (c.base[q] != '<') {
        if (c.base[q] == '&' && convert_remembered_entity<Masks>(c, pass, q)) continue;
        return {Left::kStop, q, 0};
      }
    }
    std::size_t length = 0;
    if (!convert_remembered_tag<Masks>(c, pass.memo, q, length)) return {Left::kStop, q, length};
  }
}

// Runs the fast path from pass.at, and says why it left.
template <typename Masks>
[[gnu::always_inline]] inline Exit run_fast_path(Pass& pass) {
  Cursor c = take_cursor(pass);
  const Exit exit = run_steps<Masks>(c, pass);
  give_back(pass, c);
  return exit;
}

}  // namespace
