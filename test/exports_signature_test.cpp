// The signature exports against signatures that minisign itself made at
// build time (make_signatures.sh), as a publisher makes them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "quillet/quillet.h"
#include "support/log_records.h"
#include "support/raw_http_server.h"
#include "support/requests.h"
#include "support/system_text.h"
#include "support/temp_dir.h"
#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

using namespace quillet_test;
using Records = std::vector<std::string>;

namespace {

std::string fixture(const std::string& name) { return readFile(std::filesystem::path(QUILLET_SIGNATURES_DIR) / name); }

// minisign names the key id in the public key's own comment, without the
// leading zeros that the records keep.
std::string keyIdOf(const std::string& publicKey) {
  const std::string comment = publicKey.substr(0, publicKey.find('\n'));
  const std::string id = comment.substr(comment.rfind(' ') + 1);
  return std::string(16 - id.size(), '0') + id;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

std::string line(const std::string& text, int index) {
  std::size_t begin = 0;
  for (int i = 0; i < index; ++i) begin = text.find('\n', begin) + 1;
  return text.substr(begin, text.find('\n', begin) - begin);
}

std::string failed(const std::string& reason) { return "Signature check failed: " + reason; }

int verifyFile(const std::filesystem::path& file, const std::string& signature, const std::string& keys) {
  const std::u16string path = widePath(file);
  return QL_VerifyFileSignature(reinterpret_cast<const QL_WCHAR*>(path.c_str()), signature.c_str(), keys.c_str());
}

// The most memory this process has held at once.
uint64_t peakMemory() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
  return counters.PeakWorkingSetSize;
#else
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
#endif
}

const std::string manifest = fixture("manifest.txt");
const std::string keyA = fixture("a.pub");
const std::string keyB = fixture("b.pub");
const std::string hashed = fixture("manifest.txt.minisig");
const std::string legacy = fixture("manifest.txt.legacy.minisig");
const std::string verifiedByA = "Signature verified: key " + keyIdOf(keyA);

TEST(Signature, BytesSignedByMinisign) {
  std::string tampered = manifest;
  tampered[10] ^= 1;
  const struct {
    const char* what;
    std::string data, signature, keys, record;
  } cases[] = {
      {"hashed", manifest, hashed, keyA, verifiedByA},
      {"legacy", manifest, legacy, keyA, verifiedByA},
      {"the second key signs", manifest, fixture("manifest.txt.b.minisig"), keyA + keyB,
       "Signature verified: key " + keyIdOf(keyB)},
      {"bare base64 key", manifest, hashed, line(keyA, 1), verifiedByA},
      {"tampered data, hashed", tampered, hashed, keyA, failed("bad signature")},
      {"tampered data, legacy", tampered, legacy, keyA, failed("bad signature")},
      {"tampered trusted comment", manifest, replaced(hashed, "quillet test", "quillet text"), keyA,
       failed("bad trusted comment signature")},
      {"wrong key", manifest, hashed, keyB, failed("no key with id " + keyIdOf(keyA))},
      {"no untrusted comment", manifest, hashed.substr(hashed.find('\n') + 1), keyA, failed("malformed signature")},
      {"no global signature", manifest, replaced(hashed, line(hashed, 3), ""), keyA, failed("malformed signature")},
      {"signature cut short", manifest, replaced(hashed, line(hashed, 1), line(hashed, 1).substr(4)), keyA,
       failed("malformed signature")},
      {"more after it", manifest, hashed + "x\n", keyA, failed("malformed signature")},
      {"comment without key", manifest, hashed, line(keyA, 0), failed("malformed key")},
      {"signature for key", manifest, hashed, line(hashed, 1), failed("malformed key")},
      {"one bad key of two", manifest, hashed, keyA + "RWQ!!\n", failed("malformed key")},
  };
  drainLogRecords();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const int result =
        QL_VerifySignature(c.data.data(), static_cast<unsigned>(c.data.size()), c.signature.c_str(), c.keys.c_str());
    EXPECT_EQ(result, c.record.rfind("Signature verified", 0) == 0 ? 1 : 0);
    EXPECT_EQ(drainLogRecords(), Records{c.record});
  }
}

