// QL_GenerateULID calls per second on one thread. The goal is absolute; the
// anchor is the same run's cost of filling the 26 units from ULIDs made
// beforehand, the least any generator must spend.
#include <benchmark/benchmark.h>

#include <cstring>
#include <iostream>
#include <map>

#include "bench.h"

namespace {

void GenerateULID(benchmark::State& state) {
  QL_WCHAR buffer[26];
  for (auto _ : state) {
    QL_GenerateULID(buffer);
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void CopyPrecomputed(benchmark::State& state) {
  static QL_WCHAR made[1024][26];
  for (auto& ulid : made) {
    QL_GenerateULID(ulid);
  }
  QL_WCHAR buffer[26];
  std::size_t next = 0;
  for (auto _ : state) {
    std::memcpy(buffer, made[next++ % 1024], sizeof buffer);
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

// Calls per second of wall-clock time, the median of five repetitions.
BENCHMARK(GenerateULID)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(CopyPrecomputed)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

// Keeps the median calls per second of each benchmark for the summary line.
class Reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name == "median") {
        perSecond[run.run_name.function_name] = run.counters.at("items_per_second");
        perCpuSecond[run.run_name.function_name] =
            benchmark::GetTimeUnitMultiplier(run.time_unit) / run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> perSecond;
  // The same from CPU time: what a busy machine's wall clock hides.
  std::map<std::string, double> perCpuSecond;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Reporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double calls = reporter.perSecond["GenerateULID"];
  bench::report("ULIDs",
                bench::format("%.2f M QL_GenerateULID calls/s on one thread (%.2f M/s of CPU time)", calls / 1e6,
                              reporter.perCpuSecond["GenerateULID"] / 1e6),
                bench::format("copying 26 precomputed units %.1f M/s", reporter.perSecond["CopyPrecomputed"] / 1e6),
                ">= 10 M/s", calls >= 10e6);
  benchmark::Shutdown();
}
