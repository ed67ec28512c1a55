// The subcommands of the quillet host. Each returns the process exit status:
// 0 success, 1 failure (with a one-line reason on stderr), 130 interrupted.
#pragma once

#include <string>
#include <vector>

namespace quillet_cli {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

struct Options {
  bool verbose = false;
};

// What `quillet download` asks of the download beyond URL and FILE.
struct DownloadOptions {
  std::string sha256;  // empty for none
  bool resume = false;
  bool atomic = false;
  std::vector<std::string> mirrors;
  unsigned retries = 0;
  long long bytesPerSecond = 0;  // 0 for no cap
};

// What `quillet job` asks of the job beyond LIST and DIR; 0 leaves a number
// to the library.
struct JobOptions {
  unsigned connections = 0;  // per host
  unsigned parallel = 0;     // files transferring at once
  long long bytesPerSecond = 0;
  bool http1 = false;
  std::string manifestSignature;  // a minisign signature of LIST; empty for none
  std::vector<std::string> keys;  // the public keys it must verify with (see runVerify)
};

// "500", "64k", "2M" (k = 1024, M = 1048576) as bytes per second; false for
// anything else.
bool parseRate(const std::string& text, long long& bytesPerSecond);

int runGet(const Options& options, const std::string& url);
int runPost(const Options& options, const std::string& url, const std::string* data);
int runDownload(const Options& options, const std::string& url, const std::string& file,
                const DownloadOptions& download);
// Downloads the files LIST names (one `URL [SHA256] [NAME]` a line) into DIR
// as one job of the library's.
int runJob(const Options& options, const std::string& list, const std::string& dir, const JobOptions& job);
// Checks SIGFILE, a minisign signature of FILE, against the PUBKEYs: each a
// public key file as minisign writes it, or the key's base64 line itself.
int runVerify(const Options& options, const std::string& file, const std::string& signatureFile,
              const std::vector<std::string>& keys);
int runJson(const Options& options, const std::string& file, const std::vector<std::string>& members);
int runUlid(const Options& options, int count);
int runDemo(const Options& options);

// Ctrl-C cancels the running request (or job) instead of killing the process.
void installInterruptHandler();
bool interrupted();

}  // namespace quillet_cli
