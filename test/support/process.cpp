#include "support/process.h"

#include <sys/wait.h>
#include <unistd.h>

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

std::optional<std::string> runInForkedChild(const std::function<std::string()>& work) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    return std::nullopt;
  }
  if (child == 0) {
    // No return into the test framework and no exit handlers: the child
    // shares them with its parent.
    ::close(pipeEnds[0]);
    int status = 1;
    try {
      const std::string result = work();
      std::size_t sent = 0;
      while (sent < result.size()) {
        const ssize_t count = ::write(pipeEnds[1], result.data() + sent, result.size() - sent);
        if (count <= 0) break;
        sent += static_cast<std::size_t>(count);
      }
      if (sent == result.size()) status = 0;
    } catch (...) {
    }
    ::_exit(status);
  }
  ::close(pipeEnds[1]);
  std::string result;
  char chunk[4096];
  ssize_t count;
  while ((count = ::read(pipeEnds[0], chunk, sizeof chunk)) > 0) result.append(chunk, static_cast<std::size_t>(count));
  ::close(pipeEnds[0]);
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return result;
}

}  // namespace quillet_test
