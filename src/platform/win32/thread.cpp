#include <windows.h>
#include <process.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "platform/platform.h"
#include "platform/thread_common.h"

namespace ql::platform {
namespace win32 {
extern std::atomic<bool> g_moduleDetaching;  // module.cpp
}  // namespace win32

namespace {

struct Launch {
  Thread::Entry entry;
  void* argument;
  HMODULE module;  // keeps this module mapped while the worker runs
};

HANDLE handleOf(void* handle) { return static_cast<HANDLE>(handle); }

unsigned __stdcall trampoline(void* raw) {
  const Launch launch = *static_cast<Launch*>(raw);
  delete static_cast<Launch*>(raw);
  const unsigned result = launch.entry(launch.argument);
  // Dropping the module reference and leaving the thread must be one step:
  // the code doing it may be unmapped as soon as the reference is gone.
  if (launch.module != nullptr) ::FreeLibraryAndExitThread(launch.module, result);
  return result;
}

}  // namespace

Thread Thread::start(Entry entry, void* argument) {
  Thread result;
  if (!mayStartThread(entry)) return result;
  auto* launch = new (std::nothrow) Launch{entry, argument, nullptr};
  if (launch == nullptr) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return result;
  }
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&trampoline),
                            &launch->module)) {
    launch->module = nullptr;
  }

  const uintptr_t created = ::_beginthreadex(nullptr, static_cast<unsigned>(kWorkerStackSize), trampoline, launch,
                                             CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (created == 0 || created == static_cast<uintptr_t>(-1)) {
    const DWORD error = ::GetLastError();
    if (launch->module != nullptr) ::FreeLibrary(launch->module);
    delete launch;
    ::SetLastError(error != ERROR_SUCCESS ? error : ERROR_NOT_ENOUGH_MEMORY);
    return result;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(created);
  if (::ResumeThread(handle) == static_cast<DWORD>(-1)) {
    // The thread never ran: nothing of the launch was taken over yet.
    const DWORD error = ::GetLastError();
    ::TerminateThread(handle, 0);
    ::CloseHandle(handle);
    if (launch->module != nullptr) ::FreeLibrary(launch->module);
    delete launch;
    ::SetLastError(error);
    return result;
  }
  result.handle_ = handle;
  return result;
}

bool Thread::finished() const {
  if (handle_ == nullptr) return true;
  // Only a thread that is positively still running counts as running; a
  // failed wait must not make its owner wait forever.
  return ::WaitForSingleObject(handleOf(handle_), 0) != WAIT_TIMEOUT;
}

void Thread::wait() const {
  if (handle_ == nullptr || isCurrent()) return;
  // While the module detaches, the workers have all left its code, but one
  // may still be exiting, which needs the loader lock this thread holds.
  if (win32::g_moduleDetaching.load()) return;
  ::WaitForSingleObject(handleOf(handle_), INFINITE);
}

bool Thread::isCurrent() const {
  return handle_ != nullptr && ::GetThreadId(handleOf(handle_)) == ::GetCurrentThreadId();
}

void Thread::close() noexcept {
  if (handle_ == nullptr) return;
  ::CloseHandle(handleOf(handle_));
  handle_ = nullptr;
}

// Each thread holds the module until its work ends and then exits with it
// (FreeLibraryAndExitThread): none is kept.
void retireKeptThreads() {}

void retireKeptThreadsAtExit() {}

}  // namespace ql::platform
