// Conversion speed on memory streams: no file system, no process start.
#include <benchmark/benchmark.h>

#include <string>

#include "convert/convert.h"
#include "corpus.h"

namespace {

void BM_ConvertFile(benchmark::State& state) {
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
    convert_file(in, text_out, tags_out, console_out);
    close_output(text_out);
    close_output(tags_out);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
}
BENCHMARK(BM_ConvertFile)->Arg(10 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
