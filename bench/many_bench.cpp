// An installer's usual workload: many small files, a few at a time. The
// library keeps --parallel QL_DownloadFile calls running over the whole list,
// starting the next file as soon as one ends; the anchor is the curl command
// line fetching the same list with --parallel --parallel-max. Every file of
// both sides is compared with the served one, outside the timed part. Over
// HTTPS both sides verify the server: with --untrusted-url both must first
// refuse a certificate that the CA bundle does not vouch for.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

#include "bench.h"

extern char** environ;

namespace {

struct Job {
  std::string url;     // the folder the files are served from, ending in '/'
  std::string source;  // the same folder on disk
  std::string dir;     // where both sides write
  std::vector<std::string> names;
  int parallel = 8;
  bool asJob = false;                   // one download job instead of a call per file
  std::chrono::microseconds poll{100};  // how often the host looks
  std::string connectionsFile;          // a relay's count of accepted connections, when there is one
  long mostConnections = 0;             // the most one job run opened through the relay
};

long connectionsSoFar(const Job& job) {
  if (job.connectionsFile.empty()) return 0;
  std::ifstream in(job.connectionsFile);
  long count = 0;
  in >> count;
  return count;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string target(const Job& job, const char* side, std::size_t i) {
  return job.dir + "/" + side + "-" + job.names[i];
}

// Every written file must hold the served bytes; then it goes.
void expectFiles(const Job& job, const char* side) {
  for (std::size_t i = 0; i < job.names.size(); ++i) {
    const std::string path = target(job, side, i);
    if (readAll(path) != readAll(job.source + "/" + job.names[i])) {
      throw std::runtime_error(bench::format("%s differs from the served %s", path.c_str(), job.names[i].c_str()));
    }
    std::filesystem::remove(path);
  }
}

// Keeps `parallel` downloads running until the list is done. A failed file
// fails the run, with its libcurl code.
double libraryRun(const Job& job) {
  struct Running {
    unsigned id;
    std::size_t index;
  };
  std::deque<Running> running;
  std::vector<std::u16string> paths;
  for (std::size_t i = 0; i < job.names.size(); ++i) {
    const std::string path = target(job, "library", i);
    paths.emplace_back(path.begin(), path.end());
  }
  const auto start = bench::Clock::now();
  std::size_t next = 0;
  while (next < job.names.size() || !running.empty()) {
    while (next < job.names.size() && running.size() < static_cast<std::size_t>(job.parallel)) {
      const std::string url = job.url + job.names[next];
      running.push_back({QL_DownloadFile(url.c_str(), paths[next].c_str()), next});
      ++next;
    }
    bool ended = false;
    for (auto it = running.begin(); it != running.end();) {
      QL_REQUEST_INFO info{};
      QL_RequestInfo(it->id, &info);
      if (info.state == QL_STATE_RUNNING) {
        ++it;
        continue;
      }
      if (info.state != QL_STATE_DONE) {
        throw std::runtime_error(bench::format("download of %s failed, libcurl code %d, status %d",
                                               job.names[it->index].c_str(), info.curlCode, info.responseCode));
      }
      QL_RemoveRequest(it->id);
      it = running.erase(it);
      ended = true;
    }
    // An installer polls too; a short nap keeps the poll off the CPU the
    // transfers need.
    if (!ended) std::this_thread::sleep_for(job.poll);
  }
  const double seconds = bench::secondsSince(start);
  bench::drainLog();
  return seconds;
}

// The whole list handed to one job at once; the host only polls the job's
// progress, as a UI timer does, until every file has ended.
double jobRun(Job& job) {
  std::vector<std::u16string> paths;
  for (std::size_t i = 0; i < job.names.size(); ++i) {
    const std::string path = target(job, "library", i);
    paths.emplace_back(path.begin(), path.end());
  }
  const long connectionsBefore = connectionsSoFar(job);
  const auto start = bench::Clock::now();
  QL_JOB_OPTIONS settings{sizeof(QL_JOB_OPTIONS), 0, static_cast<unsigned>(job.parallel), 0, 0};
  const unsigned id = QL_CreateJob(&settings);
  if (id == 0) throw std::runtime_error("no job");
  for (std::size_t i = 0; i < job.names.size(); ++i) {
    const std::string url = job.url + job.names[i];
    QL_DOWNLOAD_OPTIONS options{};
    options.size = sizeof(options);
    options.job = id;
    QL_DownloadFileEx(url.c_str(), paths[i].c_str(), &options);
  }
  QL_JOB_PROGRESS progress{};
  progress.size = sizeof(progress);
  while (QL_JobProgress(id, &progress) == 1 && progress.filesDone + progress.filesFailed < progress.files) {
    std::this_thread::sleep_for(job.poll);
  }
  const double seconds = bench::secondsSince(start);
  QL_RemoveJob(id);
  job.mostConnections = std::max(job.mostConnections, connectionsSoFar(job) - connectionsBefore);
  bench::drainLog();
  if (progress.filesFailed != 0) throw std::runtime_error(bench::format("%u files failed", progress.filesFailed));
  return seconds;
}

// Peak resident memory and threads of this process, from /proc.
long long statusField(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0) return std::stoll(line.substr(std::string(field).size()));
  }
  return -1;
}