TEST(Signature, NullEmptyAndUnknownArguments) {
  const std::string empty = fixture("empty.minisig");
  const std::string longer = manifest + "not signed";
  drainLogRecords();
  EXPECT_EQ(QL_VerifySignature(longer.data(), static_cast<unsigned>(manifest.size()), hashed.c_str(), keyA.c_str()), 1);
  EXPECT_EQ(QL_VerifySignature(nullptr, 0, empty.c_str(), keyA.c_str()), 1);
  EXPECT_EQ(QL_VerifySignature(nullptr, 1, empty.c_str(), keyA.c_str()), 0);
  EXPECT_EQ(QL_VerifySignature(manifest.data(), 1, nullptr, keyA.c_str()), 0);
  EXPECT_EQ(QL_VerifySignature(manifest.data(), 1, hashed.c_str(), nullptr), 0);
  EXPECT_EQ(QL_VerifySignature(manifest.data(), 1, hashed.c_str(), ""), 0);
  EXPECT_EQ(QL_VerifyFileSignature(nullptr, hashed.c_str(), keyA.c_str()), 0);
  EXPECT_EQ(QL_VerifyRequestSignature(7, hashed.c_str(), keyA.c_str()), 0);
  EXPECT_EQ(drainLogRecords(),
            (Records{verifiedByA, verifiedByA, failed(systemText(87, "The parameter is incorrect.")),
                     failed("malformed signature"), failed("malformed key"), failed("malformed key"),
                     failed(systemText(3, "The system cannot find the path specified.")), "Request not found"}));
}

TEST(Signature, FilesInConstantMemory) {
  TempDir dir;
  writeFile(dir.file("empty"), "");
  writeFile(dir.file("manifest.txt"), manifest);
  // The pattern make_signatures.sh signed, a MiB at a time: block k is
  // bytes 0, 1, ... 255, 0, ... rotated by k.
  std::string block(1 << 20, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i);
  {
    std::ofstream out(dir.file("pattern"), std::ios::binary);
    for (std::size_t k = 0; k < 100; ++k) {
      out.write(block.data() + k, static_cast<std::streamsize>(block.size() - k));
      out.write(block.data(), static_cast<std::streamsize>(k));
    }
  }
  const std::string pattern = fixture("pattern.minisig");
  drainLogRecords();
  const uint64_t before = peakMemory();
  EXPECT_EQ(verifyFile(dir.file("pattern"), pattern, keyA), 1);
  EXPECT_LT(peakMemory() - before, 16u << 20) << "the file was not read in pieces";
  EXPECT_EQ(verifyFile(dir.file("empty"), fixture("empty.minisig"), keyA), 1);
  EXPECT_EQ(verifyFile(dir.file("manifest.txt"), legacy, keyA + keyB), 1);
  EXPECT_EQ(verifyFile(dir.file("missing"), hashed, keyA), 0);
  std::fstream(dir.file("pattern"), std::ios::binary | std::ios::in | std::ios::out).seekp((100 << 20) - 1).put('\x7f');
  EXPECT_EQ(verifyFile(dir.file("pattern"), pattern, keyA), 0);
  EXPECT_EQ(drainLogRecords(),
            (Records{verifiedByA, verifiedByA, verifiedByA,
                     failed(systemText(2, "The system cannot find the file specified.")), failed("bad signature")}));
}

// As a host names its files: relative to a working directory it changed,
// through a link, and from several threads at once.
TEST(Signature, FilesAsTheHostNamesThem) {
  TempDir dir;
  writeFile(dir.file("manifest.txt"), manifest);
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(verifyFile("manifest.txt", hashed, keyA), 1);
#ifndef _WIN32
  std::filesystem::create_symlink(dir.file("manifest.txt"), dir.file("link"));
  EXPECT_EQ(verifyFile("link", legacy, keyA), 1);
#endif
  std::filesystem::current_path(before);
  std::vector<int> results(8, 0);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&results, &dir, i] {
      results[i] = i % 2 == 0 ? verifyFile(dir.file("manifest.txt"), hashed, keyA)
                              : QL_VerifySignature(manifest.data(), static_cast<unsigned>(manifest.size()),
                                                   legacy.c_str(), keyA.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(results, std::vector<int>(8, 1));
  drainLogRecords();
}

TEST(Signature, BodyOfAFinishedRequest) {
  RawHttpServer server(
      [](const HttpRequest&, Connection& connection) { connection.send(httpResponse(200, "OK", manifest)); });
  const unsigned id = QL_Request(0, server.url("/manifest.txt").c_str(), nullptr);
  ASSERT_EQ(waitFinished(id).state, QL_STATE_DONE);
  drainLogRecords();
  EXPECT_EQ(QL_VerifyRequestSignature(id, hashed.c_str(), keyA.c_str()), 1);
  EXPECT_EQ(QL_VerifyRequestSignature(id, fixture("empty.minisig").c_str(), keyA.c_str()), 0);
  EXPECT_EQ(drainLogRecords(), (Records{verifiedByA, failed("bad signature")}));
  QL_RemoveRequest(id);
}

}  // namespace
