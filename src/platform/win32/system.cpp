#include <windows.h>
#include <malloc.h>
#include <ntsecapi.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "platform/platform.h"

namespace ql::platform {

std::u16string ansiToWide(const char* text) {
  if (text == nullptr || *text == '\0') return {};
  DWORD codePage = 1252;  // kept when the locale cannot tell
  ::GetLocaleInfoW(::GetUserDefaultLCID(), LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                   reinterpret_cast<LPWSTR>(&codePage), sizeof(codePage) / sizeof(WCHAR));
  const int needed = ::MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (needed <= 0) return {};
  std::vector<wchar_t> buffer(static_cast<std::size_t>(needed));
  const int converted = ::MultiByteToWideChar(codePage, 0, text, -1, buffer.data(), needed);
  if (converted <= 0) return {};
  const auto end = std::find(buffer.begin(), buffer.begin() + converted, L'\0');
  std::u16string out;
  out.reserve(static_cast<std::size_t>(end - buffer.begin()));
  for (auto it = buffer.begin(); it != end; ++it) out += static_cast<char16_t>(*it);
  return out;
}

int64_t unixTimeSeconds() { return static_cast<int64_t>(::_time64(nullptr)); }

// _time64 already reads the system time as of the last tick.
int64_t coarseUnixTimeSeconds() { return unixTimeSeconds(); }

int64_t unixTime100ns() {
  // FILETIME counts 100 ns units from 1601-01-01 UTC.
  constexpr int64_t kFrom1601To1970 = 116444736000000000LL;
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  return ticks - kFrom1601To1970;
}

uint32_t processId() { return ::GetCurrentProcessId(); }

uint32_t threadId() { return ::GetCurrentThreadId(); }

bool fillRandom(void* buffer, std::size_t size) {
  if (size == 0) return true;
  if (buffer == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 20));
    if (!RtlGenRandom(bytes, chunk)) return false;
    bytes += chunk;
    size -= chunk;
  }
  return true;
}

uint32_t forkGeneration() { return 0; }

void releaseFreeMemory() { _heapmin(); }

void keepMappedForLeftThreads(const void*) {}

// A pinned module stays mapped until the process ends, FreeLibrary or not.
// Pinning twice changes nothing.
void leavingThreadIn(const void* address) {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       static_cast<LPCWSTR>(address), &module);
}

bool onFork(void (*)(), void (*)(), void (*)()) { return true; }

}  // namespace ql::platform
