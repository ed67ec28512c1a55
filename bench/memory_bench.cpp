// Memory and descriptors per running download: N QL_DownloadFile calls at
// once against plain libcurl threads (one std::thread per download, each
// curl_easy_perform writing the same URL to a file of its own). The URL is
// rate-limited so that every download really runs at the same time. Each
// side runs in a fresh process of its own (this program again, with
// --side), so neither inherits the other's heap; the figure is the ratio of
// their peak resident sizes.
#include <curl/curl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "bench.h"

extern char** environ;

namespace {

// A line of /proc/self/status in KiB, e.g. "VmHWM".
long statusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      return std::stol(line.substr(field.size() + 1));
    }
  }
  throw std::runtime_error("no " + field + " in /proc/self/status");
}

// What one side measured, as the child prints it on one line.
struct SideFigures {
  long peakKiB = 0;       // VmHWM at the end
  long baseKiB = 0;       // VmRSS before the first download
  int baseFiles = 0;      // descriptors before the first download
  int peakFiles = 0;      // most descriptors seen at once
  int peakRunning = 0;    // most downloads seen running at once
  int runningAtPeak = 0;  // downloads running when the most descriptors were seen
  int failures = 0;
  double seconds = 0;
};

std::string encode(const SideFigures& f) {
  return bench::format("%ld %ld %d %d %d %d %d %.3f", f.peakKiB, f.baseKiB, f.baseFiles, f.peakFiles, f.peakRunning,
                       f.runningAtPeak, f.failures, f.seconds);
}

SideFigures decode(const std::string& line) {
  SideFigures f;
  std::istringstream in(line);
  if (!(in >> f.peakKiB >> f.baseKiB >> f.baseFiles >> f.peakFiles >> f.peakRunning >> f.runningAtPeak >> f.failures >>
        f.seconds)) {
    throw std::runtime_error("unreadable side figures: " + line);
  }
  return f;
}

struct Job {
  std::string url;
  std::string dir;
  int count = 0;
  std::uintmax_t size = 0;
};

std::string pathOf(const Job& job, const char* side, int i) {
  return job.dir + bench::format("/memory-%s-%d.bin", side, i);
}

