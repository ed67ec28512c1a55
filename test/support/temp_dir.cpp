#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillet_test {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device entropy;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = base / ("quillet-test-" + std::to_string(entropy()) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

#ifndef _WIN32
namespace {

// Empties the folder open as `folder` through descriptors alone, so that a
// tree deeper than the longest path the system takes goes too.
void emptyFolder(int folder) {
  DIR* listing = ::fdopendir(::dup(folder));
  if (listing == nullptr) return;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status {};
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode)) {
      const int inner = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (inner >= 0) {
        emptyFolder(inner);
        ::close(inner);
      }
      ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(folder, name.c_str(), 0);
    }
  }
  ::closedir(listing);
}

}  // namespace
#endif

TempDir::~TempDir() {
  std::error_code failed;
  std::filesystem::remove_all(path_, failed);
#ifndef _WIN32
  if (failed) {  // a tree too deep for whole paths
    const int folder = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    emptyFolder(folder);
    ::close(folder);
    ::rmdir(path_.c_str());
  }
#endif
}

std::u16string widePath(const std::filesystem::path& path) { return path.u16string(); }

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace quillet_test
