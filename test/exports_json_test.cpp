// QL_ParseJSON and QL_GetStringByPath as the installer calls them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "quillet/quillet.h"
#include "support/time_limits.h"

namespace {

constexpr QL_WCHAR kUnwritten = static_cast<QL_WCHAR>(0x2A2A);
constexpr unsigned kUntouched = 77;

unsigned parse(const char* text) { return static_cast<unsigned>(QL_ParseJSON(text)); }

// The member's value through a generous buffer; "<none>" when the call fails.
std::u16string read(unsigned document, const char* path) {
  std::vector<QL_WCHAR> buffer(256, kUnwritten);
  unsigned length = static_cast<unsigned>(buffer.size());
  if (QL_GetStringByPath(document, path, buffer.data(), &length) != 1) return u"<none>";
  return std::u16string(buffer.begin(), buffer.begin() + length);
}

// Failing calls must leave both the buffer and the length alone.
void expectRefused(unsigned document, const char* path) {
  QL_WCHAR buffer[4] = {kUnwritten, kUnwritten, kUnwritten, kUnwritten};
  unsigned length = 4;
  EXPECT_EQ(QL_GetStringByPath(document, path, buffer, &length), 0) << path;
  EXPECT_EQ(length, 4u) << path;
  EXPECT_EQ(buffer[0], kUnwritten) << path;
  unsigned nothing = kUntouched;
  EXPECT_EQ(QL_GetStringByPath(document, path, nullptr, &nothing), 0) << path;
  EXPECT_EQ(nothing, kUntouched) << path;
}

TEST(ParseJson, IdentifiersStartAtOneAndFailuresUseThemUp) {
  EXPECT_EQ(parse("not json"), 0u);  // uses up 1
  EXPECT_EQ(parse("{\"a\":\"b\"}"), 2u);
  EXPECT_EQ(parse("[]"), 0u);           // an array parses but is no document: 3
  EXPECT_EQ(parse("\"lone\""), 0u);     // 4
  EXPECT_EQ(parse(nullptr), 0u);        // 5
  EXPECT_EQ(parse("{} trailing"), 0u);  // 6
  EXPECT_EQ(parse("{}"), 7u);
  EXPECT_EQ(read(2, "a"), u"b");
  for (unsigned refused : {0u, 1u, 3u, 6u, 8u, 0xFFFFFFFFu}) expectRefused(refused, "a");
}

TEST(ParseJson, EmptyDocumentHasNoMembers) {
  const unsigned id = parse("{}");
  ASSERT_NE(id, 0u);
  for (const char* path : {"", "a", "a.b"}) expectRefused(id, path);
  const unsigned nested = parse(" { \"\" : \"empty name\" } ");
  EXPECT_EQ(read(nested, ""), u"empty name");
}

TEST(GetStringByPath, LengthAndCapacityProtocol) {
  const unsigned id = parse("{\"name\":\"abc\",\"empty\":\"\"}");
  ASSERT_NE(id, 0u);

  unsigned length = 0;
  EXPECT_EQ(QL_GetStringByPath(id, "name", nullptr, &length), 1);
  EXPECT_EQ(length, 3u);
  length = 100;  // no buffer: nothing copied whatever the capacity
  EXPECT_EQ(QL_GetStringByPath(id, "name", nullptr, &length), 1);
  EXPECT_EQ(length, 3u);

  QL_WCHAR buffer[5];
  auto reset = [&] {
    for (QL_WCHAR& unit : buffer) unit = kUnwritten;
  };
  reset();
  length = 0;
  EXPECT_EQ(QL_GetStringByPath(id, "name", buffer, &length), 1);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(buffer[0], kUnwritten);

  reset();
  length = 2;  // too small: cut short, still success, full length reported
  EXPECT_EQ(QL_GetStringByPath(id, "name", buffer, &length), 1);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(std::u16string(buffer, buffer + 3), (std::u16string{u'a', u'b', kUnwritten}));

  reset();
  length = 3;  // exact: no terminator follows
  EXPECT_EQ(QL_GetStringByPath(id, "name", buffer, &length), 1);
  EXPECT_EQ(std::u16string(buffer, buffer + 5), (std::u16string{u'a', u'b', u'c', kUnwritten, kUnwritten}));

  reset();
  length = 5;
  EXPECT_EQ(QL_GetStringByPath(id, "name", buffer, &length), 1);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(buffer[3], kUnwritten);

  reset();
  length = 5;
  EXPECT_EQ(QL_GetStringByPath(id, "empty", buffer, &length), 1);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(buffer[0], kUnwritten);
}

TEST(GetStringByPath, BytesAreWidenedOneUnitEach) {
  const unsigned id = parse("{\"e\":\"\xC3\xA9\",\"esc\":\"\\u00e9!\",\"euro\":\"\xE2\x82\xAC\",\"del\":\"\x7F\"}");
  ASSERT_NE(id, 0u);
  unsigned length = 0;
  ASSERT_EQ(QL_GetStringByPath(id, "e", nullptr, &length), 1);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(read(id, "e"), (std::u16string{0xFFC3, 0xFFA9}));
  EXPECT_EQ(read(id, "esc"), (std::u16string{0xFFC3, 0xFFA9, u'!'}));
  EXPECT_EQ(read(id, "euro"), (std::u16string{0xFFE2, 0xFF82, 0xFFAC}));
  EXPECT_EQ(read(id, "del"), std::u16string(1, 0x7F));
  // A key written with an escape matches its UTF-8 bytes.
  const unsigned keyed = parse("{\"caf\\u00e9\":\"x\"}");
  EXPECT_EQ(read(keyed, "caf\xC3\xA9"), u"x");
}

TEST(GetStringByPath, OnlyStringMembersAnswer) {
  const unsigned id = parse(
      "{\"n\":5,\"f\":1.5,\"t\":true,\"no\":false,\"z\":null,\"o\":{\"s\":\"x\"},\"a\":[\"x\"],"
      "\"s\":\"ok\"}");
  ASSERT_NE(id, 0u);
  for (const char* path : {"n", "f", "t", "no", "z", "o", "a", "missing", "S", "s ", "o.s"}) {
    expectRefused(id, path);
  }
  EXPECT_EQ(read(id, "s"), u"ok");
  // A null path never names a member.
  unsigned length = kUntouched;
  EXPECT_EQ(QL_GetStringByPath(id, nullptr, nullptr, &length), 0);
  EXPECT_EQ(length, kUntouched);
}

TEST(GetStringByPath, ThePathIsOneMemberNameTakenWhole) {
  const unsigned nested = parse("{\"a\":{\"b\":\"x\"}}");
  expectRefused(nested, "a.b");
  expectRefused(nested, "a/b");
  expectRefused(nested, "a[0]");
  const unsigned flat =
      parse("{\"a.b\":\"dot\",\"a/b\":\"slash\",\"a\":\"plain\",\"$.a\":\"dollar\",\"a[0]\":\"idx\"}");
  EXPECT_EQ(read(flat, "a.b"), u"dot");
  EXPECT_EQ(read(flat, "a/b"), u"slash");
  EXPECT_EQ(read(flat, "a"), u"plain");
  EXPECT_EQ(read(flat, "$.a"), u"dollar");
  EXPECT_EQ(read(flat, "a[0]"), u"idx");
}

TEST(ParseJson, CleanupForgetsDocumentsButNotTheNumbering) {
  const unsigned first = parse("{\"a\":\"1\"}");
  const unsigned second = parse("{\"a\":\"2\"}");
  ASSERT_EQ(second, first + 1);
  QL_Cleanup();
  expectRefused(first, "a");
  expectRefused(second, "a");
  const unsigned third = parse("{\"a\":\"3\"}");
  EXPECT_EQ(third, second + 1);
  EXPECT_EQ(read(third, "a"), u"3");
}

// Readers share one document's values while other threads parse and the
// table is emptied under them; run under ThreadSanitizer as well.
// Resident memory in bytes; 0 where the system does not tell.
std::size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  if (!(statm >> pages >> resident)) return 0;
  return resident * 4096;
}

