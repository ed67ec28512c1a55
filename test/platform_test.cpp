#include "platform/platform.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/system_text.h"
#include "support/time_limits.h"

namespace fs = std::filesystem;
using namespace ql::platform;
using quillet_test::eventually;

namespace {

// A directory of its own per test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = fs::temp_directory_path() / ("quillet-platform-" + std::string(info->test_suite_name()) + "-" +
                                         info->name() + "-" + std::to_string(processId()));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path file(const std::string& name) const { return path_ / name; }
  static std::u16string wide(const fs::path& path) { return path.u16string(); }

 private:
  fs::path path_;
};

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whether the system has put thread `id` (a threadId()) to sleep: it is
// blocked in a call, neither running nor waiting for a processor. Linux
// shows this in /proc; Windows has no documented view of it, so there the
// thread's own announcement that it is about to block is all the proof.
bool asleepInTheSystem(uint32_t id) {
#ifdef _WIN32
  (void)id;
  return true;
#else
  std::ifstream in("/proc/self/task/" + std::to_string(id) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // "tid (name) state ...", where the name may hold spaces and parentheses.
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos || nameEnd + 2 >= stat.size()) return false;
  const char state = stat[nameEnd + 2];
  return state == 'S' || state == 'D';
#endif
}

// Threads of this process as the system counts them; nullopt where it is not
// asked (Windows, whose runtime starts threads of its own at any time).
std::optional<std::size_t> threadCount() {
#ifdef _WIN32
  return std::nullopt;
#else
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++count;
  }
  return count;
#endif
}

}  // namespace

// ---------------------------------------------------------------- lock

TEST(PlatformLock, ReentersOnOneThreadAndHoldsOthersOffUntilFullyReleased) {
  RecursiveLock lock;
  std::atomic<bool> entered{false};
  std::atomic<uint32_t> otherId{0};
  lock.lock();
  lock.lock();  // a plain mutex would deadlock here
  lock.unlock();

  std::thread other([&] {
    otherId = threadId();
    std::lock_guard<RecursiveLock> guard(lock);
    entered = true;
  });
  // Still held once: the other thread must stay out. Checked once it has had
  // every chance to come in: it announced the lock call and the system put
  // it to sleep after that, which only a lock that holds it off does.
  ASSERT_TRUE(eventually([&] { return entered.load() || (otherId.load() != 0 && asleepInTheSystem(otherId.load())); }));
  EXPECT_FALSE(entered.load());
  lock.unlock();
  other.join();
  EXPECT_TRUE(entered.load());
}

TEST(PlatformLock, ExcludesConcurrentWriters) {
  RecursiveLock lock;
  long counter = 0;  // deliberately not atomic: only the lock protects it
  constexpr int kRounds = 200000;
  auto work = [&] {
    for (int i = 0; i < kRounds; ++i) {
      std::lock_guard<RecursiveLock> outer(lock);
      std::lock_guard<RecursiveLock> inner(lock);
      counter = counter + 1;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 2L * kRounds);
}

// ---------------------------------------------------------------- thread

namespace {

// Holds gatedWorker at its start until the test opens it. Threads that are
// going to wait for the worker announce it, and the worker ends only once
// each of them is asleep in its wait: a wait that returns before the worker
// has ended finds `done` unset.
class Gate {
 public:
  explicit Gate(std::size_t waiters = 0) : expectedWaiters_(waiters) {}

  void open() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  void awaitOpen() {
    std::unique_lock<std::mutex> guard(mutex_);
    changed_.wait(guard, [this] { return open_; });
  }
  // Called by a thread right before it waits for the worker.
  void aboutToWait() {
    std::lock_guard<std::mutex> guard(mutex_);
    waiters_.push_back(threadId());
  }
  // Every expected waiter has announced itself and sleeps.
  bool waitersAsleep() const {
    std::vector<uint32_t> waiters;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      waiters = waiters_;
    }
    if (waiters.size() < expectedWaiters_) return false;
    for (uint32_t id : waiters) {
      if (!asleepInTheSystem(id)) return false;
    }
    return true;
  }

  std::atomic<bool> ran{false};
  std::atomic<bool> sawWaitersAsleep{false};
  std::atomic<bool> done{false};
  std::atomic<uint32_t> workerId{0};
  std::atomic<bool> sawItselfCurrent{false};
  std::atomic<bool> selfWaitReturned{false};
  std::atomic<const Thread*> handle{nullptr};

 private:
  const std::size_t expectedWaiters_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  std::vector<uint32_t> waiters_;
};

unsigned gatedWorker(void* argument) {
  auto* gate = static_cast<Gate*>(argument);
  gate->ran = true;
  gate->workerId = threadId();
  gate->awaitOpen();
  if (const Thread* self = gate->handle.load()) {
    gate->sawItselfCurrent = self->isCurrent();
    self->wait();  // must not wait for itself
    gate->selfWaitReturned = true;
  }
  gate->sawWaitersAsleep = eventually([gate] { return gate->waitersAsleep(); });
  gate->done = true;
  return 0;
}

}  // namespace

