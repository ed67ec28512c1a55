// Running a program to its end and collecting what it printed.
#pragma once

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

}  // namespace quillet_test
