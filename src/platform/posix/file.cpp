#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "util/text.h"

namespace ql::platform {
namespace {

int descriptorOf(intptr_t handle) { return static_cast<int>(handle); }

// A missing component of the path means the path, not the file, is missing:
// the file itself is created when it does not exist.
void setOpenError(int error) {
  setLastError(error == ENOENT || error == ENOTDIR ? kErrorPathNotFound
                                                   : posix::windowsCode(error));
}

}  // namespace

bool File::openExclusive(const std::u16string& path) {
  close();
  std::string name;
  if (!utf16ToUtf8(path, name) || name.find('\0') != std::string::npos) {
    setLastError(kErrorInvalidName);
    return false;
  }
  int descriptor;
  do {
    // O_NONBLOCK keeps a FIFO without a reader from hanging the caller.
    descriptor = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    setOpenError(errno);
    return false;
  }
  const int flags = ::fcntl(descriptor, F_GETFL);
  if (flags >= 0) ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);

  // The lock belongs to this open file description, so any other opener, in
  // this process or another, is turned away while it is held.
  int locked;
  do {
    locked = ::flock(descriptor, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int error = errno;
    ::close(descriptor);
    setLastError(error == EWOULDBLOCK ? kErrorSharingViolation : posix::windowsCode(error));
    return false;
  }
  handle_ = descriptor;
  return true;
}

bool File::size(int64_t& bytes) const {
  if (!isOpen()) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  struct stat status {};
  if (::fstat(descriptorOf(handle_), &status) != 0) {
    posix::setLastErrno(errno);
    return false;
  }
  bytes = static_cast<int64_t>(status.st_size);
  return true;
}

bool File::seek(int64_t offset) {
  if (!isOpen()) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  if (offset < 0) {
    setLastError(131);  // before the beginning of the file
    return false;
  }
  if (::lseek(descriptorOf(handle_), static_cast<off_t>(offset), SEEK_SET) < 0) {
    posix::setLastErrno(errno);
    return false;
  }
  return true;
}

bool File::truncate() {
  if (!isOpen()) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  const off_t position = ::lseek(descriptorOf(handle_), 0, SEEK_CUR);
  if (position < 0) {
    posix::setLastErrno(errno);
    return false;
  }
  int result;
  do {
    result = ::ftruncate(descriptorOf(handle_), position);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    posix::setLastErrno(errno);
    return false;
  }
  return true;
}

bool File::write(const void* data, uint32_t size, uint32_t& written) {
  written = 0;
  if (!isOpen()) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  if (size == 0) return true;
  if (data == nullptr) {
    setLastError(998);  // invalid access to memory location
    return false;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (written < size) {
    const ssize_t count = ::write(descriptorOf(handle_), bytes + written, size - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      posix::setLastErrno(errno);
      return false;
    }
    if (count == 0) {  // no progress and no reason given: the disk is full
      setLastError(kErrorDiskFull);
      return false;
    }
    written += static_cast<uint32_t>(count);
  }
  return true;
}

void File::close() noexcept {
  if (!isOpen()) return;
  // Closing the last descriptor of the description also drops the lock.
  ::close(descriptorOf(handle_));
  handle_ = kClosed;
}

}  // namespace ql::platform
