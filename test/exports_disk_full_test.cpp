// A download whose disk fills up: on Linux a small tmpfs, mounted in a mount
// namespace of this test process alone, so nothing outlives the process.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "quillet/quillet.h"
#include "support/log_records.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"
#include "support/time_limits.h"

#ifdef __linux__
#include <sched.h>
#include <sys/mount.h>
#endif

namespace {

using namespace std::chrono_literals;

#ifdef __linux__
// Mounts a tmpfs of `size` over `where` until destroyed. Needs a process that
// may make its own mount namespace (root or CAP_SYS_ADMIN); `error` says why not.
class SmallDisk {
 public:
  SmallDisk(const std::filesystem::path& where, const std::string& size) : where_(where) {
    // Before any thread exists: later threads share this thread's namespace.
    if (::unshare(CLONE_NEWNS) != 0) {
      error_ = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
      return;
    }
    // Private, so the mount below does not travel back to the parent namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      error_ = std::string("making / private: ") + std::strerror(errno);
      return;
    }
    if (::mount("tmpfs", where.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
      error_ = std::string("mount tmpfs: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  const std::string& error() const { return error_; }

 private:
  std::filesystem::path where_;
  bool mounted_ = false;
  std::string error_;
};
#endif

TEST(DiskFull, DownloadEndsFailedWith112AndKeepsTheBytesWritten) {
#ifndef __linux__
  GTEST_SKIP() << "a small disk is made only on Linux";
#else
  quillet_test::TempDir dir;
  const auto mountPoint = dir.file("small");
  std::filesystem::create_directory(mountPoint);
  SmallDisk disk(mountPoint, "64k");
  if (!disk.error().empty()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.error();

  constexpr uint64_t kBody = 1 << 20;
  quillet_test::RawHttpServer server([](const quillet_test::HttpRequest&, quillet_test::Connection& c) {
    if (c.send(quillet_test::httpHead(200, "OK", kBody))) c.sendPattern(0, kBody, 7);
  });
  const std::u16string target = quillet_test::widePath(mountPoint / "big.bin");
  const unsigned id = QL_DownloadFile(server.url().c_str(), reinterpret_cast<const QL_WCHAR*>(target.c_str()));
  QL_REQUEST_INFO info{};
  quillet_test::eventually([&] { return QL_RequestInfo(id, &info) != 1 || info.state != QL_STATE_RUNNING; });
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  EXPECT_EQ(info.responseCode, 200);
  const auto records = quillet_test::drainLogRecords();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back(), "Request finished: (0x70)\"There is not enough space on the disk.\"");

  const std::string onDisk = quillet_test::readFile(mountPoint / "big.bin");
  EXPECT_GT(onDisk.size(), 0u);
  EXPECT_LT(onDisk.size(), kBody);
  EXPECT_EQ(onDisk, quillet_test::patternBytes(0, onDisk.size(), 7)) << "the bytes written before the disk filled up";

  // Where the full size is known before the first byte, a file that cannot
  // fit fails at once, with both figures, and leaves the disk as it was.
  std::filesystem::remove(mountPoint / "big.bin");
  QL_DOWNLOAD_OPTIONS options{};
  options.size = sizeof(options);
  options.flags = QL_DOWNLOAD_ATOMIC;
  const unsigned checked =
      QL_DownloadFileEx(server.url().c_str(), reinterpret_cast<const QL_WCHAR*>(target.c_str()), &options);
  quillet_test::eventually([&] { return QL_RequestInfo(checked, &info) != 1 || info.state != QL_STATE_RUNNING; });
  EXPECT_EQ(info.state, QL_STATE_FAILED);
  const auto words = quillet_test::drainLogRecords().back();
  EXPECT_EQ(words.rfind("Request finished: Not enough disk space: 1048576 bytes needed, ", 0), 0u) << words;
  EXPECT_EQ(quillet_test::readFile(mountPoint / "big.bin.part"), "");
#endif
}

}  // namespace
