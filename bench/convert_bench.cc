// Conversion speed on memory streams: no file system, no process start. One benchmark for each
// scan this machine has; the context line names the one the program picks.
#include <benchmark/benchmark.h>

#include <string>

#include "convert/block_scan.h"
#include "corpus.h"

namespace {

void convert_in_memory(benchmark::State& state, const Scan* scan) {
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
    convert_with(*scan, in, text_out, tags_out, console_out);
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
  benchmark::AddCustomContext("scan", std::string(fastest_scan().name));
  for (const Scan& scan : scans()) {
    if (!scan.supported) continue;
    auto* bench = benchmark::RegisterBenchmark(("BM_Convert/" + std::string(scan.name)).c_str(),
                                               convert_in_memory, &scan);
    bench->Unit(benchmark::kMicrosecond);
    if (&scan != &scans().front()) bench->Arg(10 << 10);  // the byte loop only on a large page
    bench->Arg(1 << 20);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
