// One pass of the block engine over the input: what it reads and writes, its memos, and the rows
// of the buffer being converted. Included once, by block_scan.cc.
#pragma once

#include "convert/scan/memos.h"
#include "convert/scan/rows.h"

namespace {

// Text between two stops this short is copied a whole block at a time.
constexpr std::size_t kShortCopy = 8 * kBlock;
static_assert(kReadSlack >= 2 * kBlock, "a block is read whole from anywhere before the end");
// The fast path writes past the text file's next byte, before it checks again that there is
// room: a copy of up to kShortCopy bytes as whole blocks, then a rendering of up to
// kLongRendering bytes, copied whole, and a space.
constexpr std::size_t kRoom = kShortCopy + kLongRendering + 1;
static_assert(kLeastOutputBuffer > 2 * kRoom, "an output buffer has room for the fast path");
// A tag's line end in the tag file, written as 4 bytes: CR LF, and two more that the next line
// takes. Where the tag file's line ends are LF alone, short tags are not copied whole.
constexpr unsigned char kTagLineEnd[4] = {kCR, kLF};

// What a conversion reads and writes.
struct Streams {
  InStream& in;
  OutStream& text;
  OutStream& tags;
  OutStream& console;
  ConversionMemory& memory;
};

// The rows a buffer of refill_size raw bytes takes: one for each block, and one more.
constexpr std::size_t blocks_for(std::size_t refill_size) {
  return (1 + refill_size) / kBlock + 1;
}

// What one pass over the input holds: its streams, what the slow paths read into, the memos,
// and the rows and packed bytes of the buffer being converted.
struct Pass {
  // Takes the streams; the rest starts as each member's type has it, with no bytes cleared
  // that are written before they are read.
  explicit Pass(const Streams& streams)
      : in(streams.in),
        text(streams.text),
        tags(streams.tags),
        console(streams.console),
        memory(streams.memory) {}
  InStream& in;
  OutStream& text;
  OutStream& tags;
  OutStream& console;
  ConversionMemory& memory;  // where the rows, the packed bytes and the renderings go
  TagBuffer tag;             // a tag read by read_tag
  EntityBuffer entity;       // an entity name read by read_entity
  RenderMemo memo;
  EntityMemo entities;
  // The input buffer's blocks from `from` on, classified when refill had filled it `fills`
  // times: a slow path that refills it leaves its rows out of date.
  BlockRow* rows = nullptr;
  unsigned char* packed = nullptr;
  std::size_t from = 0;
  std::size_t fills = 0;
  // Where the conversion has come to, from the first row's first byte, and what space_run,
  // as the byte loop has it, is there.
  std::size_t at = 0;
  int space_run = 0;
  // Up to where in the text file's buffer the fast path may write before it makes room, and up
  // to where in the tag file's a short tag goes whole.
  std::size_t out_limit_at = 0;
  std::size_t tag_room_at = 0;

  // The first row's first byte.
  const unsigned char* base() const { return in.buffer.get() + from; }
};

// Makes ready to convert in the memory taken for it: rows for each block a refill can fill, room
// for their bytes packed, and for what pack writes past them, and the renderings' scratch.
void start_pass(Pass& pass) {
  ConversionMemory& memory = pass.memory;
  const auto rows = reinterpret_cast<std::uintptr_t>(memory.rows.get());
  pass.rows =
      reinterpret_cast<BlockRow*>((rows + alignof(BlockRow) - 1) & ~(alignof(BlockRow) - 1));
  pass.packed = memory.packed.get();
  start_render_memo(pass.memo, memory.renderings, pass.text.crlf);
  pass.fills = pass.in.fills - 1;  // none classified yet
  pass.out_limit_at = pass.text.capacity - kRoom;
  pass.tag_room_at = pass.tags.crlf ? pass.tags.capacity - kBlock - sizeof kTagLineEnd + 1 : 0;
}

// Classifies the buffer refill has just filled, from where it is read on. A 0x1A met there ends
// the input, and what comes before it is classified again.
template <typename Masks>
inline void classify_new_buffer(Pass& pass) {
  InStream& in = pass.in;
  pass.fills = in.fills;
  pass.from = in.pos;
  unsigned char* const bytes = in.buffer.get() + in.pos;
  if (Masks::classify_buffer({bytes, in.len - in.pos, pass.rows, pass.packed})) {
    const auto* eof =
        static_cast<const unsigned char*>(std::memchr(bytes, kDosEof, in.len - in.pos));
    end_input_at(in, std::size_t(eof - in.buffer.get()));
    Masks::classify_buffer({bytes, in.len - in.pos, pass.rows, pass.packed});
  }
}

// Writes a tag of this length at `at`, which has no line break, as a line of the tag file from
// tag_out on: as a whole kShortTag bytes, or a whole block if it may be longer.
template <typename Masks>
[[gnu::always_inline]] inline void log_short_tag(unsigned char*& tag_out, const unsigned char* at,
                                                 std::size_t length, bool up_to_a_block) {
  if (up_to_a_block) {
    Masks::copy(tag_out, at);
  } else {
    Masks::copy_tag(tag_out, at);
  }
  std::memcpy(tag_out + length, kTagLineEnd, sizeof kTagLineEnd);
  tag_out += length + 2;
}

}  // namespace
