// The whole run, encode then decode (the tarn command's work, in process), on demo pieces of
// several lengths. The "x_realtime" counter is seconds of audio per second of run time; time
// per run should grow linearly with the length.
//
//   build-bench/bench/tarn-run-bench [--benchmark_filter=REGEX] [--benchmark_repetitions=N]

#include <benchmark/benchmark.h>

#include <string>

#include "bench_support.h"
#include "programs/cli.h"

namespace {

void BM_WholeRun(benchmark::State& state) {
  const int seconds = static_cast<int>(state.range(0));
  std::string input = tarn_bench::demo_wav(seconds);
  if (input.empty()) {
    state.SkipWithError("tarn-make-signal failed");
    return;
  }
  std::string stream = input + ".tarn";
  std::string output = input + ".out.wav";
  std::string program = "tarn";
  char* argv[] = {program.data(), input.data(), stream.data(), output.data()};
  for (auto _ : state) {
    tarn_bench::QuietStdout quiet;
    if (tarn::tarn_main(4, argv) != 0) {
      state.SkipWithError("tarn failed");
      break;
    }
  }
  std::filesystem::remove(stream);
  std::filesystem::remove(output);
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(seconds), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_WholeRun)->Arg(10)->Arg(60)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
