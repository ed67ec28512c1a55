#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/thread_common.h"

namespace ql::platform {
namespace {

// Shared by the handle and the running thread; whichever lets go last frees
// it, so the handle may be closed while the thread runs and vice versa.
struct Control {
  Thread::Entry entry = nullptr;
  void* argument = nullptr;
  pthread_t thread{};
  std::mutex mutex;
  std::condition_variable doneSignal;
  bool done = false;
  bool reaped = false;  // joined or detached; the system thread is gone from our hands
  std::atomic<int> owners{2};
  // The process the thread runs in, as forkGeneration() tells them apart. A
  // forked child copies the block but not the thread, nor the freedom of a
  // mutex the thread held at the fork: there the block is left alone.
  uint32_t generation = forkGeneration();

  bool inherited() const { return generation != forkGeneration(); }

  // Joins a finished thread once, so whoever waits returns only after it has
  // left this library's code entirely. Called with `mutex` held: the thread
  // never takes it again after setting `done`.
  void reapFinished() {
    if (reaped) return;
    pthread_join(thread, nullptr);
    reaped = true;
  }

  void release() {
    if (owners.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
};

thread_local const Control* t_current = nullptr;

Control* controlOf(void* handle) { return static_cast<Control*>(handle); }

void* trampoline(void* raw) {
  Control* control = static_cast<Control*>(raw);
  t_current = control;
  control->entry(control->argument);
  t_current = nullptr;
  {
    std::lock_guard<std::mutex> guard(control->mutex);
    control->done = true;
  }
  control->doneSignal.notify_all();
  control->release();
  return nullptr;
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

  // The control block is complete before the thread exists, so the new
  // thread never sees a handle that is not yet there.
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error == 0) {
    error = pthread_attr_setstacksize(&attributes, kWorkerStackSize);
    if (error == 0) {
      sigset_t previous;
      blockAsynchronousSignals(previous);
      error = pthread_create(&control->thread, &attributes, trampoline, control);
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    pthread_attr_destroy(&attributes);
  }
  if (error != 0) {
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
  control->reapFinished();
}

bool Thread::isCurrent() const { return handle_ != nullptr && t_current == handle_; }

void Thread::close() noexcept {
  if (handle_ == nullptr) return;
  Control* control = controlOf(handle_);
  handle_ = nullptr;
  if (control->inherited()) return;  // the thread's own share is never given back: the block stays
  {
    std::lock_guard<std::mutex> guard(control->mutex);
    // A finished thread is about to return: joining reclaims it at once. A
    // running one (or the thread itself) carries on and cleans up after
    // itself.
    if (control->done && t_current != control) {
      control->reapFinished();
    } else if (!control->reaped) {
      pthread_detach(control->thread);
      control->reaped = true;
    }
  }
  control->release();
}

}  // namespace ql::platform
