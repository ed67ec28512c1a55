#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/thread_common.h"

namespace ql::platform {
namespace {

// How many system threads wait for the next piece of work once theirs has
// ended, and for how long. Creating a thread costs more than a whole small
// download on a reused connection, and an installer starts its files a few
// at a time, one as soon as another ends.
constexpr std::size_t kKeptThreads = 16;
constexpr auto kKeptFor = std::chrono::seconds(10);

// One piece of work, which a Thread handle stands for. Shared by the handle
// and the system thread running it; whichever lets go last frees it, so the
// handle may be closed while the work runs and vice versa.
struct Control {
  Thread::Entry entry = nullptr;
  void* argument = nullptr;
  std::mutex mutex;
  std::condition_variable doneSignal;
  bool done = false;
  std::atomic<int> owners{2};
  // The process the work runs in, as forkGeneration() tells them apart. A
  // forked child copies the block but not the thread, nor the freedom of a
  // mutex the thread held at the fork: there the block is left alone.
  uint32_t generation = forkGeneration();

  bool inherited() const { return generation != forkGeneration(); }

  void finish() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      done = true;
    }
    doneSignal.notify_all();
    release();
  }

  void release() {
    if (owners.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
};

thread_local const Control* t_current = nullptr;

Control* controlOf(void* handle) { return static_cast<Control*>(handle); }

struct Keeper;

// A system thread that runs one piece of work after another.
struct Runner {
  Keeper* home = nullptr;
  pthread_t id{};                // set by the thread itself, under the keeper's lock
  Control* next = nullptr;       // work handed over, under the keeper's lock
  std::condition_variable wake;  // work handed over, or the keeper retiring
};

// The threads of one process: those waiting for work, and those that have
// ended or are about to, which the next start or the retirement joins.
// Never destroyed: a thread may still be waiting in it when the C++ runtime
// tears down statics at exit. A forked child starts a keeper of its own, as
// the parent's threads are not in it and a lock one of them held at the
// fork would stay held.
struct Keeper {
  explicit Keeper(uint32_t forkedAs) : generation(forkedAs) {}
  const uint32_t generation;
  std::mutex mutex;
  std::condition_variable idleLeft;
  std::vector<Runner*> idle;
  std::vector<Runner*> ended;
  bool retiring = false;  // from now on threads end with their work
};

// The process's first keeper lives in static storage, so that an unloaded
// library leaves nothing of it on the heap; a forked child's is allocated and
// the parent's left untouched.
Keeper& keeper() {
  alignas(Keeper) static unsigned char first[sizeof(Keeper)];
  static std::atomic<Keeper*> current{new (first) Keeper(forkGeneration())};
  const uint32_t generation = forkGeneration();
  for (;;) {
    Keeper* k = current.load();
    if (k->generation == generation) return *k;
    auto* fresh = new Keeper(generation);
    if (current.compare_exchange_strong(k, fresh)) return *fresh;
    delete fresh;
  }
}

void joinAll(std::vector<Runner*>& runners) {
  for (Runner* runner : runners) {
    pthread_join(runner->id, nullptr);
    delete runner;
  }
  runners.clear();
}

void* runWork(void* raw) {
  Runner* self = static_cast<Runner*>(raw);
  Keeper& home = *self->home;
  std::unique_lock<std::mutex> guard(home.mutex);
  self->id = pthread_self();
  Control* work = self->next;
  self->next = nullptr;
  guard.unlock();
  for (;;) {
    t_current = work;
    work->entry(work->argument);
    t_current = nullptr;
    // Listed before the work reads as done, so that whoever waited for the
    // work and then retires the threads finds this one.
    guard.lock();
    const bool kept = !home.retiring && home.idle.size() < kKeptThreads;
    (kept ? home.idle : home.ended).push_back(self);
    guard.unlock();
    work->finish();
    if (!kept) return nullptr;

    guard.lock();
    self->wake.wait_for(guard, kKeptFor, [&] { return self->next != nullptr || home.retiring; });
    if (self->next != nullptr) {
      work = self->next;
      self->next = nullptr;
      guard.unlock();
      continue;
    }
    home.idle.erase(std::find(home.idle.begin(), home.idle.end(), self));
    home.ended.push_back(self);
    home.idleLeft.notify_all();
    return nullptr;
  }
}

// Workers take no asynchronous signals: those belong to the host's threads,
// and a SIGPIPE from a dropped connection must not end the process. Faults
// stay deliverable so that crashes are still reported.
void blockAsynchronousSignals(sigset_t& previous) {
  sigset_t blocked;
  sigfillset(&blocked);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) {
    sigdelset(&blocked, fault);
  }
  pthread_sigmask(SIG_SETMASK, &blocked, &previous);
}

}  // namespace