TEST(PlatformThread, RunsEntryAndReportsFinishedOnlyAfterItReturns) {
  Gate gate(1);
  Thread thread = Thread::start(gatedWorker, &gate);
  ASSERT_FALSE(thread.empty());
  ASSERT_TRUE(eventually([&] { return gate.ran.load(); }));
  EXPECT_FALSE(thread.finished());
  EXPECT_FALSE(thread.isCurrent());
  EXPECT_NE(gate.workerId.load(), threadId());

  gate.open();
  gate.aboutToWait();
  thread.wait();
  EXPECT_TRUE(gate.done.load());  // wait returned only after the entry ended
  EXPECT_TRUE(gate.sawWaitersAsleep.load());
  EXPECT_TRUE(thread.finished());
  thread.close();
  EXPECT_TRUE(thread.empty());
  EXPECT_TRUE(thread.finished());  // an empty handle counts as finished
}

TEST(PlatformThread, WaitOnItselfReturnsAtOnce) {
  Gate gate;
  Thread thread = Thread::start(gatedWorker, &gate);
  ASSERT_FALSE(thread.empty());
  gate.handle = &thread;
  gate.open();
  thread.wait();
  EXPECT_TRUE(gate.sawItselfCurrent.load());
  EXPECT_TRUE(gate.selfWaitReturned.load());
}

TEST(PlatformThread, SeveralWaitersAndPollersShareOneHandle) {
  Gate gate(3);
  Thread thread = Thread::start(gatedWorker, &gate);
  ASSERT_FALSE(thread.empty());
  std::atomic<int> returned{0};
  std::atomic<bool> doneSeenByEveryWaiter{true};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      gate.aboutToWait();
      thread.wait();
      if (!gate.done.load()) doneSeenByEveryWaiter = false;
      returned.fetch_add(1);
    });
  }
  std::thread poller([&] {
    while (!thread.finished()) std::this_thread::yield();
  });
  // The worker is held at the gate: no wait may return. Checked once every
  // waiter is asleep in its wait, or one has returned, which fails it.
  ASSERT_TRUE(eventually([&] { return returned.load() != 0 || gate.waitersAsleep(); }));
  EXPECT_EQ(returned.load(), 0);
  gate.open();
  for (std::thread& waiter : waiters) waiter.join();
  poller.join();
  EXPECT_EQ(returned.load(), 3);
  EXPECT_TRUE(doneSeenByEveryWaiter.load());
  EXPECT_TRUE(gate.sawWaitersAsleep.load());
  thread.wait();  // again, after the thread is gone
  EXPECT_TRUE(thread.finished());
}

TEST(PlatformThread, ClosingARunningThreadLetsItCarryOn) {
  Gate gate;
  {
    Thread thread = Thread::start(gatedWorker, &gate);
    ASSERT_FALSE(thread.empty());
    Thread moved(std::move(thread));
    EXPECT_TRUE(thread.empty());
    EXPECT_FALSE(moved.finished());
    moved.close();
    EXPECT_TRUE(moved.empty());
  }
  gate.open();
  EXPECT_TRUE(eventually([&] { return gate.done.load(); }));
}

TEST(PlatformThread, MoveAssignmentTakesOverTheHandle) {
  Gate first;
  Gate second(1);
  first.open();
  Thread a = Thread::start(gatedWorker, &first);
  Thread b = Thread::start(gatedWorker, &second);
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  a = std::move(b);  // releases the first worker's handle
  EXPECT_TRUE(b.empty());
  EXPECT_FALSE(a.finished());
  second.open();
  second.aboutToWait();
  a.wait();
  EXPECT_TRUE(second.done.load());
  EXPECT_TRUE(eventually([&] { return first.done.load(); }));
}