// Samples descriptors and running downloads every 20 ms until none runs or
// five minutes have passed.
template <class Running>
void watch(SideFigures& figures, int count, const Running& running) {
  const auto limit = bench::Clock::now() + std::chrono::minutes(5);
  for (int now = count; now > 0 && bench::Clock::now() < limit;) {
    now = running();
    const int files = bench::openDescriptors();
    figures.peakRunning = std::max(figures.peakRunning, now);
    if (files > figures.peakFiles) {
      figures.peakFiles = files;
      figures.runningAtPeak = now;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int countFailures(const Job& job, const char* side, const std::vector<bool>& succeeded) {
  int failures = 0;
  for (int i = 0; i < job.count; ++i) {
    std::error_code error;
    const std::string path = pathOf(job, side, i);
    const bool complete = std::filesystem::file_size(path, error) == job.size && !error;
    failures += succeeded[static_cast<std::size_t>(i)] && complete ? 0 : 1;
    std::filesystem::remove(path, error);
  }
  return failures;
}

SideFigures runQuillet(const Job& job) {
  SideFigures figures;
  QL_Initialize();
  figures.baseKiB = statusKiB("VmRSS");
  figures.baseFiles = bench::openDescriptors();
  const auto start = bench::Clock::now();
  std::vector<unsigned> ids;
  for (int i = 0; i < job.count; ++i) {
    const std::string path = pathOf(job, "quillet", i);
    const std::u16string widePath(path.begin(), path.end());
    ids.push_back(QL_DownloadFile(job.url.c_str(), widePath.c_str()));
  }
  watch(figures, job.count, [&] {
    int running = 0;
    for (const unsigned id : ids) {
      QL_REQUEST_INFO info{};
      QL_RequestInfo(id, &info);
      running += info.state == QL_STATE_RUNNING ? 1 : 0;
    }
    bench::drainLog();
    return running;
  });
  figures.seconds = bench::secondsSince(start);
  std::vector<bool> succeeded;
  for (const unsigned id : ids) {
    QL_REQUEST_INFO info{};
    QL_RequestInfo(id, &info);
    succeeded.push_back(info.state == QL_STATE_DONE);
  }
  figures.peakKiB = statusKiB("VmHWM");
  QL_Cleanup();
  bench::drainLog();
  figures.failures = countFailures(job, "quillet", succeeded);
  return figures;
}

SideFigures runLibcurl(const Job& job) {
  SideFigures figures;
  curl_global_init(CURL_GLOBAL_ALL);
  figures.baseKiB = statusKiB("VmRSS");
  figures.baseFiles = bench::openDescriptors();
  const auto start = bench::Clock::now();
  std::atomic<int> running{0};
  std::vector<char> done(static_cast<std::size_t>(job.count), 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < job.count; ++i) {
    threads.emplace_back([&job, &running, &done, i] {
      // Running from before the file opens until after it closes, so every
      // descriptor seen belongs to a running download.
      ++running;
      FILE* file = std::fopen(pathOf(job, "libcurl", i).c_str(), "wb");
      CURL* handle = curl_easy_init();
      if (file == nullptr || handle == nullptr) {
        if (file != nullptr) std::fclose(file);
        curl_easy_cleanup(handle);
        --running;
        return;
      }
      curl_easy_setopt(handle, CURLOPT_URL, job.url.c_str());
      curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(handle, CURLOPT_WRITEDATA, file);
      const CURLcode code = curl_easy_perform(handle);
      long status = 0;
      curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
      curl_easy_cleanup(handle);
      const bool closed = std::fclose(file) == 0;
      done[static_cast<std::size_t>(i)] = code == CURLE_OK && status == 200 && closed;
      --running;
    });
  }
  watch(figures, job.count, [&] { return running.load(); });
  for (std::thread& thread : threads) thread.join();
  figures.seconds = bench::secondsSince(start);
  figures.peakKiB = statusKiB("VmHWM");
  curl_global_cleanup();
  figures.failures = countFailures(job, "libcurl", std::vector<bool>(done.begin(), done.end()));
  return figures;
}

// Runs this program again as one side and reads the line it prints.
SideFigures measureSide(const std::string& side, const Job& job) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
  const std::string count = std::to_string(job.count);
  const std::string size = std::to_string(job.size);
  const char* argv[] = {"/proc/self/exe", "--side",  side.c_str(),  "--url",  job.url.c_str(), "--dir",
                        job.dir.c_str(),  "--count", count.c_str(), "--size", size.c_str(),    nullptr};
  pid_t child = 0;
  const int spawned = posix_spawn(&child, "/proc/self/exe", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  if (spawned != 0) {
    close(pipeEnds[0]);
    throw std::runtime_error("cannot start the " + side + " side");
  }
  std::string output;
  char chunk[256];
  for (ssize_t n; (n = read(pipeEnds[0], chunk, sizeof chunk)) > 0;) output.append(chunk, static_cast<std::size_t>(n));
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("the " + side + " side failed");
  }
  const SideFigures figures = decode(output);
  std::cerr << bench::format(
      "  %s: peak RSS %.1f MiB (%.1f before the first download), descriptors %d -> %d with %d running, "
      "%d at most running, %d failures, %.1f s\n",
      side.c_str(), static_cast<double>(figures.peakKiB) / 1024.0, static_cast<double>(figures.baseKiB) / 1024.0,
      figures.baseFiles, figures.peakFiles, figures.runningAtPeak, figures.peakRunning, figures.failures,
      figures.seconds);
  return figures;
}

double perDownloadKiB(const SideFigures& f, int count) { return static_cast<double>(f.peakKiB - f.baseKiB) / count; }

// Every download holds its descriptors while it runs, and all ran at once.
double perDownloadFiles(const SideFigures& f, int count) {
  return static_cast<double>(f.peakFiles - f.baseFiles) / count;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options(argc, argv, {{"url", ""}, {"size", "0"}, {"dir", ""}, {"count", "1000"}, {"side", ""}});
  Job job{options.text("url"), options.text("dir"), static_cast<int>(options.number("count")),
          static_cast<std::uintmax_t>(options.number("size"))};
  const std::string side = options.text("side");
  if (!side.empty()) {
    bench::raiseFileLimit();
    const SideFigures figures = side == "quillet" ? runQuillet(job) : runLibcurl(job);
    std::cout << encode(figures) << std::endl;
    return 0;
  }

  const std::string name = bench::format("memory %d downloads of %ju MiB", job.count, job.size >> 20);
  const std::string goal = "<= 1.2x";
  return bench::run(name, goal, [&] {
    const SideFigures quillet = measureSide("quillet", job);
    const SideFigures libcurl = measureSide("libcurl", job);
    for (const SideFigures* f : {&quillet, &libcurl}) {
      if (f->failures != 0 || f->peakRunning != job.count) {
        throw std::runtime_error(bench::format("%d failures, %d of %d downloads at most running at once", f->failures,
                                               f->peakRunning, job.count));
      }
    }
    const double ratio = static_cast<double>(quillet.peakKiB) / static_cast<double>(libcurl.peakKiB);
    bench::report(name,
                  bench::format("%.2fx, quillet peak RSS %.1f MiB (%.1f KiB and %.2f descriptors per download)", ratio,
                                static_cast<double>(quillet.peakKiB) / 1024.0, perDownloadKiB(quillet, job.count),
                                perDownloadFiles(quillet, job.count)),
                  bench::format("libcurl threads %.1f MiB (%.1f KiB and %.2f descriptors per download)",
                                static_cast<double>(libcurl.peakKiB) / 1024.0, perDownloadKiB(libcurl, job.count),
                                perDownloadFiles(libcurl, job.count)),
                  goal, ratio <= 1.2);
  });
}
