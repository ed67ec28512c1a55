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
  if (info.state != QL_STATE_DONE) return fail(describeFailure(info));
  return 0;
}

}  // namespace

void installInterruptHandler() { std::signal(SIGINT, onInterrupt); }
bool interrupted() { return interruptFlag.load(); }

int runGet(const Options& options, const std::string& url) { return runInMemory(options, 0, url, nullptr); }

int runPost(const Options& options, const std::string& url, const std::string* data) {
  return runInMemory(options, 1, url, data == nullptr ? nullptr : data->c_str());
}

int runDownload(const Options& options, const std::string& url, const std::string& file) {
  std::u16string path;
  if (!toWidePath(file, path)) return fail("the file name " + file + " is not UTF-8");
  LogPrinter log(options.verbose);
  HttpSession session(log);
  unsigned id = QL_DownloadFile(url.c_str(), reinterpret_cast<const QL_WCHAR*>(path.c_str()));
  ProgressReporter progress(stderr, isTerminal(stderr), terminalWidth(stderr));
  int total = -1;
  bool headSeen = false;
  QL_REQUEST_INFO info = waitForRequest(id, &interruptFlag, [&] {
    int downloaded = 0;
    if (QL_RequestDownloadProgress(id, &total, &downloaded) == 1) {
      headSeen = true;
      progress.update(static_cast<uint32_t>(downloaded), total);
    }
    log.drain();
  });
  std::error_code error;
  auto size = std::filesystem::file_size(std::filesystem::u8path(file), error);
  if (error) size = 0;
  if (headSeen || info.hasInfo) progress.finish(size, info.hasInfo ? info.contentLength : total);
  QL_RemoveRequest(id);
  log.drain();
  std::string finished = finishedText(log.records());
  if (interruptFlag.load()) {
    std::fprintf(stderr, "quillet: download cancelled; the partial file %s keeps its %ju bytes\n", file.c_str(),
                 static_cast<uintmax_t>(size));
    return kExitInterrupted;
  }
  if (info.state != QL_STATE_DONE) return fail("download failed: " + describeDownloadFailure(info, finished, file));
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
