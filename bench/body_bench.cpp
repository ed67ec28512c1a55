// In-memory bodies: QL_Request, polled to its end, then both QL_RequestData
// calls, against libcurl writing into a doubling buffer and widening the same
// bytes to 16-bit units. Then one large body must arrive byte-exact.
#include <curl/curl.h>

#include <cstring>
#include <fstream>
#include <iostream>

#include "bench.h"

namespace {

// The host's side of QL_RequestData: the body length, then the body.
struct HostBody {
  std::unique_ptr<QL_WCHAR[]> units;
  int size = 0;
};

HostBody fetchWithLibrary(const std::string& url, double& seconds) {
  const auto start = bench::Clock::now();
  const unsigned id = QL_Request(0, url.c_str(), nullptr);
  const QL_REQUEST_INFO info = bench::waitForEnd(id);
  HostBody body;
  if (QL_RequestData(id, nullptr, &body.size) == 0) {
    throw std::runtime_error("QL_RequestData gave no length");
  }
  body.units = bench::uninitialized<QL_WCHAR>(static_cast<std::size_t>(body.size));
  if (body.size > 0 && QL_RequestData(id, body.units.get(), &body.size) == 0) {
    throw std::runtime_error("QL_RequestData gave no body");
  }
  seconds = bench::secondsSince(start);
  QL_RemoveRequest(id);
  bench::drainLog();
  if (info.state != QL_STATE_DONE) {
    throw std::runtime_error(bench::format("request ended in state %d, libcurl code %d, after %.1f s with %d bytes",
                                           info.state, info.curlCode, seconds, body.size));
  }
  return body;
}

// libcurl alone: a buffer that doubles, then sign-extended widening.
class DoublingBuffer {
 public:
  static size_t write(char* data, size_t, size_t count, void* self) {
    static_cast<DoublingBuffer*>(self)->append(data, count);
    return count;
  }
  void append(const char* data, std::size_t count) {
    if (size_ + count > capacity_) {
      std::size_t capacity = std::max<std::size_t>(capacity_ * 2, 16 * 1024);
      while (capacity < size_ + count) {
        capacity *= 2;
      }
      auto bigger = bench::uninitialized<char>(capacity);
      std::memcpy(bigger.get(), bytes_.get(), size_);
      bytes_ = std::move(bigger);
      capacity_ = capacity;
    }
    std::memcpy(bytes_.get() + size_, data, count);
    size_ += count;
  }
  const char* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

double fetchWithLibcurl(const std::string& url, std::size_t expected) {
  const auto start = bench::Clock::now();
  DoublingBuffer buffer;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), &curl_easy_cleanup);
  curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, &DoublingBuffer::write);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, static_cast<void*>(&buffer));
  const CURLcode code = curl_easy_perform(handle.get());
  handle.reset();
  auto units = bench::uninitialized<QL_WCHAR>(buffer.size());
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    units[i] = static_cast<QL_WCHAR>(static_cast<signed char>(buffer.data()[i]));
  }
  const double seconds = bench::secondsSince(start);
  if (code != CURLE_OK || buffer.size() != expected) {
    throw std::runtime_error(bench::format("libcurl: code %d, %zu bytes", static_cast<int>(code), buffer.size()));
  }
  return seconds;
}

std::size_t fileSize(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) {
    throw std::runtime_error("cannot open " + path);
  }
  return static_cast<std::size_t>(file.tellg());
}

// Every unit must be its file byte, sign-extended.
void compareWithFile(const HostBody& body, const std::string& path) {
  if (static_cast<std::size_t>(body.size) != fileSize(path)) {
    throw std::runtime_error(bench::format("%d bytes, the file has %zu", body.size, fileSize(path)));
  }
  std::ifstream file(path, std::ios::binary);
  std::vector<char> chunk(1 << 20);
  std::size_t offset = 0;
  while (offset < static_cast<std::size_t>(body.size)) {
    file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got == 0) {
      throw std::runtime_error("short read of " + path);
    }
    for (std::size_t i = 0; i < got; ++i) {
      if (body.units[offset + i] != static_cast<QL_WCHAR>(static_cast<signed char>(chunk[i]))) {
        throw std::runtime_error(bench::format("unit %zu differs from the file", offset + i));
      }
    }
    offset += got;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options(argc, argv,
                               {{"url", ""}, {"file", ""}, {"big-url", ""}, {"big-file", ""}, {"pairs", "7"}});
  QL_Initialize();
  curl_global_init(CURL_GLOBAL_ALL);
  const std::size_t size = fileSize(options.text("file"));
  const std::string name = bench::format("in-memory body %zu MiB", size >> 20);
  int failures = bench::run(name, "<= 1.20x", [&] {
    const std::string url = options.text("url");
    std::cerr << name << ": quillet / libcurl\n";
    const bench::PairFigures figures = bench::alternate(
        static_cast<int>(options.number("pairs")),
        [&] {
          double seconds = 0;
          if (static_cast<std::size_t>(fetchWithLibrary(url, seconds).size) != size) {
            throw std::runtime_error("body size differs from the file");
          }
          return seconds;
        },
        [&] { return fetchWithLibcurl(url, size); });
    bench::report(name,
                  bench::format("%.2fx, quillet %.3f s (pairs %.2f..%.2f, %d pairs)", figures.ratio, figures.a,
                                figures.lowRatio, figures.highRatio, figures.pairs),
                  bench::format("libcurl + doubling buffer + widening %.3f s", figures.b), "<= 1.20x",
                  figures.ratio <= 1.2);
  });
  const std::size_t bigSize = fileSize(options.text("big-file"));
  const std::string bigName = bench::format("in-memory body %zu MiB", bigSize >> 20);
  failures += bench::run(bigName, "completes byte-exact", [&] {
    double seconds = 0;
    const HostBody body = fetchWithLibrary(options.text("big-url"), seconds);
    compareWithFile(body, options.text("big-file"));
    bench::report(bigName, bench::format("done, byte-exact, %.2f s", seconds),
                  bench::format("the file's %zu bytes", bigSize), "completes byte-exact", true);
  });
  QL_Cleanup();
  curl_global_cleanup();
  return failures == 0 ? 0 : 1;
}
