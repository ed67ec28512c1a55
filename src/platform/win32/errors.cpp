#include <windows.h>

#include "platform/platform.h"

namespace ql::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters expected");

uint32_t lastError() { return ::GetLastError(); }

void setLastError(uint32_t code) { ::SetLastError(code); }

bool systemMessage(uint32_t code, uint32_t languageId, std::u16string& text) {
  text.clear();
  wchar_t* buffer = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                      FORMAT_MESSAGE_FROM_SYSTEM;
  const DWORD length = ::FormatMessageW(flags, nullptr, code, languageId,
                                        reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) {
    if (buffer != nullptr) ::LocalFree(buffer);
    return false;
  }
  // Free the system's buffer even when copying it throws.
  struct LocalBuffer {
    wchar_t* pointer;
    ~LocalBuffer() { ::LocalFree(pointer); }
  } owner{buffer};
  text.assign(reinterpret_cast<const char16_t*>(owner.pointer), length);
  return true;
}

}  // namespace ql::platform
