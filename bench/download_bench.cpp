// QL_DownloadFile into tmpfs against the curl command line writing the same
// URL to the same kind of file.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "bench.h"

extern char** environ;

namespace {

std::u16string widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

void expectFile(const std::string& path, std::uintmax_t size) {
  if (std::filesystem::file_size(path) != size) {
    throw std::runtime_error(
        bench::format("%s holds %ju bytes, not %ju", path.c_str(), std::filesystem::file_size(path), size));
  }
  std::filesystem::remove(path);
}

double downloadWithLibrary(const std::string& url, const std::string& path) {
  const std::u16string widePath = widen(path);
  const auto start = bench::Clock::now();
  const unsigned id = QL_DownloadFile(url.c_str(), widePath.c_str());
  const QL_REQUEST_INFO info = bench::waitForEnd(id);
  const double seconds = bench::secondsSince(start);
  QL_RemoveRequest(id);
  bench::drainLog();
  if (info.state != QL_STATE_DONE) {
    throw std::runtime_error(bench::format("download ended in state %d, libcurl code %d", info.state, info.curlCode));
  }
  return seconds;
}

double downloadWithCurl(const std::string& url, const std::string& path) {
  const char* argv[] = {"curl", "-s", "-o", path.c_str(), url.c_str(), nullptr};
  const auto start = bench::Clock::now();
  pid_t child = 0;
  if (posix_spawnp(&child, "curl", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
    throw std::runtime_error("cannot start curl");
  }
  int status = 0;
  waitpid(child, &status, 0);
  const double seconds = bench::secondsSince(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("curl failed");
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options(argc, argv, {{"url", ""}, {"size", "0"}, {"dir", ""}, {"pairs", "15"}});
  const auto size = static_cast<std::uintmax_t>(options.number("size"));
  const std::string name = bench::format("download %ju MiB", size >> 20);
  QL_Initialize();
  const int status = bench::run(name, "<= 1.02x", [&] {
    const std::string url = options.text("url");
    const std::string path = options.text("dir") + "/download.bin";
    std::cerr << name << ": QL_DownloadFile / curl -s -o\n";
    const bench::PairFigures figures = bench::alternate(
        static_cast<int>(options.number("pairs")),
        [&] {
          const double seconds = downloadWithLibrary(url, path);
          expectFile(path, size);
          return seconds;
        },
        [&] {
          const double seconds = downloadWithCurl(url, path);
          expectFile(path, size);
          return seconds;
        });
    bench::report(name,
                  bench::format("%.3fx, QL_DownloadFile %.3f s (pairs %.2f..%.2f, %d pairs)", figures.ratio, figures.a,
                                figures.lowRatio, figures.highRatio, figures.pairs),
                  bench::format("curl -s -o %.3f s", figures.b), "<= 1.02x", figures.ratio <= 1.02);
  });
  QL_Cleanup();
  return status;
}
