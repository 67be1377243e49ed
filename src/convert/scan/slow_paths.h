// Where the block engine's fast path leaves, and the conversion by blocks that goes between the
// two: room in the text file's buffer, a long copy, a tag or an entity the fast path cannot
// convert itself, the end of the buffer. A tag that holds a special byte, an entity name that
// holds a CR, and either one running past the end of the buffer are read by the byte loop's own
// read_tag or read_entity, through get_byte; one that refills the buffer leaves the rows out of
// date, and the new buffer is classified in its turn. Included once, by block_scan.cc.
#pragma once

#include "convert/scan/fast_path.h"

namespace {

// The tag after the '<' just read, as the byte loop converts it; returns the new space_run.
[[gnu::noinline]] int convert_tag_slowly(Pass& pass) {
  read_tag(pass.tag, pass.in, pass.tags);
  log_tag(pass.tag, pass.tags);
  return render_tag(tag_string(pass.tag), pass.text);
}

// The entity after the '&' just read, as the byte loop converts it.
[[gnu::noinline]] void convert_entity_slowly(Pass& pass) {
  read_entity(pass.entity, pass.in, pass.console);
  decode_entity(pass.entity, pass.text, pass.console);
}

// Writes what the memo's slot says of the name: its replacement, or its console line.
void write_entity(const EntityMemo::Slot& slot, std::string_view name, bool ended_by_space,
                  Pass& pass) {
  OutStream& text = pass.text;
  if (slot.size == kNotInTable) {
    report_entity(name, pass.console, ended_by_space);
  } else if (slot.size == kNotCopied) {
    decode_entity(ended_by_space ? "& " : name, text, pass.console);
  } else {
    if (text.capacity - text.len < sizeof slot.bytes) flush(text);
    std::memcpy(text.buffer.get() + text.len, slot.bytes, sizeof slot.bytes);
    text.len += slot.size;
  }
}

// Converts the entity whose '&' is at `at`, if its name lies whole before end and holds no CR,
// and returns the byte after it; otherwise returns nullptr, having done nothing. A short name
// goes into the memo, for the fast path to convert the next time.
[[gnu::noinline]] const unsigned char* convert_entity(Pass& pass, const unsigned char* at,
                                                      const unsigned char* end) {
  const unsigned char* q = at + 1;
  while (q < end && !kEndsName[*q])
    ++q;
  if (q == end || *q == kCR) return nullptr;
  const std::string_view name(reinterpret_cast<const char*>(at + 1), std::size_t(q - at - 1));
  const bool ended_by_space = *q == ' ';
  if (name.size() > kEntityHead) {
    if (ended_by_space) {  // only "& " is in the table
      report_entity(name, pass.console, true);
    } else {
      decode_entity(name, pass.text, pass.console);
    }
    return q + 1;
  }
  const EntityKey key = entity_key(at + 1, name.size(), ended_by_space);
  EntityMemo::Slot& slot = slot_for(pass.entities, key);
  if (!holds(slot, key)) remember_entity(slot, key, name, ended_by_space, pass.console);
  write_entity(slot, name, ended_by_space, pass);
  return q + 1;
}

// Writes text from pass.at up to the stop q, too long for the fast path's copy.
template <typename Masks>
void copy_long_text(Pass& pass, std::size_t q) {
  const BlockRow* const rows = pass.rows;
  const unsigned char* const from = packed_at<Masks>(rows, pass.at);
  put_raw(pass.text, from, std::size_t(packed_at<Masks>(rows, q) - from));
  pass.space_run = space_run_after_text(rows, q);
  pass.at = q;
}

// Converts the tag at pass.at, of this length, with no special byte before its '>': logged, as
// a whole block where the tag file has room, and rendered as the memo has it, or render_tag.
template <typename Masks>
void convert_whole_tag(Pass& pass, std::size_t length) {
  const unsigned char* const at = pass.base() + pass.at;
  OutStream& text = pass.text;
  OutStream& tags = pass.tags;
  if (length <= kBlock && tags.len < pass.tag_room_at) {
    unsigned char* tag_out = tags.buffer.get() + tags.len;
    log_short_tag<Masks>(tag_out, at, length, true);
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
}

// Deals with what the fast path left for, at pass.at. True to go back to the fast path; false
// where a slow path read on through get_byte, or the buffer ended: the conversion goes on from
// in.pos.
template <typename Masks>
bool take_exit(Pass& pass, const Exit& exit) {
  InStream& in = pass.in;
  if (exit.left == Left::kForRoom) {
    flush(pass.text);
    return true;
  }
  if (exit.left == Left::kLongCopy) {
    copy_long_text<Masks>(pass, exit.q);
    return true;
  }
  const unsigned char* const at = pass.base() + pass.at;
  if (*at == '<' && exit.length != 0) {
    convert_whole_tag<Masks>(pass, exit.length);
    return true;
  }
  if (*at == '<') {
    in.pos = pass.from + pass.at + 1;
    pass.space_run = convert_tag_slowly(pass);
    return false;
  }
  if (*at == '&') {
    if (const unsigned char* after = convert_entity(pass, at, in.buffer.get() + in.len)) {
      pass.at = std::size_t(after - pass.base());
      return true;
    }
    in.pos = pass.from + pass.at + 1;
    convert_entity_slowly(pass);
    return false;
  }
  in.pos = in.len;  // the end of the buffer
  return false;
}

// The conversion by blocks: each buffer classified as refill fills it, then the fast path and
// what it leaves for, by turns, to the buffer's end.
template <typename Masks>
inline void convert_by_blocks(const Streams& streams) {
  Pass pass(streams);
  start_pass(pass);
  InStream& in = pass.in;
  // Masks that note each 0x1A as they classify spare refill its search.
  in.dos_eof_left = Masks::kNotesDosEof;
  while (in.pos < in.len || refill(in)) {
    if (pass.fills != in.fills) classify_new_buffer<Masks>(pass);
    pass.at = in.pos - pass.from;
    while (take_exit<Masks>(pass, run_fast_path<Masks>(pass))) {
    }
  }
}

}  // namespace