TEST(ParseJson, CleanupGivesTheDocumentsMemoryBack) {
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "measures the C library's own heap in a plain Linux build";
#endif
  const std::size_t before = residentBytes();
  if (before == 0) GTEST_SKIP() << "no /proc/self/statm";
  const std::string text = "{\"name\":\"" + std::string(200, 'n') + "\",\"url\":\"http://127.0.0.1/x\"}";
  for (int i = 0; i < 100000; ++i) ASSERT_NE(parse(text.c_str()), 0u);
  EXPECT_GT(residentBytes(), before + 32 * 1024 * 1024);  // the documents were really held
  QL_Cleanup();
  EXPECT_LT(residentBytes(), before + 8 * 1024 * 1024);
}

TEST(JsonConcurrency, ReadersParsersAndCleanupTogether) {
  std::string text = "{";
  for (int i = 0; i < 50; ++i) text += "\"m" + std::to_string(i) + "\":\"value " + std::to_string(i) + "\",";
  text += "\"shared\":\"caf\xC3\xA9\",\"n\":{\"inner\":\"x\"}}";
  const std::u16string expected{u'c', u'a', u'f', 0xFFC3, 0xFFA9};

  std::atomic<unsigned> current{parse(text.c_str())};
  ASSERT_NE(current.load(), 0u);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::atomic<long> found{0};

  std::vector<std::thread> threads;
  for (int r = 0; r < 4; ++r) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        const unsigned id = current.load();
        const std::u16string value = read(id, "shared");
        if (value == u"<none>") continue;  // emptied by a cleanup meanwhile
        if (value != expected) ++wrong;
        ++found;
        if (read(id, "n") != u"<none>") ++wrong;
      }
    });
  }
  for (int p = 0; p < 2; ++p) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        const unsigned id = parse(text.c_str());
        if (id == 0) {
          ++wrong;
          continue;
        }
        current.store(id);
        const std::u16string mine = read(id, "m7");
        if (mine != u"value 7" && mine != u"<none>") ++wrong;
        if (parse("[1]") != 0 || parse("{bad") != 0) ++wrong;
      }
    });
  }
  std::thread cleaner([&] {
    // Each cleanup waits until a reader has found the value since the last
    // one, so every cleanup empties a table that is being read.
    for (int i = 0; i < 20; ++i) {
      const long before = found.load();
      quillet_test::eventually([&] { return found.load() != before; });
      QL_Cleanup();
    }
    stop.store(true);
  });
  cleaner.join();
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(found.load(), 0);
  // The table still works afterwards.
  const unsigned last = parse(text.c_str());
  EXPECT_EQ(read(last, "shared"), expected);
}

}  // namespace
