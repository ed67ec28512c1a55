// Downloads that an installer can trust, measured against what it would do
// without them. Two targets:
//   verify: QL_DownloadFileEx with the file's SHA-256 (hashed while the bytes
//     arrive, then renamed into place) against the curl command line followed
//     by sha256sum, which reads the file a second time;
//   resume: a download cancelled at half and resumed, in the bytes the
//     server sent for the resumed run (its access log) against the remainder.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>
#include <vector>

#include "bench.h"

namespace {

QL_DOWNLOAD_OPTIONS optionsWith(unsigned flags, const std::string& sha256) {
  QL_DOWNLOAD_OPTIONS options{};
  options.size = sizeof(options);
  options.flags = flags;
  options.expectedSize = -1;
  options.sha256 = sha256.c_str();
  return options;
}

double verifiedWithLibrary(const std::string& url, const std::string& path, const std::string& sha256) {
  const std::u16string widePath = bench::widen(path);
  const QL_DOWNLOAD_OPTIONS options = optionsWith(0, sha256);
  const auto start = bench::Clock::now();
  const unsigned id = QL_DownloadFileEx(url.c_str(), widePath.c_str(), &options);
  const QL_REQUEST_INFO info = bench::waitForEnd(id);
  const double seconds = bench::secondsSince(start);
  QL_RemoveRequest(id);
  bench::drainLog();
  if (info.state != QL_STATE_DONE) throw std::runtime_error(bench::format("download failed (%d)", info.curlCode));
  return seconds;
}

// curl -s -o, then sha256sum on the file; the seconds of the download alone
// go to `curlAlone`.
double verifiedWithCurl(const std::string& url, const std::string& path, const std::string& sha256,
                        std::vector<double>& curlAlone) {
  const auto start = bench::Clock::now();
  if (bench::spawn({"curl", "-s", "-o", path, url}) != 0) throw std::runtime_error("curl failed");
  curlAlone.push_back(bench::secondsSince(start));
  const std::string sums = path + ".sha256";
  if (bench::spawn({"sha256sum", path}, sums) != 0) throw std::runtime_error("sha256sum failed");
  const double seconds = bench::secondsSince(start);
  std::ifstream in(sums);
  std::string digest;
  in >> digest;
  std::filesystem::remove(sums);
  if (digest != sha256) throw std::runtime_error("sha256sum disagrees with the expected digest");
  return seconds;
}

int verifyTarget(const bench::Options& options) {
  const auto size = static_cast<std::uintmax_t>(options.number("size"));
  const std::string url = options.text("url");
  const std::string sha256 = options.text("sha256");
  const std::string name = bench::format("verified download %ju MiB", size >> 20);
  return bench::run(name, "<= 0.85x", [&] {
    const std::string path = options.text("dir") + "/verified.bin";
    std::vector<double> curlAlone;
    std::cerr << name << ": QL_DownloadFileEx with sha256 / curl -s -o then sha256sum\n";
    const bench::PairFigures figures = bench::alternate(
        static_cast<int>(options.number("pairs")),
        [&] {
          const double seconds = verifiedWithLibrary(url, path, sha256);
          bench::expectFile(path, size);
          return seconds;
        },
        [&] {
          const double seconds = verifiedWithCurl(url, path, sha256, curlAlone);
          bench::expectFile(path, size);
          return seconds;
        });
    const double toCurlAlone = figures.a / bench::median(curlAlone);
    bench::report(
        name,
        bench::format("%.3fx, QL_DownloadFileEx %.3f s (pairs %.2f..%.2f, %d pairs; %.3fx curl -s -o alone)",
                      figures.ratio, figures.a, figures.lowRatio, figures.highRatio, figures.pairs, toCurlAlone),
        bench::format("curl -s -o + sha256sum %.3f s", figures.b), "<= 0.85x", figures.ratio <= 0.85);
  });
}

// The body bytes the server's access log gives for its last request.
long long lastBytesSent(const std::string& log) {
  std::ifstream in(log);
  long long bytes = -1;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) bytes = std::stoll(line);
  }
  return bytes;
}

int resumeTarget(const bench::Options& options) {
  const auto size = static_cast<long long>(options.number("size"));
  const std::string name = bench::format("resumed download %lld MiB", size >> 20);
  return bench::run(name, "<= 1.01x", [&] {
    const std::string path = options.text("dir") + "/resumed.bin";
    const std::u16string widePath = bench::widen(path);
    const std::string url = options.text("url");
    const std::string sha256 = options.text("sha256");  // outlives the options that point into it
    const QL_DOWNLOAD_OPTIONS resumable = optionsWith(QL_DOWNLOAD_RESUME | QL_DOWNLOAD_ATOMIC, sha256);
    std::filesystem::remove(path + ".part");

    const unsigned first = QL_DownloadFileEx(url.c_str(), widePath.c_str(), &resumable);
    long long total = 0;
    long long written = 0;
    while (QL_RequestDownloadProgress64(first, &total, &written) == 1 && written < size / 2) {
      QL_REQUEST_INFO info{};
      if (QL_RequestInfo(first, &info) == 1 && info.state != QL_STATE_RUNNING) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    QL_CancelRequest(first);
    const QL_REQUEST_INFO cancelled = bench::waitForEnd(first);
    if (cancelled.curlCode != 42) {
      QL_WCHAR words[512] = {};
      int length = 0;
      QL_RequestError(first, words, 511, &length);
      throw std::runtime_error(
          bench::format("the first run was not cancelled at half: state %d, code %d, HTTP %d, "
                        "%lld of %lld bytes, %s",
                        cancelled.state, cancelled.curlCode, cancelled.responseCode, written, total,
                        std::string(words, words + length).c_str()));
    }
    QL_RemoveRequest(first);
    const long long kept = static_cast<long long>(std::filesystem::file_size(path + ".part"));
    // The access log gets its line once the server has ended the cancelled response.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long long firstSent = lastBytesSent(options.text("log"));

    // The resumed run's time: its range and version checks, the kept half
    // hashed again, and the rest.
    const auto resumedAt = std::chrono::steady_clock::now();
    const unsigned second = QL_DownloadFileEx(url.c_str(), widePath.c_str(), &resumable);
    const QL_REQUEST_INFO info = bench::waitForEnd(second);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - resumedAt).count();
    QL_RemoveRequest(second);
    bench::drainLog();
    if (info.state != QL_STATE_DONE) throw std::runtime_error("the resumed run failed");
    bench::expectFile(path, static_cast<std::uintmax_t>(size));
    const long long remainder = size - kept;
    const long long sent = lastBytesSent(options.text("log"));
    const double ratio = static_cast<double>(sent) / static_cast<double>(remainder);
    bench::report(name,
                  bench::format("%.4fx, %lld bytes sent for the resumed run in %.3f s (cancelled at %lld of %lld "
                                "bytes; that run was sent %lld)",
                                ratio, sent, seconds, kept, size, firstSent),
                  bench::format("remainder %lld bytes", remainder), "<= 1.01x", ratio <= 1.01);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options(
      argc, argv,
      {{"target", "verify"}, {"url", ""}, {"size", "0"}, {"dir", ""}, {"pairs", "15"}, {"sha256", ""}, {"log", ""}});
  QL_Initialize();
  const int status = options.text("target") == "resume" ? resumeTarget(options) : verifyTarget(options);
  QL_Cleanup();
  return status;
}
