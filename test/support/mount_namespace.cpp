#include "support/mount_namespace.h"

#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillet_test {

std::string showInPrivateNamespace(const std::string& target, const std::string& contents, std::string* keptFile) {
  char file[] = "/tmp/quillet-mount-XXXXXX";
  const int descriptor = ::mkstemp(file);
  if (descriptor < 0) return std::string("mkstemp: ") + std::strerror(errno);
  const bool written = ::write(descriptor, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
  ::close(descriptor);
  std::string error;
  if (!written) {
    error = "writing the contents for " + target + " failed";
  } else if (::unshare(CLONE_NEWNS) != 0) {
    error = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
  } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    // Private, so the mount below does not travel back to the parent namespace.
    error = std::string("making / private: ") + std::strerror(errno);
  } else if (::mount(file, target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    error = "bind-mounting over " + target + ": " + std::strerror(errno);
  }
  if (error.empty() && keptFile != nullptr) {
    *keptFile = file;
  } else {
    ::unlink(file);
  }
  return error;
}

}  // namespace quillet_test
