// The only window onto the operating system. Everything above this header is
// portable; the implementations live in posix/ and win32/. The POSIX side
// reproduces the Windows behaviour the rest of the library relies on: Windows
// error codes and their English system texts, exclusive file opening, and the
// ANSI code page conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace ql::platform {

// Windows system error codes the library reports, named as Windows names
// them (ERROR_*). The POSIX side produces them itself; the upper layers and
// the hosts depend on the exact numbers.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorWriteProtect = 19;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorSeekOnDevice = 132;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr uint32_t kErrorFilenameExcedRange = 206;
constexpr uint32_t kErrorFileTooLarge = 223;
constexpr uint32_t kErrorMrMidNotFound = 317;  // no text for the message id
constexpr uint32_t kErrorNoAccess = 998;       // invalid access to memory
constexpr uint32_t kErrorIoDevice = 1117;
constexpr uint32_t kErrorTimeout = 1460;
constexpr uint32_t kErrorCantResolveFilename = 1921;
constexpr uint32_t kErrorMuiFileNotFound = 15100;  // no text in the language

// Code of the last failure of a call of this layer on the calling thread
// (GetLastError semantics).
uint32_t lastError();
void setLastError(uint32_t code);

// English system text of a Windows error code as the system gives it,
// including its trailing line break. False when the system has no text.
bool systemMessage(uint32_t code, uint32_t languageId, std::u16string& text);

// Narrow text through the user's default ANSI code page (1252 when that cannot
// be read); empty for null, empty or unconvertible input.
std::u16string ansiToWide(const char* text);

int64_t unixTimeSeconds();  // whole seconds since 1970-01-01 UTC
// The same from the clock the system updates once a tick: far cheaper to read,
// and at most a tick behind unixTimeSeconds().
int64_t coarseUnixTimeSeconds();
int64_t unixTime100ns();  // 100-nanosecond units since 1970-01-01 UTC
uint32_t processId();
uint32_t threadId();

// Fills the buffer from the operating system's entropy source.
bool fillRandom(void* buffer, std::size_t size);

// Changes in the child each time the process forks, so that a cache of
// random bytes can tell it was copied into a child and must not hand them out
// a second time. Constant on Windows, which has no fork.
uint32_t forkGeneration();

// Hands memory the C library keeps after frees back to the system, where it
// keeps any (glibc does); the host's process shrinks once the library has
// dropped what it held.
void releaseFreeMemory();

// A thread that another module starts for the library and that the library
// may leave to finish alone (libcurl's name look-up, which a cancelled
// transfer does not wait for) runs that module's code after the library's
// own work is over: the module holding `address` must then stay mapped for
// the rest of the process, whatever unloads it. The library calls both:
// keepMappedForLeftThreads() once from a static initialiser, and
// leavingThreadIn() whenever it leaves such a thread behind. POSIX pins in
// the first: its loader holds its lock while a library unloads, and the
// teardown then waits for the workers, so a worker must not need that lock.
// Windows pins in the second, as a running worker keeps the library loaded,
// so that a library that left no thread behind can still be unloaded.
void keepMappedForLeftThreads(const void* address);
void leavingThreadIn(const void* address);

// Handlers run around each fork() of the host: `prepare` in the forking
// thread just before, `parent` in the parent and `child` in the child just
// after. The child has the forking thread alone; `child` runs there before
// anything else. Windows has no fork: there nothing is registered and the
// result is true. False when the handlers cannot be registered.
bool onFork(void (*prepare)(), void (*parent)(), void (*child)());

// Re-entrant lock; satisfies BasicLockable, so std::lock_guard works with it.
class RecursiveLock {
 public:
  RecursiveLock();
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void lock();
  void unlock();

  // For a forked child only, with no other thread: makes the lock free again
  // whoever held it at the fork. A holder that was another thread is not in
  // the child to let go, and one that was the forking thread is not known
  // by the same name there.
  void resetInForkedChild();

 private:
  alignas(8) unsigned char storage_[64];
};

// Stack reserved for every worker thread, whatever the host's own default
// (8 MiB on Linux, 2 MiB in a MinGW executable). A worker runs one libcurl
// transfer, TLS handshake included, and little of its own. On Windows the
// certificate chain and revocation checks of the system's TLS also run on
// it, so it gets the 1 MiB Windows gives any thread; on Linux the deepest
// use seen was 13.3 KiB.
#ifdef _WIN32
constexpr std::size_t kWorkerStackSize = 1024 * 1024;
#else
constexpr std::size_t kWorkerStackSize = 256 * 1024;
#endif

// A worker thread handle with exactly one owner.
class Thread {
 public:
  using Entry = unsigned (*)(void* argument);

