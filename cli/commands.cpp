#include "commands.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
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

bool readWhole(const std::string& path, std::string& bytes) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The PUBKEY arguments as the exports take them, a key a line: a file's
// contents, or the argument itself where no file has that name.
std::string keysText(const std::vector<std::string>& keys) {
  std::string text;
  for (const std::string& key : keys) {
    std::string contents;
    text += (readWhole(key, contents) ? contents : key) + "\n";
  }
  return text;
}

// What the signature check just made says of itself: "Signature verified:
// key ID" or "Signature check failed: REASON".
std::string signatureRecord(LogPrinter& log) {
  log.drain();
  const auto& records = log.records();
  const auto found = std::find_if(records.rbegin(), records.rend(),
                                  [](const std::string& record) { return record.rfind("Signature ", 0) == 0; });
  return found == records.rend() ? "Signature check failed" : *found;
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

namespace {

// One line of a job list.
struct JobFile {
  std::string url;
  std::string sha256;  // empty for none
  std::string name;    // the file's name inside DIR
  std::size_t line = 0;
};

bool isSha256(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

// The last component of the URL's path, query and fragment left out; empty
// when the path ends in '/' or there is none.
std::string nameFromUrl(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  const std::size_t scheme = path.find("://");
  if (scheme != std::string::npos) {
    const std::size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? std::string() : path.substr(slash);
  }
  return path.substr(path.rfind('/') + 1);
}

// A name must stay inside DIR: one component, neither "." nor "..", on
// Windows too, where '\\' separates as well.
bool staysInside(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// Reads LIST's `text` into `files`; false with `problem` set ("LIST:LINE:
// what") when a line is not `URL [SHA256] [NAME]`.
bool readJobList(const std::string& list, const std::string& text, std::vector<JobFile>& files, std::string& problem) {
  std::istringstream in(text);
  std::map<std::string, std::size_t> lineOfName;
  std::size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string where = list + ":" + std::to_string(number) + ": ";
    std::istringstream fields(line);
    std::vector<std::string> words{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
    if (words.empty() || words[0][0] == '#') continue;
    if (words.size() > 3) {
      problem = where + "expected URL [SHA256] [NAME], found " + std::to_string(words.size()) + " fields";
      return false;
    }
    JobFile file{words[0], {}, {}, number};
    // Two fields are URL and SHA256 when the second is 64 hex digits, else URL and NAME.
    if (words.size() == 3 || (words.size() == 2 && isSha256(words[1]))) file.sha256 = words[1];
    if (words.size() == 3 && !isSha256(file.sha256)) {
      problem = where + "the SHA-256 " + file.sha256 + " is not 64 hex digits";
      return false;
    }
    const bool named = words.size() == 3 || (words.size() == 2 && file.sha256.empty());
    file.name = named ? words.back() : nameFromUrl(file.url);
    if (!staysInside(file.name)) {
      problem = where + (file.name.empty() ? "the URL names no file; add a NAME"
                                           : "the name " + file.name + " must be a plain file name inside DIR");
      return false;
    }
    const auto earlier = lineOfName.emplace(file.name, number);
    if (!earlier.second) {
      problem = where + "the name " + file.name + " is taken by line " + std::to_string(earlier.first->second);
      return false;
    }
    files.push_back(std::move(file));
  }
  if (files.empty()) {
    problem = list + " names no file";
    return false;
  }
  return true;
}

std::string filesLabel(const QL_JOB_PROGRESS& figures) {
  std::string label = std::to_string(figures.filesDone) + "/" + std::to_string(figures.files) + " files";
  if (figures.filesFailed > 0) label += " (" + std::to_string(figures.filesFailed) + " failed)";
  return label;
}

// How often the job's figures are read: often enough for a smooth bar, rare
// enough to cost nothing next to the transfers.
constexpr unsigned kJobPollMilliseconds = 150;

}  // namespace

int runJob(const Options& options, const std::string& list, const std::string& dir, const JobOptions& job) {
  std::string text;
  if (!readWhole(list, text)) {
    std::fprintf(stderr, "quillet: cannot read %s\n", list.c_str());
    return kExitUsage;
  }
  // The bytes verified are the bytes parsed: the list is read once.
  if (!job.manifestSignature.empty()) {
    std::string signature;
    if (!readWhole(job.manifestSignature, signature)) return fail("cannot read " + job.manifestSignature);
    if (text.size() > UINT32_MAX) return fail(list + ": too large to verify");
    LogPrinter log(options.verbose);
    const int verified = QL_VerifySignature(text.data(), static_cast<unsigned>(text.size()), signature.c_str(),
                                            keysText(job.keys).c_str());
    const std::string record = signatureRecord(log);
    if (verified != 1) return fail(list + ": " + record + "; no file fetched");
    std::fprintf(stderr, "quillet: %s: %s\n", list.c_str(), record.c_str());
  }
  std::vector<JobFile> files;
  std::string problem;
  if (!readJobList(list, text, files, problem)) {
    std::fprintf(stderr, "quillet: %s\n", problem.c_str());
    return kExitUsage;
  }
  namespace fs = std::filesystem;
  std::error_code error;
  fs::create_directories(fs::u8path(dir), error);
  if (error) return fail("cannot create " + dir + ": " + error.message());

  // A file already under its name with no .part beside it was finished by an
  // earlier run, so running the same command again goes on where it stopped.
  std::vector<JobFile> pending;
  std::vector<std::string> targets;
  std::vector<std::u16string> paths;
  for (JobFile& file : files) {
    const std::string target = (fs::u8path(dir) / fs::u8path(file.name)).u8string();
    std::u16string path;
    if (!toWidePath(target, path)) {
      std::fprintf(stderr, "quillet: %s:%zu: the path %s is not UTF-8\n", list.c_str(), file.line, target.c_str());
      return kExitUsage;
    }
    if (fs::is_regular_file(fs::u8path(target), error) && !fs::exists(fs::u8path(target + ".part"), error)) continue;
    targets.push_back(target);
    paths.push_back(std::move(path));
    pending.push_back(std::move(file));
  }
  if (pending.size() < files.size()) {
    std::fprintf(stderr, "quillet: %zu of %zu files already in %s, not fetched again\n", files.size() - pending.size(),
                 files.size(), dir.c_str());
  }
  if (pending.empty()) return 0;

  LogPrinter log(options.verbose);
  HttpSession session(log);
  const QL_JOB_OPTIONS settings{sizeof(QL_JOB_OPTIONS), job.http1 ? QL_JOB_HTTP1 : 0u, job.parallel, job.connections,
                                job.bytesPerSecond};
  const unsigned id = QL_CreateJob(&settings);
  log.drain();
  if (id == 0) return fail("cannot create the download job");
  std::vector<unsigned> requests;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    QL_DOWNLOAD_OPTIONS download{};
    download.size = sizeof(download);
    download.flags = QL_DOWNLOAD_RESUME | QL_DOWNLOAD_ATOMIC;
    download.expectedSize = -1;
    download.sha256 = pending[i].sha256.empty() ? nullptr : pending[i].sha256.c_str();
    download.job = id;
    requests.push_back(
        QL_DownloadFileEx(pending[i].url.c_str(), reinterpret_cast<const QL_WCHAR*>(paths[i].c_str()), &download));
  }

  ProgressReporter progress(stderr, isTerminal(stderr), terminalWidth(stderr));
  QL_JOB_PROGRESS figures{};
  figures.size = sizeof(figures);
  // QL_WaitJob is the poll's pause: it returns at once when the last file ends.
  while (!interruptFlag.load() && QL_WaitJob(id, kJobPollMilliseconds) == 0) {
    if (QL_JobProgress(id, &figures) == 1) {
      progress.setLabel(filesLabel(figures));
      progress.update(static_cast<uint64_t>(figures.bytesWritten), figures.bytesTotal, ProgressReporter::Clock::now(),
                      static_cast<double>(figures.bytesPerSecond));
    }
    log.drain();
  }
  log.drain();
  QL_JobProgress(id, &figures);
  progress.setLabel(filesLabel(figures));
  progress.finish(static_cast<uint64_t>(figures.bytesWritten), figures.bytesTotal);

  if (interruptFlag.load()) {
    QL_RemoveJob(id);
    log.drain();
    std::fprintf(stderr, "quillet: job cancelled with %u of %zu files done; the .part files in %s keep what arrived\n",
                 figures.filesDone, pending.size(), dir.c_str());
    std::fprintf(stderr, "quillet: run the same command again to resume\n");
    return kExitInterrupted;
  }
  std::vector<std::string> failed;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    QL_REQUEST_INFO info;
    QL_RequestInfo(requests[i], &info);
    if (info.state == QL_STATE_DONE) continue;
    failed.push_back(pending[i].name);
    std::fprintf(stderr, "quillet: %s failed: %s\n", pending[i].name.c_str(),
                 describeDownloadFailure(info, requestError(requests[i]), targets[i]).c_str());
  }
  QL_RemoveJob(id);
  log.drain();
  if (!failed.empty()) {
    std::string names;
    for (const std::string& name : failed) names += (names.empty() ? "" : ", ") + name;
    return fail("job failed: " + std::to_string(failed.size()) + " of " + std::to_string(pending.size()) +
                " files failed (" + names + ")");
  }
  std::fprintf(stderr, "quillet: saved %zu files, %s, to %s\n", pending.size(),
               formatBytes(static_cast<uint64_t>(figures.bytesWritten)).c_str(), dir.c_str());
  return 0;
}

int runVerify(const Options& options, const std::string& file, const std::string& signatureFile,
              const std::vector<std::string>& keys) {
  std::string signature;
  if (!readWhole(signatureFile, signature)) return fail("cannot read " + signatureFile);
  std::u16string path;
  if (!toWidePath(file, path)) return fail("the file name " + file + " is not UTF-8");
  LogPrinter log(options.verbose);
  const int verified = QL_VerifyFileSignature(reinterpret_cast<const QL_WCHAR*>(path.c_str()), signature.c_str(),
                                              keysText(keys).c_str());
  const std::string record = signatureRecord(log);
  if (verified != 1) return fail(file + ": " + record);
  std::fprintf(stderr, "quillet: %s: %s\n", file.c_str(), record.c_str());
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
