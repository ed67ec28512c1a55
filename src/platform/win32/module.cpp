#include <windows.h>

#include <atomic>

namespace ql::platform::win32 {

std::atomic<bool> g_moduleDetaching{false};

}  // namespace ql::platform::win32

// Runs before the static destructors when the loader detaches the library.
// The loader detaches it only after every worker has given back its module
// reference, that is, has left the library's code.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) ql::platform::win32::g_moduleDetaching.store(true);
  return TRUE;
}
