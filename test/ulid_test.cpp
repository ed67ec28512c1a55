#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "quillet/quillet.h"
#include "util/ulid.h"

#ifndef _WIN32
#include "support/process.h"
#endif

namespace {

// The Windows C runtime's rand() from its initial state 1, mapped to bytes as
// the installer's original generator did: the known vector for the encoder.
std::array<uint8_t, 10> msvcRandBytes() {
  uint32_t state = 1;
  std::array<uint8_t, 10> out{};
  for (auto& byte : out) {
    state = state * 214013u + 2531011u;
    uint64_t r = (state >> 16) & 0x7FFF;
    byte = static_cast<uint8_t>(r * 255 / 32767);
  }
  return out;
}

TEST(UlidEncoding, MatchesTheKnownVector) {
  auto random = msvcRandBytes();
  EXPECT_EQ(random, (std::array<uint8_t, 10>{0x00, 0x8F, 0x31, 0xCE, 0x95, 0x7A, 0x59, 0xE4, 0xD1, 0xBE}));
  EXPECT_EQ(ql::encodeUlid(ql::makeUlidBytes(1700000000, random)), "0001JN7W80027K3KMNF9CY9MDY");
}

TEST(UlidEncoding, TimePartIsSecondsMostSignificantFirst) {
  std::array<uint8_t, 10> zero{};
  auto value = ql::makeUlidBytes(0x0102030405060708LL, zero);
  EXPECT_EQ(value[0], 0x03);  // only the low 48 bits are kept
  EXPECT_EQ(value[5], 0x08);
  EXPECT_EQ(ql::encodeUlid(ql::makeUlidBytes(0, zero)), std::string(26, '0'));
  // 2^30 .. 2^31-1 seconds all start with "0001"; below 2^35 with "000".
  EXPECT_EQ(ql::encodeUlid(ql::makeUlidBytes(1LL << 30, zero)).substr(0, 4), "0001");
  EXPECT_EQ(ql::encodeUlid(ql::makeUlidBytes((1LL << 31) - 1, zero)).substr(0, 4), "0001");
  EXPECT_EQ(ql::encodeUlid(ql::makeUlidBytes((1LL << 35) - 1, zero)).substr(0, 3), "000");
  EXPECT_NE(ql::encodeUlid(ql::makeUlidBytes(1LL << 35, zero)).substr(0, 3), "000");
}

TEST(UlidEncoding, AllOnesUsesTheTopCharacters) {
  ql::UlidBytes ones;
  ones.fill(0xFF);
  EXPECT_EQ(ql::encodeUlid(ones), "7ZZZZZZZZZZZZZZZZZZZZZZZZZ");
}

TEST(UlidGeneration, CarriesTheCurrentSecond) {
  int64_t before = ql::platform::coarseUnixTimeSeconds();
  std::string id = ql::generateUlid();
  int64_t after = ql::platform::coarseUnixTimeSeconds();
  std::string lowTime = ql::encodeUlid(ql::makeUlidBytes(before, {})).substr(0, 10);
  std::string highTime = ql::encodeUlid(ql::makeUlidBytes(after, {})).substr(0, 10);
  EXPECT_GE(id.substr(0, 10), lowTime);
  EXPECT_LE(id.substr(0, 10), highTime);
}

TEST(UlidGeneration, ThreadsInTheSameSecondNeverCollide) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 500;
  std::mutex mutex;
  std::set<std::string> randomParts;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      std::vector<std::string> mine;
      for (int i = 0; i < kPerThread; ++i) mine.push_back(ql::generateUlid().substr(10));
      std::lock_guard<std::mutex> guard(mutex);
      randomParts.insert(mine.begin(), mine.end());
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(randomParts.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

std::vector<std::string> randomParts(std::size_t count) {
  std::vector<std::string> parts;
  for (std::size_t i = 0; i < count; ++i) parts.push_back(ql::generateUlid().substr(10));
  return parts;
}

TEST(UlidGeneration, OneThreadNeverRepeatsAcrossBlocks) {
  // A fresh thread, and enough parts to draw several blocks.
  std::vector<std::string> parts;
  std::thread([&] { parts = randomParts(3 * ql::kUlidRandomBlockBytes / 10 + 1); }).join();
  EXPECT_EQ(std::set<std::string>(parts.begin(), parts.end()).size(), parts.size());
}

#ifndef _WIN32
TEST(UlidGeneration, AForkedChildNeverHandsOutItsParentsBytes) {
  ql::generateUlid();  // this thread now holds random bytes not yet handed out
  auto child = quillet_test::runInForkedChild([] {
    std::string joined;
    for (const auto& part : randomParts(3)) joined += part;
    return joined;
  });
  std::vector<std::string> parent = randomParts(3);
  ASSERT_TRUE(child.has_value());
  ASSERT_EQ(child->size(), 3 * 16u);
  for (std::size_t i = 0; i < 3; ++i) {
    std::string fromChild = child->substr(16 * i, 16);
    for (const auto& fromParent : parent) EXPECT_NE(fromChild, fromParent) << "child part " << i;
  }
}
#endif

TEST(UlidExport, WritesExactlyTwentySixUnits) {
  std::u16string buffer(30, u'#');
  QL_GenerateULID(reinterpret_cast<QL_WCHAR*>(&buffer[0]));
  for (int i = 0; i < 26; ++i) {
    EXPECT_NE(std::string("0123456789ABCDEFGHJKMNPQRSTVWXYZ").find(static_cast<char>(buffer[i])), std::string::npos)
        << "unit " << i;
  }
  EXPECT_LE(buffer[0], u'7');
  EXPECT_EQ(buffer.substr(26), u"####");
  QL_GenerateULID(nullptr);  // must not crash
}

}  // namespace