TEST(PlatformThread, CreationFailureSeamGivesAnEmptyThread) {
  Gate gate;  // closed: a thread made in spite of the failure would stay at it
  const std::optional<std::size_t> threadsBefore = threadCount();
  ql::platform::testing::failThreadCreation(true);
  setLastError(kErrorSuccess);
  Thread failed = Thread::start(gatedWorker, &gate);
  ql::platform::testing::failThreadCreation(false);
  EXPECT_TRUE(failed.empty());
  EXPECT_TRUE(failed.finished());
  EXPECT_NE(lastError(), kErrorSuccess);
  failed.wait();  // returns at once on an empty handle
  // The system counts a thread from its creation on, before it first runs,
  // and one held at the gate stays: a count that did not grow proves none was
  // made. (It may shrink: a worker of an earlier test may be ending.)
  const std::optional<std::size_t> threadsAfter = threadCount();
  ASSERT_EQ(threadsAfter.has_value(), threadsBefore.has_value());
  if (threadsAfter) {
    EXPECT_LE(*threadsAfter, *threadsBefore);
  }
  EXPECT_FALSE(gate.ran.load());

  gate.open();
  Thread thread = Thread::start(gatedWorker, &gate);
  ASSERT_FALSE(thread.empty());
  thread.wait();
  EXPECT_TRUE(gate.done.load());
}

TEST(PlatformThread, ManyShortWorkersAreAllJoined) {
  std::atomic<int> count{0};
  auto entry = [](void* argument) -> unsigned {
    static_cast<std::atomic<int>*>(argument)->fetch_add(1);
    return 0;
  };
  std::vector<Thread> threads;
  for (int i = 0; i < 64; ++i) {
    threads.push_back(Thread::start(entry, &count));
    ASSERT_FALSE(threads.back().empty());
  }
  for (Thread& thread : threads) {
    thread.wait();
    EXPECT_TRUE(thread.finished());
    thread.close();
  }
  EXPECT_EQ(count.load(), 64);
}

namespace {

// The library's teardown retires the threads kept for reuse; here no library
// is around to do it, so the tests' process does, lest its last workers'
// threads outlive it unjoined.
struct RetireKeptThreadsAtTheEnd : ::testing::Environment {
  void TearDown() override { retireKeptThreads(); }
};
[[maybe_unused]] const auto* const retireAtTheEnd = ::testing::AddGlobalTestEnvironment(new RetireKeptThreadsAtTheEnd);

}  // namespace