// A whole install's manifest queued in one job: what it costs to hold
// `count` files that wait, with no thread of their own.
int queueRun(const Job& job, std::size_t count) {
  const std::string name = bench::format("job holding %zu queued files", count);
  const char* goal = "peak RSS <= 64 MiB";
  return bench::run(name, goal, [&] {
    QL_JOB_OPTIONS settings{sizeof(QL_JOB_OPTIONS), 0, static_cast<unsigned>(job.parallel), 0, 0};
    const unsigned id = QL_CreateJob(&settings);
    if (id == 0) throw std::runtime_error("no job");
    QL_PauseJob(id, 1);  // every file waits
    const long long threadsBefore = statusField("Threads:");
    for (std::size_t i = 0; i < count; ++i) {
      const std::string url = job.url + job.names[i % job.names.size()];
      const std::string path = job.dir + "/queued-" + std::to_string(i);
      const std::u16string widePath(path.begin(), path.end());
      QL_DOWNLOAD_OPTIONS options{};
      options.size = sizeof(options);
      options.job = id;
      QL_DownloadFileEx(url.c_str(), widePath.c_str(), &options);
    }
    QL_JOB_PROGRESS progress{};
    progress.size = sizeof(progress);
    QL_JobProgress(id, &progress);
    const long long threads = statusField("Threads:");
    const long long peakKiB = statusField("VmHWM:");
    QL_RemoveJob(id);
    bench::drainLog();
    if (progress.files != count) throw std::runtime_error(bench::format("%u files in the job", progress.files));
    bench::report(name,
                  bench::format("peak RSS %.1f MiB, %lld threads (%lld before the files)", peakKiB / 1024.0, threads,
                                threadsBefore),
                  "none", goal, peakKiB <= 64 * 1024 && threads <= threadsBefore + 2);
  });
}

