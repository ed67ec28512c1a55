// Stalled transfers: how soon one ends after QL_CancelRequest, and how long
// QL_Cleanup takes with many of them while another thread keeps asking the
// library about an unrelated request.
#include <algorithm>
#include <atomic>
#include <iostream>
#include <thread>

#include "bench.h"
#include "stall_server.h"

namespace {

// What the server sends before it stops: nothing, part of a head, a head and
// part of the body.
const char* const kPrefixes[] = {"", "HTTP/1.1 200 OK\r\nContent-Len",
                                 "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\npartial body"};

// Even numbers start an in-memory request, odd ones a download.
unsigned startTransfer(int number, const std::string& url, const std::string& dir) {
  if (number % 2 == 0) {
    return QL_Request(0, url.c_str(), nullptr);
  }
  const std::string path = dir + bench::format("/stalled-%d.bin", number);
  const std::u16string widePath(path.begin(), path.end());
  return QL_DownloadFile(url.c_str(), widePath.c_str());
}

// How long a transfer sits stalled before the cancel. libcurl polls about
// once a second while idle, so the runs spread the cancel over that second.
std::chrono::milliseconds settle(int run) { return std::chrono::milliseconds(300 + 200 * (run % 5)); }

void cancelTarget(int runs, const std::string& dir) {
  std::vector<double> latencies;
  for (int run = 0; run < runs; ++run) {
    bench::StallServer server(kPrefixes[run % 3]);
    const unsigned id = startTransfer(run, server.url(), dir);
    if (!server.waitForStalled(1)) {
      throw std::runtime_error("the transfer never reached the stall server");
    }
    std::this_thread::sleep_for(settle(run));
    const auto start = bench::Clock::now();
    QL_CancelRequest(id);
    const QL_REQUEST_INFO info = bench::waitForEnd(id, std::chrono::microseconds(200));
    latencies.push_back(bench::secondsSince(start));
    QL_RemoveRequest(id);
    bench::drainLog();
    std::cerr << bench::format("  run %d: stalled %lld ms, ended %.3f s after the cancel, state %d, libcurl code %d\n",
                               run + 1, static_cast<long long>(settle(run).count()), latencies.back(), info.state,
                               info.curlCode);
    if (info.state != QL_STATE_FAILED || info.curlCode != 42) {
      throw std::runtime_error(
          bench::format("cancelled transfer ended in state %d with code %d", info.state, info.curlCode));
    }
  }
  const double worst = *std::max_element(latencies.begin(), latencies.end());
  bench::report("cancel", bench::format("worst of %d %.3f s", runs, worst),
                bench::format("best of %d %.3f s, median %.3f s", runs,
                              *std::min_element(latencies.begin(), latencies.end()), bench::median(latencies)),
                "<= 1.0 s", worst <= 1.0);
}

void cleanupTarget(int transfers, const std::string& dir) {
  bench::StallServer server(kPrefixes[2]);
  unsigned last = 0;
  for (int i = 0; i < transfers; ++i) {
    last = startTransfer(i, server.url(), dir);
  }
  if (!server.waitForStalled(transfers)) {
    throw std::runtime_error("not every transfer reached the stall server");
  }
  std::this_thread::sleep_for(settle(0));

  // An id the library never issued: its look-up still needs the request table.
  const unsigned unrelated = last + 1000;
  std::atomic<bool> stop{false};
  std::vector<std::pair<bench::Clock::time_point, double>> calls;  // start, seconds
  std::thread probe([&] {
    while (!stop) {
      QL_REQUEST_INFO info{};
      const auto start = bench::Clock::now();
      QL_RequestInfo(unrelated, &info);
      calls.emplace_back(start, bench::secondsSince(start));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = bench::Clock::now();
  QL_Cleanup();
  const double seconds = bench::secondsSince(start);
  stop = true;
  probe.join();
  bench::drainLog();
  // The anchor: the same calls before QL_Cleanup began.
  std::vector<double> before;
  double worst = 0;
  for (const auto& [callStart, callSeconds] : calls) {
    if (callStart < start) {
      before.push_back(callSeconds);
    }
    worst = std::max(worst, callSeconds);
  }
  bench::report(bench::format("cleanup with %d stalled transfers", transfers),
                bench::format("QL_Cleanup %.3f s, worst concurrent QL_RequestInfo %.1f ms (%zu calls)", seconds,
                              worst * 1000, calls.size()),
                bench::format("median QL_RequestInfo before QL_Cleanup %.3f ms", bench::median(before) * 1000),
                "<= 1.0 s and <= 50 ms", seconds <= 1.0 && worst <= 0.05);
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options(argc, argv, {{"dir", "."}, {"runs", "5"}, {"transfers", "20"}});
  QL_Initialize();
  int failures = bench::run("cancel", "<= 1.0 s",
                            [&] { cancelTarget(static_cast<int>(options.number("runs")), options.text("dir")); });
  const int transfers = static_cast<int>(options.number("transfers"));
  failures += bench::run(bench::format("cleanup with %d stalled transfers", transfers), "<= 1.0 s and <= 50 ms",
                         [&] { cleanupTarget(transfers, options.text("dir")); });
  return failures == 0 ? 0 : 1;
}
