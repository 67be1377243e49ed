// Conversion speed on memory streams: no file system, no process start. One benchmark for each
// scan this machine has; the context line names the one the program picks.
#include <benchmark/benchmark.h>

#include <string>

#include "convert/convert.h"
#include "corpus.h"

namespace {

const char* scan_name(Scan scan) {
  switch (scan) {
    case Scan::kByteByByte:
      return "byte_loop";
    case Scan::kPortable:
      return "portable";
    case Scan::kSse2:
      return "sse2";
    case Scan::kAvx2:
      return "avx2";
    case Scan::kNeon:
      return "neon";
    default:
      return "best";
  }
}

void convert_in_memory(benchmark::State& state, Scan scan) {
  const std::string html = make_corpus(static_cast<std::size_t>(state.range(0)));
  std::string text, tags, console;
  for (auto _ : state) {
    text.clear();
    tags.clear();
    console.clear();
    InStream in;
    OutStream text_out, tags_out, console_out;
    open_memory_input(in, html);
    open_memory_output(text_out, &text);
    open_memory_output(tags_out, &tags);
    open_memory_output(console_out, &console);
    console_out.batched = true;
    convert_file(in, text_out, tags_out, console_out, scan);
    close_output(text_out);
    close_output(tags_out);
    close_output(console_out);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("scan", scan_name(block_scans().back()));
  const auto add = [](Scan scan) {
    return benchmark::RegisterBenchmark((std::string("BM_Convert/") + scan_name(scan)).c_str(),
                                        convert_in_memory, scan)
        ->Unit(benchmark::kMicrosecond);
  };
  add(Scan::kByteByByte)->Arg(1 << 20);
  for (const Scan scan : block_scans()) {
    add(scan)->Arg(10 << 10)->Arg(1 << 20);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
