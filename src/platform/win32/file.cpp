#include <windows.h>

#include <algorithm>
#include <chrono>

#include "platform/platform.h"

namespace ql::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters expected");

HANDLE handleOf(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The full path of `path` as the working directory now resolves it; empty
// when the system cannot say.
std::u16string fullPath(const std::u16string& path) {
  const auto* name = reinterpret_cast<LPCWSTR>(path.c_str());
  const DWORD needed = ::GetFullPathNameW(name, 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::u16string full(needed, u'\0');
  const DWORD length = ::GetFullPathNameW(name, needed, reinterpret_cast<LPWSTR>(&full[0]), nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  return full;
}

std::u16string::size_type lastSeparator(const std::u16string& path) { return path.find_last_of(u"\\/"); }

// Virus scanners and indexers open a file the moment it is closed and hold
// it for a moment without sharing delete access; a rename of that file, or
// onto it, then fails with a sharing violation or access denied. The move is
// tried again after 50 ms, then after twice the last wait, until 5 s have
// passed. A target that may not be replaced at all (read-only, a folder)
// gives the same access denied and so fails only after those 5 s. On failure
// the source keeps its name and GetLastError() the last code.
bool moveWaitingForOthers(const std::u16string& source, const std::u16string& destination) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::seconds(5);
  std::chrono::milliseconds wait(50);
  for (;;) {
    if (::MoveFileExW(reinterpret_cast<LPCWSTR>(source.c_str()), reinterpret_cast<LPCWSTR>(destination.c_str()),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = ::GetLastError();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || left.count() <= 0) {
      ::SetLastError(error);  // whatever reading the clock did to it
      return false;
    }
    ::Sleep(static_cast<DWORD>(std::min(wait, left).count()));
    wait *= 2;
  }
}

}  // namespace

namespace {

// CreateFileW, but a NUL inside the path, which would silently name another
// file, fails with ERROR_INVALID_NAME.
HANDLE createFile(const std::u16string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  if (path.find(u'\0') != std::u16string::npos) {
    ::SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  return ::CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), access, share, nullptr, disposition, flags, nullptr);
}

int64_t sizeOf(HANDLE handle) {
  LARGE_INTEGER size;
  return ::GetFileSizeEx(handle, &size) ? size.QuadPart : 0;  // a device: no size
}

}  // namespace

bool File::openExclusive(const std::u16string& path, bool readable) {
  close();
  const DWORD access = readable ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
  HANDLE handle = createFile(path, access, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (handle == INVALID_HANDLE_VALUE) return false;
  path_ = fullPath(path);
  state_.handle = reinterpret_cast<intptr_t>(handle);
  state_.position = 0;
  state_.end = sizeOf(handle);
  return true;
}

bool File::openForReading(const std::u16string& path) {
  close();
  HANDLE handle =
      createFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
  if (handle == INVALID_HANDLE_VALUE) return false;
  state_.handle = reinterpret_cast<intptr_t>(handle);
  state_.position = 0;
  state_.end = sizeOf(handle);
  return true;
}

bool File::size(int64_t& bytes) const {
  if (!isOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  LARGE_INTEGER value;
  if (!::GetFileSizeEx(handleOf(state_.handle), &value)) return false;
  bytes = value.QuadPart;
  return true;
}

bool File::seek(int64_t offset) {
  if (!isOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  if (!::SetFilePointerEx(handleOf(state_.handle), distance, nullptr, FILE_BEGIN)) return false;
  state_.position = offset;
  return true;
}

bool File::truncate() {
  if (!isOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!::SetEndOfFile(handleOf(state_.handle))) return false;
  state_.end = state_.position;
  return true;
}

bool File::write(const void* data, uint32_t size, uint32_t& written) {
  written = 0;
  if (!isOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (size == 0) return true;
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (written < size) {
    DWORD count = 0;
    if (!::WriteFile(handleOf(state_.handle), bytes + written, size - written, &count, nullptr)) {
      break;
    }
    if (count == 0) {
      ::SetLastError(ERROR_DISK_FULL);
      break;
    }
    written += count;
    state_.position += count;
  }
  if (state_.position > state_.end) state_.end = state_.position;
  return written == size;
}

bool File::verifyIntact() const {
  if (!isOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // Without sharing nobody else can delete, rename or cut the file; the size
  // is checked all the same, as it costs one call.
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(handleOf(state_.handle), &size)) return true;  // a device: no size
  if (size.QuadPart != state_.end) {
    ::SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  }
  return true;
}

bool File::readAt(int64_t offset, void* data, uint32_t size, uint32_t& read) {
  read = 0;
  if (!isOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD count = 0;
  if (!::ReadFile(handleOf(state_.handle), data, size, &count, &at)) {
    if (::GetLastError() != ERROR_HANDLE_EOF) return false;
    count = 0;
  }
  read = count;
  return true;
}

bool File::replace(const std::u16string& target) {
  if (!isOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const auto folderEnd = lastSeparator(path_);
  const auto nameStart = lastSeparator(target);
  if (path_.empty() || folderEnd == std::u16string::npos) {
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  const std::u16string destination =
      path_.substr(0, folderEnd + 1) + (nameStart == std::u16string::npos ? target : target.substr(nameStart + 1));
  // The data reaches the disk before the name does.
  if (!::FlushFileBuffers(handleOf(state_.handle))) return false;
  const std::u16string source = path_;
  // The file is held without sharing, which a rename would run into.
  close();
  return moveWaitingForOthers(source, destination);
}

bool File::remove() {
  if (!isOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const std::u16string source = path_;
  close();
  return !source.empty() && ::DeleteFileW(reinterpret_cast<LPCWSTR>(source.c_str())) != 0;
}

namespace {

// The record's full path beside the open file at `path`, or false with the
// reason recorded.
bool besidePath(bool open, const std::u16string& path, const std::u16string& suffix, std::u16string& out) {
  if (!open || path.empty()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (suffix.find_first_of(std::u16string(u"\\/\0", 3)) != std::u16string::npos) {
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  out = path + suffix;
  return true;
}

}  // namespace

bool File::writeBeside(const std::u16string& suffix, const std::string& bytes) const {
  std::u16string path;
  if (!besidePath(isOpen(), path_, suffix, path)) return false;
  HANDLE handle = ::CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = bytes.size() <= MAXDWORD &&
                  ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
                  written == bytes.size();
  const DWORD error = ok ? ERROR_SUCCESS : (::GetLastError() != ERROR_SUCCESS ? ::GetLastError() : ERROR_DISK_FULL);
  ::CloseHandle(handle);
  ::SetLastError(error);
  return ok;
}

bool File::readBeside(const std::u16string& suffix, std::string& bytes, std::size_t limit) const {
  bytes.clear();
  std::u16string path;
  if (!besidePath(isOpen(), path_, suffix, path)) return false;
  HANDLE handle = ::CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = ::GetFileSizeEx(handle, &size) != 0;
  if (ok && (size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > limit)) {
    ::SetLastError(ERROR_FILE_TOO_LARGE);
    ok = false;
  }
  if (ok && size.QuadPart > 0) {
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    ok = ::ReadFile(handle, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) != 0;
    bytes.resize(ok ? read : 0);
  }
  const DWORD error = ::GetLastError();
  ::CloseHandle(handle);
  ::SetLastError(error);
  return ok;
}

bool File::removeBeside(const std::u16string& suffix) const {
  std::u16string path;
  if (!besidePath(isOpen(), path_, suffix, path)) return false;
  return ::DeleteFileW(reinterpret_cast<LPCWSTR>(path.c_str())) != 0;
}

bool File::spaceLeft(int64_t& bytes) const {
  const auto folderEnd = lastSeparator(path_);
  if (!isOpen() || folderEnd == std::u16string::npos) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const std::u16string folder = path_.substr(0, folderEnd + 1);
  ULARGE_INTEGER available;
  if (!::GetDiskFreeSpaceExW(reinterpret_cast<LPCWSTR>(folder.c_str()), &available, nullptr, nullptr)) return false;
  bytes = static_cast<int64_t>(available.QuadPart);
  return true;
}

bool mayReplace(const std::u16string& path) {
  if (path.find(u'\0') != std::u16string::npos) {
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  // Asked of the system as the plain download's open asks, without creating
  // anything: a folder and a read-only file are refused with its words. A
  // file that another program holds is no reason to refuse yet.
  HANDLE handle = ::CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    ::CloseHandle(handle);
    return true;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_SHARING_VIOLATION) return true;
  // A missing file may be put there, unless the name ends in a separator and
  // so names a folder.
  if (error == ERROR_FILE_NOT_FOUND) {
    if (path.empty() || (path.back() != u'\\' && path.back() != u'/')) return true;
    ::SetLastError(ERROR_INVALID_NAME);
  }
  return false;
}

void File::close() noexcept {
  if (!isOpen()) return;
  ::CloseHandle(handleOf(state_.handle));
  state_ = State{};
  path_.clear();
}

}  // namespace ql::platform