int spawnCurl(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawnp(&child, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
    throw std::runtime_error("cannot start curl");
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The whole list in one curl command line, read from a config file.
double curlRun(const Job& job, const std::string& config) {
  const auto start = bench::Clock::now();
  const int code = spawnCurl({"curl", "-s", "--no-progress-meter", "--fail", "--parallel", "--parallel-max",
                              std::to_string(job.parallel), "-K", config});
  const double seconds = bench::secondsSince(start);
  if (code != 0) throw std::runtime_error(bench::format("curl failed with exit status %d", code));
  return seconds;
}

std::string writeCurlConfig(const Job& job) {
  const std::string config = job.dir + "/curl-list.cfg";
  std::ofstream out(config);
  for (std::size_t i = 0; i < job.names.size(); ++i) {
    out << "url = \"" << job.url << job.names[i] << "\"\noutput = \"" << target(job, "curl", i) << "\"\n";
  }
  if (!out) throw std::runtime_error("cannot write " + config);
  return config;
}

// Both sides must refuse a certificate the bundle does not vouch for, with
// libcurl's (and so curl's) code for a failed peer verification.
void expectRefused(const std::string& url, const std::string& dir) {
  constexpr int kPeerFailedVerification = 60;
  const std::string path = dir + "/untrusted.bin";
  const std::u16string widePath(path.begin(), path.end());
  const unsigned id = QL_DownloadFile(url.c_str(), widePath.c_str());
  const QL_REQUEST_INFO info = bench::waitForEnd(id);
  QL_RemoveRequest(id);
  bench::drainLog();
  const int curlCode = spawnCurl({"curl", "-s", "-o", path, url});
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  std::cerr << bench::format("  untrusted server: QL_DownloadFile libcurl code %d, curl exit status %d\n",
                             info.curlCode, curlCode);
  if (info.curlCode != kPeerFailedVerification || curlCode != kPeerFailedVerification) {
    throw std::runtime_error(bench::format(
        "an untrusted server was not refused by both sides (libcurl code %d, curl exit status %d; 60 expected)",
        info.curlCode, curlCode));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options(argc, argv,
                               {{"url", ""},
                                {"source", ""},
                                {"dir", ""},
                                {"parallel", "8"},
                                {"pairs", "5"},
                                {"untrusted-url", ""},
                                {"job", "0"},
                                {"queue", "0"},
                                {"poll-us", "100"},
                                {"connections-file", ""},
                                {"max-connections", "0"},
                                {"limit-percent", "0"}});
  Job job;
  job.url = options.text("url");
  job.source = options.text("source");
  job.dir = options.text("dir");
  job.parallel = static_cast<int>(options.number("parallel"));
  job.asJob = options.number("job") != 0;
  job.poll = std::chrono::microseconds(static_cast<long long>(options.number("poll-us")));
  job.connectionsFile = options.text("connections-file");
  const long maxConnections = static_cast<long>(options.number("max-connections"));
  for (const auto& entry : std::filesystem::directory_iterator(job.source)) {
    job.names.push_back(entry.path().filename().string());
  }
  std::sort(job.names.begin(), job.names.end());
  if (options.number("queue") != 0) {
    QL_Initialize();
    const int status = queueRun(job, static_cast<std::size_t>(options.number("queue")));
    QL_Cleanup();
    return status;
  }
  const bool https = job.url.rfind("https:", 0) == 0;
  const std::uintmax_t size = job.names.empty() ? 0 : std::filesystem::file_size(job.source + "/" + job.names[0]);
  const std::string name =
      bench::format("%s %zu x %ju KiB over %s, %d at once, host polling every %lld us",
                    job.asJob ? "job of many files" : "many files", job.names.size(), size >> 10,
                    https ? "HTTPS" : "HTTP", job.parallel, static_cast<long long>(job.poll.count()));
  // A job runs at the network's pace whatever the host's; a call per file
  // is allowed a little for the host's part.
  const double limit = options.number("limit-percent") != 0 ? static_cast<double>(options.number("limit-percent")) / 100
                       : job.asJob                          ? 1.0
                                                            : 1.2;
  const std::string goal = bench::format("<= %.1fx", limit) +
                           (maxConnections != 0 ? bench::format(", at most %ld connections", maxConnections) : "");
  QL_Initialize();
  const int status = bench::run(name, goal, [&] {
    if (job.names.empty()) throw std::runtime_error("no files in " + job.source);
    if (https && options.text("untrusted-url").empty()) {
      throw std::runtime_error("an HTTPS run needs --untrusted-url to show that both sides verify");
    }
    if (https) expectRefused(options.text("untrusted-url"), job.dir);
    const std::string config = writeCurlConfig(job);
    std::cerr << name << (job.asJob ? ": QL_CreateJob / curl --parallel\n" : ": QL_DownloadFile / curl --parallel\n");
    const bench::PairFigures figures = bench::alternate(
        static_cast<int>(options.number("pairs")),
        [&] {
          const double seconds = job.asJob ? jobRun(job) : libraryRun(job);
          expectFiles(job, "library");
          return seconds;
        },
        [&] {
          const double seconds = curlRun(job, config);
          expectFiles(job, "curl");
          return seconds;
        });
    std::filesystem::remove(config);
    bench::report(name,
                  bench::format("%.3fx, %s %.3f s (pairs %.2f..%.2f, %d pairs)%s", figures.ratio,
                                job.asJob ? "job" : "QL_DownloadFile", figures.a, figures.lowRatio, figures.highRatio,
                                figures.pairs,
                                job.connectionsFile.empty()
                                    ? ""
                                    : bench::format(", at most %ld connections a run", job.mostConnections).c_str()),
                  bench::format("curl --parallel --parallel-max %d %.3f s", job.parallel, figures.b), goal,
                  figures.ratio <= limit && (maxConnections == 0 || job.mostConnections <= maxConnections));
  });
  QL_Cleanup();
  return status;
}
