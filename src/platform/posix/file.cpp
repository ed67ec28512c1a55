#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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

int openIn(int directory, const std::string& name, int flags, int access) {
  // O_NONBLOCK keeps a FIFO without a reader from hanging the caller.
  // O_APPEND puts every write at the file's real end, so a cut made by
  // another process shows in the size instead of leaving a zero-filled hole.
  flags |= access | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int descriptor;
  do {
    descriptor = ::openat(directory, name.c_str(), flags, 0666);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

// Creates the file, or opens it when it exists. `created` tells which: only
// a file found here is held to its read-only attribute. Creating comes first
// as an installer mostly writes files that are not there yet: one call then.
int openOrCreate(int directory, const std::string& name, int access, bool& created) {
  created = false;
  int descriptor = openIn(directory, name, O_CREAT | O_EXCL, access);
  if (descriptor >= 0) {
    created = true;
    return descriptor;
  }
  if (errno != EEXIST) return descriptor;
  descriptor = openIn(directory, name, 0, access);
  if (descriptor >= 0 || errno != ENOENT) return descriptor;
  // Removed by someone else meanwhile, or a link to a missing file.
  return openIn(directory, name, O_CREAT, access);
}

#ifdef O_PATH
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;  // needs no read permission
#else
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Splits a path into its folder and the name inside it. The folder is opened
// first and kept, so that the end of a download finds the file's name where
// it was opened, whatever happens to the working directory or to links on
// the way to that folder meanwhile.
struct Location {
  std::string folder;
  std::string name;
};

Location locate(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool setAppend(int descriptor, bool append) {
  const int flags = ::fcntl(descriptor, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(descriptor, F_SETFL, append ? flags | O_APPEND : flags & ~O_APPEND) == 0;
}

}  // namespace

bool File::openExclusive(const std::u16string& path, bool readable) {
  close();
  std::string name;
  if (!utf16ToUtf8(path, name) || name.find('\0') != std::string::npos) {
    setLastError(kErrorInvalidName);
    return false;
  }
  Location location = locate(name);
  // A path that ends in a folder names no file to write; the system says so
  // for the whole path.
  if (location.name.empty() || location.name == "." || location.name == "..") {
    location = {".", name};
  }
  int directory;
  do {
    directory = ::open(location.folder.c_str(), kDirectoryFlags);
  } while (directory < 0 && errno == EINTR);
  if (directory < 0) {
    setOpenError(errno);
    return false;
  }
  bool created = false;
  const int descriptor = openOrCreate(directory, location.name, readable ? O_RDWR : O_WRONLY, created);
  if (descriptor < 0) {
    setOpenError(errno);
    ::close(directory);
    return false;
  }
  const auto fail = [descriptor, directory](uint32_t code) {
    ::close(descriptor);
    ::close(directory);
    setLastError(code);
    return false;
  };
  // Of the open's flags only O_NONBLOCK goes; F_SETFL leaves the others.
  ::fcntl(descriptor, F_SETFL, O_APPEND);

  // Windows refuses write access to a read-only file to everyone, before it
  // looks at who else has the file open; root here would be let through, so
  // the attribute is checked by hand.
  struct stat status {};
  const auto readOnly = [&] { return !created && (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; };
  // The lock belongs to this open file description, so any other opener, in
  // this process or another, is turned away while it is held.
  int locked;
  do {
    locked = ::flock(descriptor, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int error = errno;
    if (::fstat(descriptor, &status) == 0 && readOnly()) return fail(kErrorAccessDenied);
    return fail(error == EWOULDBLOCK ? kErrorSharingViolation : posix::windowsCode(error));
  }
  // Under the lock, so the size is the one this handle goes on from.
  if (::fstat(descriptor, &status) != 0) return fail(posix::windowsCode(errno));
  if (readOnly()) return fail(kErrorAccessDenied);
  state_.handle = descriptor;
  state_.position = 0;
  state_.end = static_cast<int64_t>(status.st_size);
  state_.regular = S_ISREG(status.st_mode);
  state_.directory = directory;
  name_ = std::move(location.name);
  return true;
}

bool File::openForReading(const std::u16string& path) {
  close();
  std::string name;
  if (!utf16ToUtf8(path, name) || name.find('\0') != std::string::npos) {
    setLastError(kErrorInvalidName);
    return false;
  }
  if (name.empty()) {  // as Windows answers it
    setLastError(kErrorPathNotFound);
    return false;
  }
  int descriptor;
  do {
    descriptor = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    // Windows tells a missing file from a missing folder on the way to it.
    const int error = errno;
    struct stat folder {};
    const bool folderThere = ::stat(locate(name).folder.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode);
    setLastError(error == ENOENT && folderThere ? kErrorFileNotFound
                 : error == ENOENT              ? kErrorPathNotFound
                                                : posix::windowsCode(error));
    return false;
  }
  const auto fail = [descriptor](uint32_t code) {
    ::close(descriptor);
    setLastError(code);
    return false;
  };
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) return fail(posix::windowsCode(errno));
  if (S_ISDIR(status.st_mode)) return fail(kErrorAccessDenied);
  // A shared lock: readers side by side, but not beside a download, which
  // holds the exclusive one.
  int locked;
  do {
    locked = ::flock(descriptor, LOCK_SH | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return fail(errno == EWOULDBLOCK ? kErrorSharingViolation : posix::windowsCode(errno));
  state_.handle = descriptor;
  state_.position = 0;
  state_.end = static_cast<int64_t>(status.st_size);
  state_.regular = S_ISREG(status.st_mode);
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
  // Writes place themselves; the system call only refuses what cannot seek,
  // which a plain file never does.
  if (!state_.regular && ::lseek(descriptorOf(state_.handle), static_cast<off_t>(offset), SEEK_SET) < 0) {
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
  // Nothing to cut: a fresh download's usual case.
  if (state_.regular && state_.position == state_.end) return true;
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
  if (opened.st_nlink == 0) {
    setLastError(kErrorFileNotFound);  // unlinked: no name leads to it any more
    return false;
  }
  // The name itself is judged, not what it leads to: a symbolic link there
  // may have been switched on the way to the file, which leaves the file as
  // it was, so a link at the name is no evidence either way.
  struct stat named {};
  if (::fstatat(descriptorOf(state_.directory), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISLNK(named.st_mode) && (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)) {
      setLastError(kErrorFileNotFound);  // the name stands for another file now
      return false;
    }
  } else if (errno == ENOENT) {
    setLastError(kErrorFileNotFound);  // renamed away: the name stands for none
    return false;
  }
  // Devices and pipes have no size to hold to.
  if (S_ISREG(opened.st_mode) && static_cast<int64_t>(opened.st_size) != state_.end) {
    setLastError(kErrorSharingViolation);  // another writer cut or grew it
    return false;
  }
  return true;
}

bool File::readAt(int64_t offset, void* data, uint32_t size, uint32_t& read) {
  read = 0;
  if (!isOpen()) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  ssize_t count;
  do {
    count = ::pread(descriptorOf(state_.handle), data, size, static_cast<off_t>(offset));
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    posix::setLastErrno(errno);
    return false;
  }
  read = static_cast<uint32_t>(count);
  return true;
}

bool File::replace(const std::u16string& target) {
  if (!isOpen()) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  std::string path;
  if (!utf16ToUtf8(target, path) || path.find('\0') != std::string::npos) {
    setLastError(kErrorInvalidName);
    return false;
  }
  const std::string name = locate(path).name;
  // The data reaches the disk before the name does, so that a crash cannot
  // leave the new name on a file without its bytes.
  const int directory = descriptorOf(state_.directory);
  const bool done = (::fsync(descriptorOf(state_.handle)) == 0 || errno == EINVAL) &&
                    ::renameat(directory, name_.c_str(), directory, name.c_str()) == 0;
  const int error = errno;
  close();
  if (!done) posix::setLastErrno(error);
  return done;
}

bool File::remove() {
  if (!isOpen()) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  const bool removed = ::unlinkat(descriptorOf(state_.directory), name_.c_str(), 0) == 0;
  const int error = errno;
  close();
  if (!removed) posix::setLastErrno(error);
  return removed;
}

namespace {

// The record's name beside the open file, or false with the reason recorded.
bool besideName(bool open, const std::string& name, const std::u16string& suffix, std::string& out) {
  if (!open) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  std::string tail;
  if (!utf16ToUtf8(suffix, tail) || tail.find('\0') != std::string::npos || tail.find('/') != std::string::npos) {
    setLastError(kErrorInvalidName);
    return false;
  }
  out = name + tail;
  return true;
}

// Closes `descriptor` keeping the errno of the call that failed before.
void closeKeepingError(int descriptor) {
  const int error = errno;
  ::close(descriptor);
  errno = error;
}

}  // namespace

bool File::writeBeside(const std::u16string& suffix, const std::string& bytes) const {
  std::string name;
  if (!besideName(isOpen(), name_, suffix, name)) return false;
  // Never through a link: the record belongs in this folder, under this name.
  int descriptor;
  do {
    descriptor = ::openat(descriptorOf(state_.directory), name.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    posix::setLastErrno(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count = ::write(descriptor, bytes.data() + done, bytes.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      if (count == 0) errno = ENOSPC;
      closeKeepingError(descriptor);
      posix::setLastErrno(errno);
      return false;
    }
    done += static_cast<std::size_t>(count);
  }
  ::close(descriptor);
  return true;
}

bool File::readBeside(const std::u16string& suffix, std::string& bytes, std::size_t limit) const {
  bytes.clear();
  std::string name;
  if (!besideName(isOpen(), name_, suffix, name)) return false;
  int descriptor;
  do {
    descriptor = ::openat(descriptorOf(state_.directory), name.c_str(),
                          O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    setOpenError(errno);
    return false;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      closeKeepingError(descriptor);
      posix::setLastErrno(errno);
      return false;
    }
    if (count == 0) break;
    if (bytes.size() + static_cast<std::size_t>(count) > limit) {
      ::close(descriptor);
      bytes.clear();
      setLastError(kErrorFileTooLarge);
      return false;
    }
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(descriptor);
  return true;
}

bool File::removeBeside(const std::u16string& suffix) const {
  std::string name;
  if (!besideName(isOpen(), name_, suffix, name)) return false;
  if (::unlinkat(descriptorOf(state_.directory), name.c_str(), 0) == 0) return true;
  setOpenError(errno);
  return false;
}

bool File::spaceLeft(int64_t& bytes) const {
  if (!isOpen()) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  struct statvfs volume {};
  if (::fstatvfs(descriptorOf(state_.handle), &volume) != 0) {
    posix::setLastErrno(errno);
    return false;
  }
  bytes = static_cast<int64_t>(volume.f_bavail) * static_cast<int64_t>(volume.f_frsize);
  return true;
}

bool mayReplace(const std::u16string& path) {
  std::string name;
  if (!utf16ToUtf8(path, name) || name.find('\0') != std::string::npos) {
    setLastError(kErrorInvalidName);
    return false;
  }
  // What opening such a name for writing meets: a folder (EISDIR), and for a
  // file found there its read-only attribute, which Windows holds everyone
  // to, root here included.
  struct stat status {};
  if (!name.empty() && name.back() == '/') {
    setLastError(posix::windowsCode(EISDIR));
    return false;
  }
  if (::stat(name.c_str(), &status) != 0) return true;  // missing, or the open will say why
  if (S_ISDIR(status.st_mode)) {
    setLastError(posix::windowsCode(EISDIR));
    return false;
  }
  if (S_ISREG(status.st_mode) && (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    setLastError(kErrorAccessDenied);
    return false;
  }
  return true;
}

void File::close() noexcept {
  if (!isOpen()) return;
  // Closing the last descriptor of the description also drops the lock.
  ::close(descriptorOf(state_.handle));
  if (state_.directory != kClosed) ::close(descriptorOf(state_.directory));
  state_ = State{};
  name_.clear();
}

}  // namespace ql::platform
