#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "api/id_table.h"
#include "api/log_queue.h"
#include "text/text.h"

namespace {

TEST(LogRecordQueue, EmptyQueueWritesZeroLengthAndLeavesTheBuffer) {
  ql::LogRecordQueue queue;
  char16_t buffer[4] = {u'x', u'x', u'x', u'x'};
  int length = 99;
  EXPECT_EQ(queue.pull(buffer, 4, &length), 0);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(buffer[0], u'x');
}

TEST(LogRecordQueue, TooSmallBufferKeepsTheRecordAtTheFront) {
  ql::LogRecordQueue queue;
  queue.push(u"Http system initialized");
  queue.push(u"second");
  std::u16string buffer(30, u'#');
  int length = 0;
  EXPECT_EQ(queue.pull(&buffer[0], 22, &length), 0);
  EXPECT_EQ(length, 23);
  EXPECT_EQ(buffer, std::u16string(30, u'#'));
  EXPECT_EQ(queue.pull(nullptr, 0, &length), 0);  // length query with no buffer
  EXPECT_EQ(length, 23);
  EXPECT_EQ(queue.pull(nullptr, 100, &length), 0);  // a null buffer is never written
  EXPECT_EQ(queue.pull(&buffer[0], 23, &length), 1);
  EXPECT_EQ(length, 23);
  EXPECT_EQ(buffer.substr(0, 23), u"Http system initialized");
  EXPECT_EQ(buffer.substr(23), u"#######");  // no terminator written
  EXPECT_EQ(queue.pull(&buffer[0], 30, &length), 1);
  EXPECT_EQ(buffer.substr(0, 6), u"second");
  EXPECT_EQ(queue.pull(&buffer[0], 30, &length), 0);
  EXPECT_EQ(length, 0);
}

TEST(LogRecordQueue, ConcurrentPushersAndPullersLoseAndDuplicateNothing) {
  ql::LogRecordQueue queue;
  constexpr int kPushers = 4;
  constexpr int kRecords = 2000;
  std::atomic<int> pushersDone{0};
  std::vector<std::vector<std::u16string>> pulled(2);
  std::vector<std::thread> threads;
  for (int p = 0; p < kPushers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kRecords; ++i) {
        queue.push(ql::toDecimalText(int32_t{p}) + u":" + ql::toDecimalText(int32_t{i}));
      }
      ++pushersDone;
    });
  }
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&, c] {
      std::u16string buffer(32, u'\0');
      for (;;) {
        int length = 0;
        if (queue.pull(&buffer[0], 32, &length) == 1) {
          pulled[c].push_back(buffer.substr(0, static_cast<std::size_t>(length)));
        } else if (pushersDone.load() == kPushers && queue.size() == 0) {
          break;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  // Every record arrives exactly once, and each pusher's records keep their
  // order within each consumer's sequence.
  std::map<std::u16string, int> seen;
  for (const auto& consumer : pulled) {
    std::vector<int> last(kPushers, -1);
    for (const auto& record : consumer) {
      ++seen[record];
      auto colon = record.find(u':');
      int pusher = record[0] - u'0';
      int index = 0;
      for (char16_t digit : record.substr(colon + 1)) index = index * 10 + (digit - u'0');
      EXPECT_GT(index, last[pusher]);
      last[pusher] = index;
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kPushers * kRecords));
  for (const auto& [record, count] : seen) EXPECT_EQ(count, 1);
}

TEST(IdTable, IdentifiersWrapToOneAndNeverIssueZero) {
  uint32_t counter = 0xFFFFFFFEu;
  EXPECT_EQ(ql::nextIdentifier(counter), 0xFFFFFFFFu);
  EXPECT_EQ(ql::nextIdentifier(counter), 1u);
  EXPECT_EQ(ql::nextIdentifier(counter), 2u);

  ql::IdTable<int> table;
  EXPECT_EQ(table.issueId(), 1u);
  table.setCounterForTesting(0xFFFFFFFFu);
  EXPECT_EQ(table.issueId(), 1u);
}

TEST(IdTable, ReplacingAnEntryAfterAWrapReleasesTheOldObject) {
  ql::IdTable<int> table;
  auto first = std::make_shared<int>(1);
  std::weak_ptr<int> watch = first;
  table.insert(1, std::move(first));
  table.insert(1, std::make_shared<int>(2));
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(*table.find(1), 2);
  EXPECT_EQ(*table.extract(1), 2);
  EXPECT_EQ(table.find(1), nullptr);
  EXPECT_EQ(table.extract(1), nullptr);
}

}  // namespace
