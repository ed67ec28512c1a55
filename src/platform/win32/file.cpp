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
  HANDLE handle = ::CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER existing;
  if (!::GetFileSizeEx(handle, &existing)) existing.QuadPart = 0;  // a device: no size
  state_.handle = reinterpret_cast<intptr_t>(handle);
  state_.position = 0;
  state_.end = existing.QuadPart;
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

void File::close() noexcept {
  if (!isOpen()) return;
  ::CloseHandle(handleOf(state_.handle));
  state_ = State{};
}

}  // namespace ql::platform
