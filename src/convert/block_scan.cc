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
// have them, from NEON on 64-bit ARM, and from 64-bit words, 8 bytes at a time, anywhere else.
// Each kind's code is built for its instruction set, and runs only on a processor that has it.
//
// Where each part is, all of it one translation unit, so that everything hot stays inlinable:
// - scan/masks.h: what a kind of masks provides (BlockMasksKind), and the portable defaults;
// - scan/memos.h, scan/rows.h: the memos of tags and entities, and the rows of a buffer;
// - scan/pass.h, scan/fast_path.h, scan/slow_paths.h: one pass, its fast path step by step,
//   and where the fast path leaves;
// - scan/portable.h, sse2.h, avx2.h, avx512.h, neon.h: one kind of masks each;
// - this file: the list of scans, and the choice among them.
#include "convert/block_scan.h"
#include "convert/scan/avx512.h"
#include "convert/scan/neon.h"
#include "convert/scan/portable.h"

namespace {

// The byte loop, then a scan for each kind of masks, slowest first. A kind that lacks what
// BlockMasksKind asks for fails here, and the compiler names what it lacks.
template <BlockMasksKind... Masks>
struct ScanTable {
  static inline const Scan rows[] = {{"byte_loop", true}, {Masks::kName, Masks::supported()}...};

  // Converts with the masks of rows[index], index 1 or more.
  static void convert(std::size_t index, const Streams& streams) {
    std::size_t row = 0;
    (void)((++row == index && (Masks::convert(streams), true)) || ...);
  }
};

// Every scan this build has: a new one is its masks' file, and its name in this list.
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

void take_conversion_memory(ConversionMemory& memory, std::size_t refill_size) {
  const std::size_t blocks = blocks_for(refill_size);
  memory.rows.reset(new unsigned char[blocks * sizeof(BlockRow) + alignof(BlockRow)]);
  memory.packed.reset(new unsigned char[(blocks + 2) * kBlock]);
  open_memory_output(memory.renderings, nullptr, kRenderScratch);
  memory.refill_size = refill_size;
}

void convert_with(const Scan& scan, InStream& in, OutStream& text, OutStream& tags,
                  OutStream& console, ConversionMemory& memory) {
  const auto index = static_cast<std::size_t>(&scan - Scans::rows);
  if (index == 0) {
    convert_byte_by_byte(in, text, tags, console);
    return;
  }
  // Memory for a smaller refill would be overrun: taken anew, as the front end never needs.
  if (memory.refill_size < in.refill_size) take_conversion_memory(memory, in.refill_size);
  Scans::convert(index, {in, text, tags, console, memory});
}

void convert_with(const Scan& scan, InStream& in, OutStream& text, OutStream& tags,
                  OutStream& console) {
  ConversionMemory memory;
  convert_with(scan, in, text, tags, console, memory);
}