  Thread() noexcept = default;
  ~Thread() { close(); }  // releases the handle; a still running thread carries on
  Thread(Thread&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Thread& operator=(Thread&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs `entry` on a thread of its own with a stack of kWorkerStackSize,
  // once its handle exists. On POSIX the thread may be one whose last work
  // has ended (see retireKeptThreads). Returns an empty Thread when no thread
  // can be had.
  static Thread start(Entry entry, void* argument);

  // A thread of the parent counts as finished in a forked child, which it is
  // not part of: nothing there waits for it or reclaims it.
  bool empty() const noexcept { return handle_ == nullptr; }
  bool finished() const;   // zero-wait poll; an empty handle counts as finished
  void wait() const;       // no time limit; returns at once on the thread itself
  bool isCurrent() const;  // true on the thread this handle stands for
  void close() noexcept;   // releases the handle and empties it

 private:
  void* handle_ = nullptr;
};

// Ends the system threads kept waiting for the next worker, and waits until
// they are gone; from then on a worker's thread ends with its work. For the
// library's teardown, once every worker has ended: code of the library must
// not be running on any thread when it is unloaded. POSIX keeps threads for
// reuse; Windows does not, and there this does nothing.
void retireKeptThreads();

// Has the process's exit call retireKeptThreads() before the exit handlers
// registered until now, and an unload of the library before its static
// teardown; once per load, however often it is called. For a library
// that cleans up at exit and frees a thread's state only as the thread ends,
// as OpenSSL does: once its own clean-up has run, a thread that ends leaves
// its state unreachable. Idle threads end at once; a thread still at work is
// not waited for. Windows keeps no threads: there this does nothing.
void retireKeptThreadsAtExit();

namespace testing {
// Makes Thread::start fail (as an exhausted system would) while set.
void failThreadCreation(bool fail);
}  // namespace testing

// A file opened for writing and shared with no other opener. It remembers
// the size its own writes and cuts leave, so that progress needs no system
// call and the end of a download can tell whether anyone else changed it.
// openForReading() gives the other use: an existing file read in pieces.
class File {
 public:
  File() noexcept = default;
  ~File() { close(); }
  File(File&& other) noexcept : state_(other.state_), name_(std::move(other.name_)), path_(std::move(other.path_)) {
    other.state_ = State{};
  }
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      close();
      state_ = other.state_;
      name_ = std::move(other.name_);
      path_ = std::move(other.path_);
      other.state_ = State{};
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens or creates the file for writing without sharing; a second opener
  // fails with kErrorSharingViolation, and an existing read-only file with
  // kErrorAccessDenied, whoever asks. `readable` adds read access, for
  // readAt(). On failure lastError() says why.
  bool openExclusive(const std::u16string& path, bool readable = false);
  // Opens an existing file for readAt() alone. Other readers may share it,
  // writers may not: the bytes read are the file's as long as it stays open.
  // A writer holding it already fails the open with kErrorSharingViolation, a
  // folder with kErrorAccessDenied, as Windows has it.
  bool openForReading(const std::u16string& path);
  bool isOpen() const noexcept { return state_.handle != kClosed; }
  bool size(int64_t& bytes) const;  // asks the system
  bool seek(int64_t offset);        // from the start of the file
  bool truncate();                  // cut at the current position
  bool write(const void* data, uint32_t size, uint32_t& written);
  // Reads up to `size` bytes at `offset` from a file opened readable; `read`
  // is 0 at the end. Windows moves the file position with it: seek() before
  // the next write.
  bool readAt(int64_t offset, void* data, uint32_t size, uint32_t& read);
  // Puts the data on the disk, then renames the file onto `target`, which
  // replaces what was there in one step, and closes it. Only the last
  // component of `target` counts: the new name is in the folder the file was
  // opened in, whatever the working directory is now. On Windows a rename
  // that another program's handle on either file refuses (a scanner's quick
  // look) is tried again for up to 5 s before it fails. The file is closed
  // either way; on failure it keeps its old name.
  bool replace(const std::u16string& target);
  // Deletes the file and closes it (closed also when the delete fails).
  bool remove();
  // A small record kept beside the open file: "<its name><suffix>" in the
  // folder the file was opened in, whatever the working directory is now.
  // Written whole, replacing an earlier one; read whole when it holds at most
  // `limit` bytes; removed. On failure lastError() says why.
  bool writeBeside(const std::u16string& suffix, const std::string& bytes) const;
  bool readBeside(const std::u16string& suffix, std::string& bytes, std::size_t limit) const;
  bool removeBeside(const std::u16string& suffix) const;
  // The bytes this process may still write on the file's volume.
  bool spaceLeft(int64_t& bytes) const;
  void close() noexcept;

  // The size this handle's own cuts and writes have left: no system call.
  int64_t writtenSize() const noexcept { return state_.end; }
  // True unless the open file is known to be lost or changed: no longer
  // linked anywhere, or its name in the directory it was opened in names
  // another file or none (kErrorFileNotFound), or it no longer holds exactly
  // writtenSize() bytes (kErrorSharingViolation). Windows' sharing rules rule
  // all of these out; on POSIX another process may do them regardless of the
  // lock. A look-up that cannot answer, or a symbolic link at the name, is no
  // such evidence: the host may have changed its working directory or a link
  // on the way, which leaves the file itself alone.
  bool verifyIntact() const;

 private:
  static constexpr intptr_t kClosed = -1;
  struct State {
    intptr_t handle = kClosed;
    intptr_t directory = kClosed;  // the folder the file was opened in (POSIX)
    int64_t position = 0;          // where the next write goes
    int64_t end = 0;               // size as this handle left it
    bool regular = false;          // a plain file, which seeks anywhere (POSIX)
  };
  State state_;
  std::string name_;     // the file's name inside that folder (POSIX)
  std::u16string path_;  // the file's full path as opened (Windows)
};

// Whether another file may be renamed onto `path`, judged before any byte is
// fetched for it: false, with lastError() as opening `path` for writing
// would give, when it ends in a path separator, names a folder or names a
// read-only file. A missing file may be put there; nothing is created.
bool mayReplace(const std::u16string& path);

// SHA-256 of a stream of bytes, by the system's own implementation (libcrypto
// on POSIX, CNG on Windows). A failure inside makes finish() false.
class Sha256 {
 public:
  static constexpr std::size_t kDigestSize = 32;

  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void reset();  // back to the hash of nothing
  void update(const void* data, std::size_t size);
  // The digest of everything since the last reset; then resets.
  bool finish(unsigned char (&digest)[kDigestSize]);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ql::platform
