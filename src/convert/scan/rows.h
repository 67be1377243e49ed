// The block engine's rows: what each 64-byte block of the input buffer is classified into, once,
// when the buffer is filled, and the bytes a copy keeps, packed. Included once, by block_scan.cc.
#pragma once

#include "convert/scan/masks.h"

namespace {

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

// The bytes of an input buffer to classify, and where their rows and packed bytes go.
struct Buffer {
  const unsigned char* bytes;
  std::size_t size;
  BlockRow* rows;
  unsigned char* packed;
};

// The bytes a copy keeps of a block: each whitespace run's first byte, as a space, and no more
// of it, in this block or the next. A run that follows markup, or begins the buffer, loses what
// space_run says when the conversion comes to it (absorb_white).
inline std::uint64_t kept_bytes(std::uint64_t white, std::uint64_t white_before) {
  return ~white | (white & ~(white << 1 | white_before >> (kBlock - 1)));
}

// Classifies the buffer's bytes into rows, one for each block and one more, the last one partly
// or wholly past the end, which holds the stop at the end of the buffer; and packs the bytes
// each block keeps, whitespace as spaces, one block after another. True if the masks note each
// 0x1A and met one.
template <typename Masks>
inline bool classify_rows(const Buffer& buffer) {
  Masks masks;
  BlockRow* row = buffer.rows;
  const unsigned char* at = buffer.bytes;
  std::size_t size = buffer.size;
  unsigned char* out = buffer.packed;
  std::uint64_t white_before = 0;  // the block before's whitespace
  for (;; ++row, at += kBlock, size -= kBlock) {
    BlockMasks m = masks.classify(at);
    std::uint64_t keep = kept_bytes(m.white, white_before);
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
    if (size < kBlock) break;
    white_before = m.white;
  }
  if constexpr (Masks::kNotesDosEof) {
    return masks.found_dos_eof();
  } else {
    return false;
  }
}

// Whether byte q of a buffer, from its first row's first byte, is whitespace.
inline bool is_white(const BlockRow* rows, std::size_t q) {
  return (rows[q / kBlock].white >> (q % kBlock) & 1) != 0;
}

// The whitespace bytes from q on, in q's block, as bits from bit 0.
inline std::uint64_t white_from(const BlockRow* rows, std::size_t q) {
  return rows[q / kBlock].white >> q % kBlock;
}

// Where the bytes kept before the stop bit of a row begin in packed.
template <typename Masks>
inline const unsigned char* packed_before(const BlockRow* row, std::uint64_t stop) {
  return row->packed + Masks::count(row->keep & (stop - 1));
}

// Where the bytes kept before byte q, from the first row's first byte, begin in packed.
template <typename Masks>
inline const unsigned char* packed_at(const BlockRow* rows, std::size_t q) {
  return packed_before<Masks>(&rows[q / kBlock], std::uint64_t{1} << q % kBlock);
}

}  // namespace
