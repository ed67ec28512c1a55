#include <windows.h>

#include "platform/platform.h"

namespace ql::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters expected");

HANDLE handleOf(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

bool File::openExclusive(const std::u16string& path) {
  close();
  // A NUL inside the path would silently name another file.
  if (path.find(u'\0') != std::u16string::npos) {
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  HANDLE handle = ::CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_WRITE, 0, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(handle);
  return true;
}

bool File::size(int64_t& bytes) const {
  if (!isOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  LARGE_INTEGER value;
  if (!::GetFileSizeEx(handleOf(handle_), &value)) return false;
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
  return ::SetFilePointerEx(handleOf(handle_), distance, nullptr, FILE_BEGIN) != FALSE;
}

bool File::truncate() {
  if (!isOpen()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::SetEndOfFile(handleOf(handle_)) != FALSE;
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
    if (!::WriteFile(handleOf(handle_), bytes + written, size - written, &count, nullptr)) {
      return false;
    }
    if (count == 0) {
      ::SetLastError(ERROR_DISK_FULL);
      return false;
    }
    written += count;
  }
  return true;
}

void File::close() noexcept {
  if (!isOpen()) return;
  ::CloseHandle(handleOf(handle_));
  handle_ = kClosed;
}

}  // namespace ql::platform
