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
// Each kind's code is built for its instruction set, in a region of its file of its own, and
// runs only on a processor that has it, as the kind's own check of the processor says (on x86,
// by cpuid: no compiler's runtime is asked).
//
// Where each part is, all of it one translation unit, so that everything hot stays inlinable:
// - scan/masks.h: what a kind of masks provides (BlockMasksKind), the portable defaults, and the
//   regions an instruction set's code is built in;
// - scan/memos.h, scan/rows.h: the memos of tags and entities, and the rows of a buffer;
// - scan/pass.h, scan/fast_path.h, scan/slow_paths.h: one pass, its fast path step by step,
//   and where the fast path leaves;
// - scan/portable.h, sse2.h, avx2.h, avx512.h, neon.h: one kind of masks each, none including
//   another; scan/x86.h, what the x86 kinds share;
// - this file: the list of scans, and the choice among them.
#include "convert/block_scan.h"
#include "convert/scan/avx2.h"
#include "convert/scan/avx512.h"
#include "convert/scan/neon.h"
#include "convert/scan/portable.h"
#include "convert/scan/sse2.h"

namespace {

// A way of converting: its name, its check of the processor, and its conversion.
struct ScanRow {
  std::string_view name;
  bool (*supported)();
  void (*convert)(const Streams& streams);
};

// A kind of masks as a row. A kind that lacks what BlockMasksKind asks for fails here, and the
// compiler names what it lacks.
template <BlockMasksKind Masks>
constexpr ScanRow row() {
  return {Masks::kName, Masks::supported, Masks::convert};
}

bool always() {
  return true;
}
void convert_bytes(const Streams& streams) {
  convert_byte_by_byte(streams.in, streams.text, streams.tags, streams.console);
}

// Every way this build has: the byte loop, then a scan for each kind of masks, slowest first.
// The program takes the last that the processor supports. A new kind is its file, its include
// above and its row here.
constexpr ScanRow kRows[] = {
    {"byte_loop", always, convert_bytes},
    row<PortableMasks>(),
#if SKRIVEL_X86
    row<Sse2Masks>(),
    row<Avx2Masks>(),
#endif
#if SKRIVEL_AVX512
    row<Avx512Masks>(),
#endif
#if SKRIVEL_NEON
    row<NeonMasks>(),
#endif
};

// kRows as this processor has them: each row's check asked once.
const std::array<Scan, std::size(kRows)>& scan_table() {
  static const auto table = [] {
    std::array<Scan, std::size(kRows)> scans{};
    for (std::size_t i = 0; i < std::size(kRows); ++i)
      scans[i] = {kRows[i].name, kRows[i].supported(), i};
    return scans;
  }();
  return table;
}

}  // namespace

std::span<const Scan> scans() {
  return scan_table();
}

const Scan& fastest_scan() {
  static const Scan& fastest = []() -> const Scan& {
    const auto& table = scan_table();
    std::size_t last = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (table[i].supported) last = i;
    }
    return table[last];
  }();
  return fastest;
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
  // Memory for a smaller refill would be overrun: taken anew, as the front end never needs.
  if (memory.refill_size < in.refill_size) take_conversion_memory(memory, in.refill_size);
  kRows[scan.row].convert({in, text, tags, console, memory});
}

void convert_with(const Scan& scan, InStream& in, OutStream& text, OutStream& tags,
                  OutStream& console) {
  ConversionMemory memory;
  convert_with(scan, in, text, tags, console, memory);
}
