// Running a program and collecting what it printed.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quillet_test {

struct ProcessResult {
  int exitCode = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
};

// A program started with `arguments`, reading `input` from its standard input.
// Its standard output and error go to files, so the child never blocks on a
// full pipe however much it prints before wait() collects them. A process
// still running when the handle goes is killed and reaped.
class StartedProcess {
 public:
  StartedProcess(const std::string& program, const std::vector<std::string>& arguments, const std::string& input = {});
  ~StartedProcess();
  StartedProcess(const StartedProcess&) = delete;
  StartedProcess& operator=(const StartedProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // Sends SIGINT, as Ctrl+C in a terminal would.
  void interrupt();
  // Waits for the end and returns the exit code and everything printed.
  ProcessResult wait();

 private:
  TempDir scratch_;
  pid_t pid_ = -1;
};

// Runs `program` with `arguments` to its end, feeding `input` to its standard input.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input = {});

// Forks this process and runs `work` in the child; returns what the child's
// `work` returned, or nullopt when the child did not end cleanly.
std::optional<std::string> runInForkedChild(const std::function<std::string()>& work);

}  // namespace quillet_test
