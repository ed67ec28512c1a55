// Shared pieces of the benchmark programs. They drive the library only through
// its exports, as the installer does, and print one summary line per target
// on standard output (details go to standard error).
#pragma once

#include <quillet/quillet.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start);

// printf-style formatting into a std::string.
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

// An ASCII path as the UTF-16 the exports take.
std::u16string widen(const std::string& ascii);
// Throws unless the downloaded file holds `size` bytes; removes it.
void expectFile(const std::string& path, std::uintmax_t size);

// "--name value" pairs from the command line; unknown names are an error.
class Options {
 public:
  Options(int argc, char** argv, const std::map<std::string, std::string>& defaults);
  std::string text(const std::string& name) const;
  long long number(const std::string& name) const;

 private:
  std::map<std::string, std::string> values_;
};

// Storage the caller overwrites completely: no zero fill.
template <class T>
std::unique_ptr<T[]> uninitialized(std::size_t count) {
  return std::unique_ptr<T[]>(new T[count]);
}

// One side of a comparison: does its work once and returns the seconds it
// timed, so set-up and tear-down can stay outside the figure. Throws
// std::runtime_error when the work failed.
using Timed = std::function<double()>;

struct PairFigures {
  double ratio;     // median of the pair ratios a/b
  double a;         // median seconds of side a
  double b;         // median seconds of side b
  double lowRatio;  // smallest and largest pair ratio, to show the spread
  double highRatio;
  int pairs;
};

// Runs a and b alternately over `pairs` pairs (every other pair starts with b,
// so neither side always runs second) and takes the median of the ratios.
PairFigures alternate(int pairs, const Timed& a, const Timed& b);

double median(std::vector<double> values);

// Polls QL_RequestInfo every `interval` until the request is no longer
// running, and returns what the last call saw. Throws when the id is unknown
// or the request still runs after ten minutes.
QL_REQUEST_INFO waitForEnd(unsigned id, std::chrono::microseconds interval = std::chrono::milliseconds(1));

// Runs a program, found on PATH, to its end; its exit status (-1 when it did
// not exit), its standard output to `out`. Throws when it cannot start.
int spawn(const std::vector<std::string>& args, const std::string& out = "/dev/null");

// Threads of this process, from /proc/self/task.
int threadCount();

// Open descriptors of this process, from /proc/self/fd.
int openDescriptors();

// Raises the soft limit on open files to the hard one: every download at once
// holds its file and its connection.
void raiseFileLimit();

// Drops every queued log record, so a long run does not pile them up.
void drainLog();

// The summary line: "name: figure (anchor X) goal G — met|NOT met".
void report(const std::string& name, const std::string& figure, const std::string& anchor, const std::string& goal,
            bool met);

// Runs body and turns an exception into a NOT met line for `name`; returns
// the process exit code.
int run(const std::string& name, const std::string& goal, const std::function<void()>& body);

}  // namespace bench
