#include "bench.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

extern char** environ;

namespace bench {

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, pattern, copy);
  va_end(copy);
  std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), pattern, args);
  va_end(args);
  text.pop_back();
  return text;
}

Options::Options(int argc, char** argv, const std::map<std::string, std::string>& defaults) : values_(defaults) {
  for (int i = 1; i < argc; i += 2) {
    const std::string name = argv[i];
    if (name.rfind("--", 0) != 0 || i + 1 >= argc || values_.count(name.substr(2)) == 0) {
      throw std::runtime_error("bad argument " + name);
    }
    values_[name.substr(2)] = argv[i + 1];
  }
}

std::string Options::text(const std::string& name) const { return values_.at(name); }

long long Options::number(const std::string& name) const { return std::stoll(values_.at(name)); }

int spawn(const std::vector<std::string>& args, const std::string& out) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t child = 0;
  const int started = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (started != 0) throw std::runtime_error("cannot start " + args[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

PairFigures alternate(int pairs, const Timed& a, const Timed& b) {
  std::vector<double> ratios;
  std::vector<double> as;
  std::vector<double> bs;
  for (int pair = 0; pair < pairs; ++pair) {
    double timeA = 0;
    double timeB = 0;
    if (pair % 2 == 0) {
      timeA = a();
      timeB = b();
    } else {
      timeB = b();
      timeA = a();
    }
    std::cerr << format("  pair %d: %.4f s / %.4f s = %.3f\n", pair + 1, timeA, timeB, timeA / timeB);
    ratios.push_back(timeA / timeB);
    as.push_back(timeA);
    bs.push_back(timeB);
  }
  const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
  return {median(ratios), median(as), median(bs), *low, *high, pairs};
}

QL_REQUEST_INFO waitForEnd(unsigned id, std::chrono::microseconds interval) {
  const auto limit = Clock::now() + std::chrono::minutes(10);
  QL_REQUEST_INFO info{};
  for (;;) {
    if (QL_RequestInfo(id, &info) == 0) {
      throw std::runtime_error(format("request %u not found", id));
    }
    if (info.state != QL_STATE_RUNNING) {
      return info;
    }
    if (Clock::now() > limit) {
      throw std::runtime_error(format("request %u still runs after ten minutes", id));
    }
    std::this_thread::sleep_for(interval);
  }
}

namespace {
int entriesIn(const char* folder) {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
    ++count;
  }
  return count;
}
}  // namespace

int threadCount() { return entriesIn("/proc/self/task"); }

int openDescriptors() {
  return entriesIn("/proc/self/fd") - 1;  // the directory iterator's own
}

void raiseFileLimit() {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
}

void drainLog() {
  QL_WCHAR buffer[4096];
  int length = 0;
  while (QL_PullLogRecord(buffer, sizeof buffer / sizeof buffer[0], &length) != 0) {
  }
}

void report(const std::string& name, const std::string& figure, const std::string& anchor, const std::string& goal,
            bool met) {
  std::cout << name << ": " << figure << " (anchor " << anchor << ") goal " << goal << " \u2014 "
            << (met ? "met" : "NOT met") << std::endl;
}

int run(const std::string& name, const std::string& goal, const std::function<void()>& body) {
  try {
    body();
    return 0;
  } catch (const std::exception& error) {
    report(name, std::string("failed: ") + error.what(), "not measured", goal, false);
    return 1;
  }
}

std::u16string widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

void expectFile(const std::string& path, std::uintmax_t size) {
  if (std::filesystem::file_size(path) != size) {
    throw std::runtime_error(
        format("%s holds %ju bytes, not %ju", path.c_str(), std::filesystem::file_size(path), size));
  }
  std::filesystem::remove(path);
}

}  // namespace bench
