#include "support/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace quillet_test {

StartedProcess::StartedProcess(const std::string& program, const std::vector<std::string>& arguments,
                               const std::string& input) {
  writeFile(scratch_.file("in"), input);
  const std::string in = scratch_.file("in").string();
  const std::string out = scratch_.file("out").string();
  const std::string err = scratch_.file("err").string();
  // Spawned rather than forked by hand: the tests run servers on threads of
  // their own, and a child of a threaded process may do little before exec.
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  const int created = O_WRONLY | O_CREAT | O_TRUNC;
  const bool ready = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.c_str(), O_RDONLY, 0) == 0 &&
                     posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), created, 0600) == 0 &&
                     posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), created, 0600) == 0;
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = -1;
  if (ready && posix_spawnp(&child, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) pid_ = child;
  posix_spawn_file_actions_destroy(&actions);
}

StartedProcess::~StartedProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

void StartedProcess::interrupt() {
  if (pid_ > 0) ::kill(pid_, SIGINT);
}

ProcessResult StartedProcess::wait() {
  ProcessResult result;
  if (pid_ <= 0) return result;
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  pid_ = -1;
  if (reaped > 0 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.out = readFile(scratch_.file("out"));
  result.err = readFile(scratch_.file("err"));
  return result;
}

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input) {
  return StartedProcess(program, arguments, input).wait();
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
