#include <dlfcn.h>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <pthread.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix/errors.h"

namespace ql::platform {
namespace {

// Windows-1252 for 0x80-0x9F. The five bytes the code page leaves undefined
// become the C1 controls of the same value, as the system converter does.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool readUrandom(unsigned char* bytes, std::size_t size) {
  int descriptor;
  do {
    descriptor = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    posix::setLastErrno(errno);
    return false;
  }
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t count = ::read(descriptor, bytes + filled, size - filled);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      posix::setLastErrno(count < 0 ? errno : EIO);
      ::close(descriptor);
      return false;
    }
    filled += static_cast<std::size_t>(count);
  }
  ::close(descriptor);
  return true;
}

std::atomic<uint32_t> g_forkGeneration{0};

void countFork() { g_forkGeneration.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

// The default ANSI code page of a POSIX host is taken to be 1252, which
// converts every byte.
std::u16string ansiToWide(const char* text) {
  std::u16string out;
  if (text == nullptr) return out;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    out += (byte >= 0x80 && byte <= 0x9F) ? kWindows1252High[byte - 0x80] : static_cast<char16_t>(byte);
  }
  return out;
}

// Both clocks read the same source: time() may take a coarser clock that
// lags a tick behind, and then a second could end earlier in one than in the
// other.
int64_t unixTimeSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec);
}

int64_t coarseUnixTimeSeconds() {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0) return unixTimeSeconds();
  return static_cast<int64_t>(now.tv_sec);
}

int64_t unixTime100ns() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

uint32_t processId() { return static_cast<uint32_t>(::getpid()); }

uint32_t threadId() {
  thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
  return id;
}

bool fillRandom(void* buffer, std::size_t size) {
  if (size == 0) return true;
  if (buffer == nullptr) {
    setLastError(kErrorInvalidParameter);
    return false;
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t count = ::getrandom(bytes + filled, size - filled, 0);
    if (count < 0) {
      if (errno == EINTR) continue;
      // Kernels without the call (or a filter that forbids it) still have
      // the device.
      return readUrandom(bytes + filled, size - filled);
    }
    filled += static_cast<std::size_t>(count);
  }
  return true;
}

// The handler is registered before the first caller can cache anything, so
// every later fork is counted. Should registration fail, the process id
// stands in: slower, but a child still never matches its parent.
uint32_t forkGeneration() {
  static const bool counted = ::pthread_atfork(nullptr, nullptr, &countFork) == 0;
  if (!counted) return processId();
  return g_forkGeneration.load(std::memory_order_relaxed);
}

void releaseFreeMemory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

// Opening the module once more, by the name it was loaded under, with
// RTLD_NODELETE marks it never to be unmapped; the extra reference itself is
// never given back, which keeps it so on loaders that ignore the flag. From a
// static initialiser the loader's lock is already this thread's own.
void keepMappedForLeftThreads(const void* address) {
  Dl_info info{};
  if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return;
  ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
}

void leavingThreadIn(const void*) {}

// Registered from this module's own code, so that unloading it unregisters
// the handlers with it.
bool onFork(void (*prepare)(), void (*parent)(), void (*child)()) {
  return ::pthread_atfork(prepare, parent, child) == 0;
}

}  // namespace ql::platform