Thread Thread::start(Entry entry, void* argument) {
  Thread result;
  if (!mayStartThread(entry)) return result;
  auto* control = new (std::nothrow) Control;
  if (control == nullptr) {
    setLastError(kErrorNotEnoughMemory);
    return result;
  }
  control->entry = entry;
  control->argument = argument;

  Keeper& home = keeper();
  std::vector<Runner*> ended;
  bool handedOver = false;
  {
    std::lock_guard<std::mutex> guard(home.mutex);
    ended.swap(home.ended);
    // A retiring keeper's threads are on their way out: they take no work.
    if (!home.retiring && !home.idle.empty()) {
      Runner* runner = home.idle.back();
      home.idle.pop_back();
      runner->next = control;
      runner->wake.notify_one();
      handedOver = true;
    }
  }
  joinAll(ended);
  if (handedOver) {
    result.handle_ = control;
    return result;
  }

  auto* runner = new (std::nothrow) Runner;
  if (runner == nullptr) {
    delete control;
    setLastError(kErrorNotEnoughMemory);
    return result;
  }
  runner->home = &home;
  runner->next = control;
  // The control block is complete before the thread exists, so the new
  // thread never sees a handle that is not yet there.
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error == 0) {
    error = pthread_attr_setstacksize(&attributes, kWorkerStackSize);
    if (error == 0) {
      sigset_t previous;
      blockAsynchronousSignals(previous);
      pthread_t id;
      error = pthread_create(&id, &attributes, runWork, runner);
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    pthread_attr_destroy(&attributes);
  }
  if (error != 0) {
    delete runner;
    delete control;
    setLastError(error == EAGAIN ? kErrorNotEnoughMemory : posix::windowsCode(error));
    return result;
  }
  result.handle_ = control;
  return result;
}

bool Thread::finished() const {
  if (handle_ == nullptr) return true;
  Control* control = controlOf(handle_);
  if (control->inherited()) return true;
  std::lock_guard<std::mutex> guard(control->mutex);
  return control->done;
}

void Thread::wait() const {
  if (handle_ == nullptr || isCurrent()) return;
  Control* control = controlOf(handle_);
  if (control->inherited()) return;
  std::unique_lock<std::mutex> guard(control->mutex);
  control->doneSignal.wait(guard, [control] { return control->done; });
}

bool Thread::isCurrent() const { return handle_ != nullptr && t_current == handle_; }

void Thread::close() noexcept {
  if (handle_ == nullptr) return;
  Control* control = controlOf(handle_);
  handle_ = nullptr;
  if (control->inherited()) return;  // the thread's own share is never given back: the block stays
  control->release();
}

void retireKeptThreads() {
  Keeper& home = keeper();
  std::vector<Runner*> ended;
  {
    std::unique_lock<std::mutex> guard(home.mutex);
    home.retiring = true;
    for (Runner* runner : home.idle) runner->wake.notify_one();
    home.idleLeft.wait(guard, [&] { return home.idle.empty(); });
    ended.swap(home.ended);
    std::vector<Runner*>().swap(home.idle);  // nor does its storage stay behind
  }
  joinAll(ended);
}

void retireKeptThreadsAtExit() {
  // A static object ends at exit before the exit handlers registered before
  // it was made, and ends when its library is unloaded. That ties the call
  // to this module, where a bare atexit() may not: ThreadSanitizer's
  // replacement registers the handler for the whole process, and an
  // unloaded library's would then be called at exit.
  struct RetiredAtExit {
    ~RetiredAtExit() { retireKeptThreads(); }
  };
  static RetiredAtExit retired;
}

}  // namespace ql::platform
