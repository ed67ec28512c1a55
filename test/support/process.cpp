#include "support/process.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "support/temp_dir.h"

namespace quillet_test {
namespace {

std::string quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input) {
  TempDir scratch;
  writeFile(scratch.file("in"), input);
  std::string command = quote(program);
  for (const auto& argument : arguments) command += " " + quote(argument);
  command += " <" + quote(scratch.file("in").string()) + " >" + quote(scratch.file("out").string()) + " 2>" +
             quote(scratch.file("err").string());
  int status = std::system(command.c_str());
  ProcessResult result;
  if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.out = readFile(scratch.file("out"));
  result.err = readFile(scratch.file("err"));
  return result;
}

}  // namespace quillet_test
