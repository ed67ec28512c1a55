// QL_DownloadFile into tmpfs against the curl command line writing the same
// URL to the same kind of file. Over HTTPS both sides verify the server; with
// --untrusted-url (a server whose certificate the CA bundle does not vouch
// for) both must first refuse it, or the figure would compare unverified
// transfers.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "bench.h"

extern char** environ;

namespace {

// The library's download; its libcurl code is left in `code`.
double libraryRun(const std::string& url, const std::string& path, int& code) {
  const std::u16string widePath = bench::widen(path);
  const auto start = bench::Clock::now();
  const unsigned id = QL_DownloadFile(url.c_str(), widePath.c_str());
  const QL_REQUEST_INFO info = bench::waitForEnd(id);
  const double seconds = bench::secondsSince(start);
  QL_RemoveRequest(id);
  bench::drainLog();
  code = info.state == QL_STATE_DONE ? 0 : (info.curlCode != 0 ? info.curlCode : -1);
  return seconds;
}

// The curl command line's download; its exit status is left in `code`.
double curlRun(const std::string& url, const std::string& path, int& code) {
  const char* argv[] = {"curl", "-s", "-o", path.c_str(), url.c_str(), nullptr};
  const auto start = bench::Clock::now();
  pid_t child = 0;
  if (posix_spawnp(&child, "curl", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
    throw std::runtime_error("cannot start curl");
  }
  int status = 0;
  waitpid(child, &status, 0);
  const double seconds = bench::secondsSince(start);
  code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return seconds;
}

double downloadWithLibrary(const std::string& url, const std::string& path) {
  int code = 0;
  const double seconds = libraryRun(url, path, code);
  if (code != 0) throw std::runtime_error(bench::format("download failed, libcurl code %d", code));
  return seconds;
}

double downloadWithCurl(const std::string& url, const std::string& path) {
  int code = 0;
  const double seconds = curlRun(url, path, code);
  if (code != 0) throw std::runtime_error(bench::format("curl failed with exit status %d", code));
  return seconds;
}

// Both sides must refuse a certificate the bundle does not vouch for, with
// libcurl's (and so curl's) code for a failed peer verification.
void expectRefused(const std::string& url, const std::string& path) {
  constexpr int kPeerFailedVerification = 60;
  int libraryCode = 0;
  int curlCode = 0;
  libraryRun(url, path, libraryCode);
  curlRun(url, path, curlCode);
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  std::cerr << bench::format("  untrusted server: QL_DownloadFile libcurl code %d, curl exit status %d\n", libraryCode,
                             curlCode);
  if (libraryCode != kPeerFailedVerification || curlCode != kPeerFailedVerification) {
    throw std::runtime_error(bench::format(
        "an untrusted server was not refused by both sides (libcurl code %d, curl exit status %d; 60 expected)",
        libraryCode, curlCode));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options(argc, argv,
                               {{"url", ""}, {"size", "0"}, {"dir", ""}, {"pairs", "15"}, {"untrusted-url", ""}});
  const auto size = static_cast<std::uintmax_t>(options.number("size"));
  const std::string url = options.text("url");
  const bool https = url.rfind("https:", 0) == 0;
  const std::string name = bench::format("%sdownload %ju MiB", https ? "https " : "", size >> 20);
  QL_Initialize();
  const int status = bench::run(name, "<= 1.02x", [&] {
    const std::string path = options.text("dir") + "/download.bin";
    if (https && options.text("untrusted-url").empty()) {
      throw std::runtime_error("an HTTPS run needs --untrusted-url to show that both sides verify");
    }
    if (!options.text("untrusted-url").empty()) expectRefused(options.text("untrusted-url"), path);
    std::cerr << name << ": QL_DownloadFile / curl -s -o\n";
    const bench::PairFigures figures = bench::alternate(
        static_cast<int>(options.number("pairs")),
        [&] {
          const double seconds = downloadWithLibrary(url, path);
          bench::expectFile(path, size);
          return seconds;
        },
        [&] {
          const double seconds = downloadWithCurl(url, path);
          bench::expectFile(path, size);
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
