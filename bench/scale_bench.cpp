// Many downloads at once from a rate-limited location, so they really run
// together: none may fail, and QL_Cleanup must leave no worker thread behind.
#include <sys/resource.h>

#include <filesystem>
#include <iostream>
#include <thread>

#include "bench.h"

int main(int argc, char** argv) {
  const bench::Options options(argc, argv, {{"url", ""}, {"size", "0"}, {"dir", ""}, {"count", "1000"}});
  const int count = static_cast<int>(options.number("count"));
  const auto size = static_cast<std::uintmax_t>(options.number("size"));
  const std::string name = bench::format("scale %d downloads of %ju MiB", count, size >> 20);
  const std::string goal = "0 failures, 0 threads left";
  return bench::run(name, goal, [&] {
    bench::raiseFileLimit();

    QL_Initialize();
    const int threadsBefore = bench::threadCount();
    const auto start = bench::Clock::now();
    std::vector<unsigned> ids;
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
      paths.push_back(options.text("dir") + bench::format("/scale-%d.bin", i));
      const std::u16string path(paths.back().begin(), paths.back().end());
      ids.push_back(QL_DownloadFile(options.text("url").c_str(), path.c_str()));
    }
    const double started = bench::secondsSince(start);
    // Whatever still runs after the limit counts as failed.
    const auto limit = start + std::chrono::minutes(5);
    int peakRunning = 0;
    for (int running = count; running > 0 && bench::Clock::now() < limit;) {
      running = 0;
      for (const unsigned id : ids) {
        QL_REQUEST_INFO info{};
        QL_RequestInfo(id, &info);
        running += info.state == QL_STATE_RUNNING ? 1 : 0;
      }
      peakRunning = std::max(peakRunning, running);
      bench::drainLog();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double finished = bench::secondsSince(start);
    int failures = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      QL_REQUEST_INFO info{};
      QL_RequestInfo(ids[i], &info);
      std::error_code error;
      const bool complete = std::filesystem::file_size(paths[i], error) == size && !error;
      if (info.state != QL_STATE_DONE || !complete) {
        if (failures++ < 5) {
          std::cerr << bench::format("  download %u: state %d, libcurl code %d, status %d\n", ids[i], info.state,
                                     info.curlCode, info.responseCode);
        }
      }
      std::filesystem::remove(paths[i], error);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    QL_Cleanup();
    bench::drainLog();
    const int threadsLeft = bench::threadCount() - threadsBefore;
    bench::report(name,
                  bench::format("%d failures, %d threads left after QL_Cleanup, peak RSS %.0f MiB, "
                                "%d running at once at the peak, all started in %.2f s, ended after %.2f s",
                                failures, threadsLeft, static_cast<double>(usage.ru_maxrss) / 1024.0, peakRunning,
                                started, finished),
                  bench::format("threads before the first download: %d", threadsBefore), goal,
                  failures == 0 && threadsLeft == 0);
  });
}
