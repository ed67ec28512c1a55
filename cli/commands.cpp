#include "commands.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "host.h"
#include "progress.h"
#include "quillet/quillet.h"
#include "terminal.h"

namespace quillet_cli {
namespace {

std::atomic<bool> interruptFlag{false};

extern "C" void onInterrupt(int) { interruptFlag.store(true); }

// Brings the HTTP system up for one command and always takes it down again,
// draining the records each step leaves.
class HttpSession {
 public:
  explicit HttpSession(LogPrinter& log) : log_(log) {
    QL_Initialize();
    log_.drain();
  }
  ~HttpSession() {
    QL_Cleanup();
    log_.drain();
  }
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

 private:
  LogPrinter& log_;
};

int fail(const std::string& reason) {
  std::fprintf(stderr, "quillet: %s\n", reason.c_str());
  return kExitFailure;
}

int runInMemory(const Options& options, int post, const std::string& url, const char* data) {
  LogPrinter log(options.verbose);
  HttpSession session(log);
  unsigned id = QL_Request(post, url.c_str(), data);
  QL_REQUEST_INFO info = waitForRequest(id, &interruptFlag, [&] { log.drain(); });
  std::string body = requestBody(id);
  const std::string words = requestError(id);
  QL_RemoveRequest(id);
  log.drain();
  std::fwrite(body.data(), 1, body.size(), stdout);
  std::fflush(stdout);
  std::fprintf(stderr, "quillet: HTTP %d, content length %d, %zu bytes received\n", info.responseCode,
               info.contentLength, body.size());
  if (interruptFlag.load()) {
    std::fprintf(stderr, "quillet: request cancelled\n");
    return kExitInterrupted;
  }
  if (info.state != QL_STATE_DONE) return fail(describeFailure(info, words));
  return 0;
}

}  // namespace

void installInterruptHandler() { std::signal(SIGINT, onInterrupt); }
bool interrupted() { return interruptFlag.load(); }

int runGet(const Options& options, const std::string& url) { return runInMemory(options, 0, url, nullptr); }

int runPost(const Options& options, const std::string& url, const std::string* data) {
  return runInMemory(options, 1, url, data == nullptr ? nullptr : data->c_str());
}

bool parseRate(const std::string& text, long long& bytesPerSecond) {
  if (text.empty() || text.size() > 12) return false;
  long long value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
  if (i == 0) return false;
  if (i + 1 == text.size() && (text[i] == 'k' || text[i] == 'K')) {
    value *= 1024;
  } else if (i + 1 == text.size() && text[i] == 'M') {
    value *= 1024 * 1024;
  } else if (i != text.size()) {
    return false;
  }
  bytesPerSecond = value;
  return true;
}

int runDownload(const Options& options, const std::string& url, const std::string& file,
                const DownloadOptions& download) {
  std::u16string path;
  if (!toWidePath(file, path)) return fail("the file name " + file + " is not UTF-8");
  std::string mirrors;
  for (const std::string& mirror : download.mirrors) mirrors += mirror + "\n";
  QL_DOWNLOAD_OPTIONS settings{};
  settings.size = sizeof(settings);
  settings.flags = (download.resume ? QL_DOWNLOAD_RESUME : 0u) | (download.atomic ? QL_DOWNLOAD_ATOMIC : 0u);
  settings.expectedSize = -1;
  settings.sha256 = download.sha256.empty() ? nullptr : download.sha256.c_str();
  settings.mirrors = mirrors.empty() ? nullptr : mirrors.c_str();
  settings.retries = download.retries;
  settings.maxBytesPerSecond = download.bytesPerSecond;
  // Bytes go to FILE.part until complete whenever a hash is to be checked.
  const bool partFile = download.atomic || !download.sha256.empty();
  const std::string written = partFile ? file + ".part" : file;

  LogPrinter log(options.verbose);
  HttpSession session(log);
  unsigned id = QL_DownloadFileEx(url.c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()), &settings);
  ProgressReporter progress(stderr, isTerminal(stderr), terminalWidth(stderr));
  long long total = -1;
  long long done = 0;
  bool headSeen = false;
  QL_REQUEST_INFO info = waitForRequest(id, &interruptFlag, [&] {
    // The bar starts from the bytes a resume kept.
    if (QL_RequestDownloadProgress64(id, &total, &done) == 1 && (done > 0 || total >= 0)) {
      headSeen = true;
      progress.update(static_cast<uint64_t>(done), total);
    }
    log.drain();
  });
  QL_RequestDownloadProgress64(id, &total, &done);
  std::error_code error;
  const std::filesystem::path onDisk =
      std::filesystem::u8path(info.state == QL_STATE_DONE || !partFile ? file : written);
  auto size = std::filesystem::file_size(onDisk, error);
  if (error) size = 0;
  if (headSeen || info.hasInfo) progress.finish(size, total);
  const std::string words = requestError(id);
  QL_RemoveRequest(id);
  log.drain();
  if (interruptFlag.load()) {
    std::fprintf(stderr, "quillet: download cancelled; the partial file %s keeps its %ju bytes\n", written.c_str(),
                 static_cast<uintmax_t>(size));
    if (size > 0) std::fprintf(stderr, "quillet: run the same command with --resume to continue it\n");
    return kExitInterrupted;
  }
  if (info.state != QL_STATE_DONE) return fail("download failed: " + describeDownloadFailure(info, words, file));
  std::fprintf(stderr, "quillet: saved %ju bytes to %s (HTTP %d)\n", static_cast<uintmax_t>(size), file.c_str(),
               info.responseCode);
  return 0;
}

int runJson(const Options& options, const std::string& file, const std::vector<std::string>& members) {
  LogPrinter log(options.verbose);
  std::string text;
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(std::filesystem::u8path(file), std::ios::binary);
    if (!in) return fail("cannot read " + file);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (text.find('\0') != std::string::npos) return fail(file + ": the text holds a NUL byte");
  int document = QL_ParseJSON(text.c_str());
  log.drain();
  if (document == 0) return fail(file + ": not a JSON object");
  int status = 0;
  for (const auto& member : members) {
    std::string value;
    if (stringMember(document, member, value)) {
      std::fwrite(value.data(), 1, value.size(), stdout);
      std::fputc('\n', stdout);
    } else {
      std::fprintf(stderr, "quillet: member \"%s\" is missing or not a string\n", member.c_str());
      status = kExitFailure;
    }
  }
  if (members.empty())
    std::fprintf(stderr, "quillet: parsed a JSON object (document %u)\n", static_cast<unsigned>(document));
  return status;
}

int runUlid(const Options&, int count) {
  for (int i = 0; i < count; ++i) {
    QL_WCHAR units[26];
    QL_GenerateULID(units);
    std::printf("%s\n", unwiden(units, 26).c_str());
  }
  return 0;
}

}  // namespace quillet_cli