#ifndef _WIN32
namespace {

pid_t tidOfAWorker() {
  pid_t tid = 0;
  Thread thread = Thread::start(
      [](void* argument) -> unsigned {
        *static_cast<pid_t*>(argument) = ::gettid();
        return 0;
      },
      &tid);
  thread.wait();
  return tid;
}

bool threadExists(pid_t tid) { return std::filesystem::exists("/proc/self/task/" + std::to_string(tid)); }

// A joined thread's task lingers in /proc for a moment after the join
// returns: the kernel wakes the joiner before it reaps the task.
bool threadGone(pid_t tid) {
  for (int i = 0; i < 200 && threadExists(tid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return !threadExists(tid);
}

}  // namespace

// A worker's system thread waits for the next worker once its work has
// ended; a forked child, which has none of the parent's threads, makes its
// own; retiring ends the kept ones for good.
TEST(PlatformThread, KeptThreadsAreReusedAbsentInAForkedChildAndRetired) {
  const pid_t first = tidOfAWorker();
  EXPECT_EQ(tidOfAWorker(), first);

#ifndef __SANITIZE_THREAD__  // which cannot start a thread in the child of a threaded process
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(10);  // a hand-over to the parent's thread would never come back
    const pid_t own = tidOfAWorker();
    retireKeptThreads();
    ::_exit(own != 0 && own != first && threadGone(own) ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
#endif

  ASSERT_TRUE(threadExists(first));
  retireKeptThreads();
  EXPECT_TRUE(threadGone(first));
  // From now on a worker's thread ends with its work.
  const pid_t later = tidOfAWorker();
  EXPECT_NE(later, first);
  retireKeptThreads();
  EXPECT_TRUE(threadGone(later));
}
#endif

namespace {

// The stack the calling thread was given, as its system reports it.
std::size_t ownStackSize() {
#ifdef _WIN32
  // The whole reservation the stack was carved from: every region that
  // shares the allocation of a local variable.
  MEMORY_BASIC_INFORMATION region{};
  if (::VirtualQuery(&region, &region, sizeof region) == 0) return 0;
  void* const reservation = region.AllocationBase;
  std::size_t size = 0;
  const char* next = static_cast<const char*>(reservation);
  while (::VirtualQuery(next, &region, sizeof region) != 0 && region.AllocationBase == reservation) {
    size += region.RegionSize;
    next += region.RegionSize;
  }
  return size;
#else
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  std::size_t size = 0;
  pthread_attr_getstacksize(&attributes, &size);
  pthread_attr_destroy(&attributes);
  return size;
#endif
}

}  // namespace

TEST(PlatformThread, WorkersGetTheirOwnStackSizeWhateverTheHostsDefault) {
  std::size_t size = 0;
  Thread thread = Thread::start(
      [](void* argument) -> unsigned {
        *static_cast<std::size_t*>(argument) = ownStackSize();
        return 0;
      },
      &size);
  ASSERT_FALSE(thread.empty());
  thread.wait();
#if defined(__SANITIZE_THREAD__) || defined(_WIN32)
  // ThreadSanitizer enlarges small stacks to hold its own per-thread data,
  // and Windows rounds a reservation up to its allocation granularity;
  // either way they stay below what a thread gets by default.
  std::size_t hostDefault = 0;
  std::thread([&] { hostDefault = ownStackSize(); }).join();
  EXPECT_GE(size, kWorkerStackSize);
  EXPECT_LT(size, hostDefault);
#else
  EXPECT_EQ(size, kWorkerStackSize);
#endif
}

// ---------------------------------------------------------------- errors

TEST(PlatformError, LastErrorIsPerThread) {
  // Creating and joining a thread may set the caller's code as a side effect
  // (Windows does), so each thread reads its code while the other one waits.
  std::atomic<int> stage{0};
  uint32_t seenOnOtherThread = 1234;
  uint32_t keptOnOtherThread = 1234;
  std::thread other([&] {
    while (stage.load() != 1) std::this_thread::yield();
    seenOnOtherThread = lastError();
    setLastError(kErrorDiskFull);
    stage.store(2);
    while (stage.load() != 3) std::this_thread::yield();
    keptOnOtherThread = lastError();
  });
  setLastError(kErrorAccessDenied);
  stage.store(1);
  while (stage.load() != 2) std::this_thread::yield();
  const uint32_t keptHere = lastError();
  stage.store(3);
  other.join();
  EXPECT_EQ(seenOnOtherThread, kErrorSuccess);
  EXPECT_EQ(keptOnOtherThread, kErrorDiskFull);
  EXPECT_EQ(keptHere, kErrorAccessDenied);
}

TEST(PlatformError, SystemMessagesAreTheEnglishTextsWithTheirLineBreak) {
  struct Case {
    uint32_t code;
    const char16_t* text;
  };
  const Case cases[] = {
      {0, u"The operation completed successfully.\r\n"},
      {2, u"The system cannot find the file specified.\r\n"},
      {3, u"The system cannot find the path specified.\r\n"},
      {5, u"Access is denied.\r\n"},
      {6, u"The handle is invalid.\r\n"},
      {8, u"Not enough memory resources are available to process this command.\r\n"},
      {32, u"The process cannot access the file because it is being used by another process.\r\n"},
      {87, u"The parameter is incorrect.\r\n"},
      {112, u"There is not enough space on the disk.\r\n"},
      {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
      {206, u"The filename or extension is too long.\r\n"},
  };
  for (const Case& c : cases) {
    for (uint32_t language : {0x400u, 0x409u}) {
      std::u16string text = u"stale";
      EXPECT_TRUE(systemMessage(c.code, language, text)) << c.code;
      EXPECT_EQ(text, quillet_test::systemText(c.code, c.text)) << c.code << " language " << language;
    }
  }
}

TEST(PlatformError, CodesWithoutTextGiveFalseAndNoText) {
  for (uint32_t code : {16000u, 16001u, 20000u, 0xFFFFFFFFu}) {
    std::u16string text = u"stale";
    EXPECT_FALSE(systemMessage(code, 0x409, text)) << code;
    EXPECT_TRUE(text.empty()) << code;
  }
  std::u16string german;
  // Wine carries German texts; an English Windows has none.
  if (!quillet_test::runningUnderWine()) {
    EXPECT_FALSE(systemMessage(2, 0x407, german));
  }
}

// ---------------------------------------------------------------- files

TEST(PlatformFile, OpenCreatesAndWritesAndReportsSize) {
  ScratchDir dir;
  const fs::path path = dir.file("new.bin");
  File file;
  EXPECT_FALSE(file.isOpen());
  ASSERT_TRUE(file.openExclusive(ScratchDir::wide(path))) << lastError();
  EXPECT_TRUE(file.isOpen());
  EXPECT_TRUE(fs::exists(path));

  int64_t size = -1;
  ASSERT_TRUE(file.size(size));
  EXPECT_EQ(size, 0);

  const std::string payload = "hello, file";
  uint32_t written = 0;
  ASSERT_TRUE(file.write(payload.data(), static_cast<uint32_t>(payload.size()), written));
  EXPECT_EQ(written, payload.size());
  ASSERT_TRUE(file.write(payload.data(), 0, written));
  EXPECT_EQ(written, 0u);
  ASSERT_TRUE(file.size(size));
  EXPECT_EQ(size, static_cast<int64_t>(payload.size()));
  file.close();
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(readAll(path), payload);
}

TEST(PlatformFile, SeekAndTruncateEmptyAnExistingFile) {
  ScratchDir dir;
  const fs::path path = dir.file("existing.bin");
  {
    std::ofstream out(path, std::ios::binary);
    out << std::string(5000, 'x');
  }
  File file;
  ASSERT_TRUE(file.openExclusive(ScratchDir::wide(path)));
  int64_t size = 0;
  ASSERT_TRUE(file.size(size));
  EXPECT_EQ(size, 5000);  // opening keeps the contents

  // Cutting in the middle keeps the head; writing continues at the cut.
  ASSERT_TRUE(file.seek(1000));
  ASSERT_TRUE(file.truncate());
  ASSERT_TRUE(file.size(size));
  EXPECT_EQ(size, 1000);
  uint32_t written = 0;
  ASSERT_TRUE(file.write("ab", 2, written));
  ASSERT_TRUE(file.size(size));
  EXPECT_EQ(size, 1002);

  ASSERT_TRUE(file.seek(0));
  ASSERT_TRUE(file.truncate());
  ASSERT_TRUE(file.size(size));
  EXPECT_EQ(size, 0);
  ASSERT_TRUE(file.write("new", 3, written));
  file.close();
  EXPECT_EQ(readAll(path), "new");
}

TEST(PlatformFile, SecondOpenerIsTurnedAwayUntilTheFirstCloses) {
  ScratchDir dir;
  const std::u16string path = ScratchDir::wide(dir.file("shared.bin"));
  File first;
  ASSERT_TRUE(first.openExclusive(path));

  File second;
  setLastError(kErrorSuccess);
  EXPECT_FALSE(second.openExclusive(path));
  EXPECT_EQ(lastError(), kErrorSharingViolation);
  EXPECT_FALSE(second.isOpen());

  // Moving the open file keeps it held.
  File moved(std::move(first));
  EXPECT_FALSE(first.isOpen());
  EXPECT_FALSE(second.openExclusive(path));
  EXPECT_EQ(lastError(), kErrorSharingViolation);

  moved.close();
  EXPECT_TRUE(second.openExclusive(path)) << lastError();
}

TEST(PlatformFile, DestructionReleasesTheFile) {
  ScratchDir dir;
  const std::u16string path = ScratchDir::wide(dir.file("scoped.bin"));
  {
    File scoped;
    ASSERT_TRUE(scoped.openExclusive(path));
  }
  File again;
  EXPECT_TRUE(again.openExclusive(path)) << lastError();
}

TEST(PlatformFile, OpenFailuresCarryWindowsCodes) {
  ScratchDir dir;
  File file;

  setLastError(kErrorSuccess);
  EXPECT_FALSE(file.openExclusive(ScratchDir::wide(dir.file("missing") / "file.bin")));
  EXPECT_EQ(lastError(), kErrorPathNotFound);
  EXPECT_FALSE(fs::exists(dir.file("missing")));

  // A directory cannot be opened as a file.
  EXPECT_FALSE(file.openExclusive(ScratchDir::wide(dir.file(""))));
  EXPECT_EQ(lastError(), kErrorAccessDenied);

#ifndef _WIN32
  // On Windows the file system has the say on these names: NTFS takes a
  // lone surrogate, and Wine's drives on a Unix file system answer 2.
  EXPECT_FALSE(file.openExclusive(ScratchDir::wide(dir.file(std::string(300, 'n')))));
  EXPECT_EQ(lastError(), 206u);

  // A lone surrogate names no file; neither does a path with a NUL inside.
  std::u16string broken = ScratchDir::wide(dir.file("a"));
  broken += char16_t(0xD800);
  EXPECT_FALSE(file.openExclusive(broken));
  EXPECT_EQ(lastError(), kErrorInvalidName);
#endif
#ifndef _WIN32
  // Windows refuses write access to a read-only file to everyone, root too;
  // the POSIX side does the same whoever runs it. (Wine run as root lets
  // such a write through, so the row would test Wine on Windows builds.)
  const fs::path readOnly = dir.file("read-only.bin");
  { std::ofstream(readOnly, std::ios::binary) << "keep"; }
  fs::permissions(readOnly, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  setLastError(kErrorSuccess);
  EXPECT_FALSE(file.openExclusive(ScratchDir::wide(readOnly)));
  EXPECT_EQ(lastError(), kErrorAccessDenied);
  EXPECT_EQ(readAll(readOnly), "keep");
  fs::permissions(readOnly, fs::perms::owner_write, fs::perm_options::add);
#endif

  std::u16string withNul = ScratchDir::wide(dir.file("b"));
  withNul += u'\0';
  withNul += u"c";
  EXPECT_FALSE(file.openExclusive(withNul));
  EXPECT_EQ(lastError(), kErrorInvalidName);
  EXPECT_FALSE(fs::exists(dir.file("b")));
  EXPECT_FALSE(file.isOpen());
}

TEST(PlatformFile, OperationsOnAClosedFileFailWithInvalidHandle) {
  File file;
  int64_t size = 7;
  uint32_t written = 9;
  setLastError(kErrorSuccess);
  EXPECT_FALSE(file.size(size));
  EXPECT_EQ(lastError(), kErrorInvalidHandle);
  setLastError(kErrorSuccess);
  EXPECT_FALSE(file.seek(0));
  EXPECT_EQ(lastError(), kErrorInvalidHandle);
  setLastError(kErrorSuccess);
  EXPECT_FALSE(file.truncate());
  EXPECT_EQ(lastError(), kErrorInvalidHandle);
  setLastError(kErrorSuccess);
  EXPECT_FALSE(file.write("x", 1, written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(lastError(), kErrorInvalidHandle);
  file.close();  // harmless when closed
}

TEST(PlatformFile, NegativeSeekFails) {
  ScratchDir dir;
  File file;
  ASSERT_TRUE(file.openExclusive(ScratchDir::wide(dir.file("seek.bin"))));
  setLastError(kErrorSuccess);
  EXPECT_FALSE(file.seek(-1));
  EXPECT_NE(lastError(), kErrorSuccess);
}

#ifdef _WIN32
// A scanner's handle on the target without delete sharing, let go of after
// 2 s or only once replace() has returned: the rename waits out the first,
// and fails after 5 s with the system's code on the second, keeping the file.
TEST(PlatformFile, ReplaceWaitsUpTo5sForAnotherHandleToLetGo) {
  ScratchDir dir;
  const fs::path part = dir.file("got.part"), target = dir.file("got.bin");
  for (const bool momentary : {true, false}) {
    std::ofstream(target, std::ios::binary) << "old";
    File file;
    uint32_t written = 0;
    ASSERT_TRUE(file.openExclusive(ScratchDir::wide(part)) && file.write("new", 3, written));
    std::unique_ptr<void, decltype(&::CloseHandle)> held(
        ::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                      nullptr),
        &::CloseHandle);
    ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
    std::promise<void> returned;
    std::thread scanner([&held, momentary, ended = returned.get_future()] {
      ended.wait_for(momentary ? std::chrono::seconds(2) : std::chrono::seconds(600));
      held.reset();
    });
    const auto start = std::chrono::steady_clock::now();
    const bool replaced = file.replace(ScratchDir::wide(target));
    const uint32_t code = lastError();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    returned.set_value();
    scanner.join();
    EXPECT_EQ(replaced, momentary) << code << " after " << took.count() << " ms";
    EXPECT_EQ(readAll(target), momentary ? "new" : "old");
    EXPECT_EQ(fs::exists(part), !momentary);
    if (!momentary) {
      EXPECT_TRUE(code == kErrorSharingViolation || code == kErrorAccessDenied) << code;
      EXPECT_GE(took.count(), 5000);
    }
  }
}
#endif

TEST(PlatformFile, FullDiskIsReportedAs112) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no full device here";
  File file;
  ASSERT_TRUE(file.openExclusive(u"/dev/full")) << lastError();
  uint32_t written = 99;
  setLastError(kErrorSuccess);
  EXPECT_FALSE(file.write("data", 4, written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(lastError(), kErrorDiskFull);
}

// ---------------------------------------------------------------- text

TEST(PlatformText, AnsiToWideUsesCodePage1252) {
  EXPECT_EQ(ansiToWide("plain ASCII ~"), u"plain ASCII ~");
  EXPECT_EQ(ansiToWide("caf\xE9"), u"caf\u00E9");
  EXPECT_EQ(ansiToWide("\x80"), u"\u20AC");
  EXPECT_EQ(ansiToWide("\x85\x99\x9F\xFF"), u"\u2026\u2122\u0178\u00FF");
  // Undefined bytes keep their value as C1 controls.
  EXPECT_EQ(ansiToWide("\x81\x8D\x8F\x90\x9D"), std::u16string(u"\u0081\u008D\u008F\u0090\u009D"));
}

TEST(PlatformText, AnsiToWideEndsAtTheFirstNulAndTakesNull) {
  const char embedded[] = {'a', 'b', '\0', 'c', 'd', '\0'};
  EXPECT_EQ(ansiToWide(embedded), u"ab");
  EXPECT_EQ(ansiToWide(""), u"");
  EXPECT_EQ(ansiToWide(nullptr), u"");
}

// ---------------------------------------------------------------- system

TEST(PlatformSystem, ClocksAgree) {
  const int64_t before = unixTimeSeconds();
  const int64_t fine = unixTime100ns();
  const int64_t after = unixTimeSeconds();
  EXPECT_GT(before, 1600000000);  // later than 2020
  EXPECT_LE(before, fine / 10000000);
  EXPECT_GE(after, fine / 10000000);
  EXPECT_LE(after - before, 1);
  // The tick's clock trails the fine one by a tick at most.
  const int64_t coarse = coarseUnixTimeSeconds();
  EXPECT_GE(coarse, before - 1);
  EXPECT_LE(coarse, unixTimeSeconds());
}

TEST(PlatformSystem, IdsIdentifyProcessAndThread) {
  EXPECT_NE(processId(), 0u);
  const uint32_t mine = threadId();
  EXPECT_NE(mine, 0u);
  EXPECT_EQ(threadId(), mine);
  uint32_t other = 0;
  std::thread([&] { other = threadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, mine);
}

TEST(PlatformSystem, FillRandomGivesFreshBytes) {
  unsigned char first[32] = {};
  unsigned char second[32] = {};
  ASSERT_TRUE(fillRandom(first, sizeof first));
  ASSERT_TRUE(fillRandom(second, sizeof second));
  EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
  unsigned char zeros[32] = {};
  EXPECT_NE(std::memcmp(first, zeros, sizeof first), 0);
  EXPECT_TRUE(fillRandom(nullptr, 0));
  std::vector<unsigned char> large(1 << 20);
  ASSERT_TRUE(fillRandom(large.data(), large.size()));
  // All of it was filled, not just the head.
  EXPECT_NE(std::memcmp(large.data() + large.size() - 32, zeros, 32), 0);
}
