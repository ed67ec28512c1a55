#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "text/text.h"

namespace ql::platform {
namespace {

int descriptorOf(intptr_t handle) { return static_cast<int>(handle); }

// A missing component of the path means the path, not the file, is missing:
// the file itself is created when it does not exist.
void setOpenError(int error) {
  setLastError(error == ENOENT || error == ENOTDIR ? kErrorPathNotFound : posix::windowsCode(error));
}

int openName(const std::string& name, int flags) {
  // O_NONBLOCK keeps a FIFO without a reader from hanging the caller.
  // O_APPEND puts every write at the file's real end, so a cut made by
  // another process shows in the size instead of leaving a zero-filled hole.
  flags |= O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int descriptor;
  do {
    descriptor = ::open(name.c_str(), flags, 0666);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

// Opens an existing file, or creates it when missing. `created` tells which:
// only a file found here is held to its read-only attribute.
int openOrCreate(const std::string& name, bool& created) {
  created = false;
  int descriptor = openName(name, 0);
  if (descriptor >= 0 || errno != ENOENT) return descriptor;
  descriptor = openName(name, O_CREAT | O_EXCL);
  if (descriptor >= 0) {
    created = true;
    return descriptor;
  }
  // Created by someone else meanwhile, or a link to a missing file.
  if (errno != EEXIST) return descriptor;
  return openName(name, O_CREAT);
}

// The check at the end must find the file that was opened even when the
// host has changed its working directory meanwhile.
std::string absolute(std::string name) {
  if (!name.empty() && name[0] == '/') return name;
  char directory[4096];
  if (::getcwd(directory, sizeof directory) == nullptr) return name;
  return std::string(directory) + "/" + name;
}

bool setAppend(int descriptor, bool append) {
  const int flags = ::fcntl(descriptor, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(descriptor, F_SETFL, append ? flags | O_APPEND : flags & ~O_APPEND) == 0;
}

}  // namespace

bool File::openExclusive(const std::u16string& path) {
  close();
  std::string name;
  if (!utf16ToUtf8(path, name) || name.find('\0') != std::string::npos) {
    setLastError(kErrorInvalidName);
    return false;
  }
  bool created = false;
  const int descriptor = openOrCreate(name, created);
  if (descriptor < 0) {
    setOpenError(errno);
    return false;
  }
  const auto fail = [descriptor](uint32_t code) {
    ::close(descriptor);
    setLastError(code);
    return false;
  };
  const int flags = ::fcntl(descriptor, F_GETFL);
  if (flags >= 0) ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);

  struct stat status {};
  if (::fstat(descriptor, &status) != 0) return fail(posix::windowsCode(errno));
  // Windows refuses write access to a read-only file to everyone; root here
  // would be let through, so the attribute is checked by hand.
  if (!created && (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    return fail(kErrorAccessDenied);
  }

  // The lock belongs to this open file description, so any other opener, in
  // this process or another, is turned away while it is held.
  int locked;
  do {
    locked = ::flock(descriptor, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int error = errno;
    return fail(error == EWOULDBLOCK ? kErrorSharingViolation : posix::windowsCode(error));
  }
  state_.handle = descriptor;
  state_.position = 0;
  state_.end = static_cast<int64_t>(status.st_size);
  path_ = absolute(std::move(name));
  return true;
}

namespace {

// What the system knows of the open file; false, with the reason recorded,
// when it is closed or cannot be asked.
bool statOpen(bool open, intptr_t handle, struct stat& status) {
  if (!open) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  if (::fstat(descriptorOf(handle), &status) != 0) {
    posix::setLastErrno(errno);
    return false;
  }
  return true;
}

}  // namespace

bool File::size(int64_t& bytes) const {
  struct stat status {};
  if (!statOpen(isOpen(), state_.handle, status)) return false;
  bytes = static_cast<int64_t>(status.st_size);
  return true;
}

bool File::seek(int64_t offset) {
  if (!isOpen()) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  if (offset < 0) {
    setLastError(kErrorNegativeSeek);
    return false;
  }
  // Writes place themselves; the system call only refuses what cannot seek.
  if (::lseek(descriptorOf(state_.handle), static_cast<off_t>(offset), SEEK_SET) < 0) {
    posix::setLastErrno(errno);
    return false;
  }
  state_.position = offset;
  return true;
}

bool File::truncate() {
  if (!isOpen()) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  int result;
  do {
    result = ::ftruncate(descriptorOf(state_.handle), static_cast<off_t>(state_.position));
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    posix::setLastErrno(errno);
    return false;
  }
  state_.end = state_.position;
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
    setLastError(kErrorNoAccess);
    return false;
  }
  const int descriptor = descriptorOf(state_.handle);
  // A download only ever appends: one write per chunk. Anywhere else (after a
  // seek without a cut) the bytes go exactly where the position says.
  const bool atEnd = state_.position == state_.end;
  if (!atEnd && !setAppend(descriptor, false)) {
    posix::setLastErrno(errno);
    return false;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  bool ok = true;
  while (written < size) {
    const ssize_t count =
        atEnd ? ::write(descriptor, bytes + written, size - written)
              : ::pwrite(descriptor, bytes + written, size - written, static_cast<off_t>(state_.position));
    if (count < 0) {
      if (errno == EINTR) continue;
      posix::setLastErrno(errno);
      ok = false;
      break;
    }
    if (count == 0) {  // no progress and no reason given: the disk is full
      setLastError(kErrorDiskFull);
      ok = false;
      break;
    }
    written += static_cast<uint32_t>(count);
    state_.position += count;
  }
  state_.end = std::max(state_.end, state_.position);
  if (!atEnd) {
    const uint32_t code = lastError();
    setAppend(descriptor, true);  // cannot fail on an open descriptor
    setLastError(code);
  }
  return ok;
}

bool File::verifyIntact() const {
  struct stat opened {};
  if (!statOpen(isOpen(), state_.handle, opened)) return false;
  struct stat named {};
  if (::stat(path_.c_str(), &named) != 0) {
    // Renamed away or unlinked (or its directory was): not at the path.
    setLastError(errno == ENOENT || errno == ENOTDIR ? kErrorFileNotFound : posix::windowsCode(errno));
    return false;
  }
  if (opened.st_nlink == 0 || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
    setLastError(kErrorFileNotFound);  // the path names another file now
    return false;
  }
  // Devices and pipes have no size to hold to.
  if (S_ISREG(opened.st_mode) && static_cast<int64_t>(opened.st_size) != state_.end) {
    setLastError(kErrorSharingViolation);  // another writer cut or grew it
    return false;
  }
  return true;
}

void File::close() noexcept {
  if (!isOpen()) return;
  // Closing the last descriptor of the description also drops the lock.
  ::close(descriptorOf(state_.handle));
  state_ = State{};
  path_.clear();
}

}  // namespace ql::platform
