// Running a program to its end and collecting what it printed.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillet_test {

struct ProcessResult {
  int exitCode = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs `program` with `arguments`, feeding `input` to its standard input.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input = {});

// Forks this process and runs `work` in the child; returns what the child's
// `work` returned, or nullopt when the child did not end cleanly.
std::optional<std::string> runInForkedChild(const std::function<std::string()>& work);

}  // namespace quillet_test
