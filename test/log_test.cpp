#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "json/json.h"
#include "log/core.h"
#include "log/logger.h"
#include "platform/platform.h"

namespace {

using Log::Core;
using Log::Logger;

struct Seen {
  std::string file;
  int32_t line;
  int32_t level;
  std::u16string text;
  std::vector<uint32_t> ids;
  std::vector<std::string> channels;
  uint32_t process;
  uint32_t thread;
};

class CapturingSink : public Log::Sink {
 public:
  explicit CapturingSink(int32_t level = 0) : Log::Sink(level) {}
  void consume(const Log::Record& record, const std::vector<std::string>& channels) override {
    std::lock_guard<std::mutex> guard(mutex_);
    seen_.push_back(Seen{record.file, record.line, record.level, record.text, record.channels, channels, record.process,
                         record.thread});
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
  }
  std::vector<std::u16string> texts() {
    std::vector<std::u16string> out;
    for (const Seen& s : seen()) out.push_back(s.text);
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<Seen> seen_;
};

class ThrowingSink : public Log::Sink {
 public:
  explicit ThrowingSink(std::function<void()> thrower) : Log::Sink(0), thrower_(std::move(thrower)) {}
  void consume(const Log::Record&, const std::vector<std::string>&) override { thrower_(); }

 private:
  std::function<void()> thrower_;
};

class CustomFailure : public Log::Errors::Base {
 public:
  CustomFailure() : Log::Errors::Base("custom") {}
  [[noreturn]] void rethrow() const override { throw *this; }
};

void emit(const std::shared_ptr<Logger>& logger, int32_t level, const char* text) {
  logger->log(level, Log::Location::here("log_test", __LINE__), text, std::strlen(text));
}

class LogTest : public ::testing::Test {
 protected:
  std::shared_ptr<Core> install(Core::Settings settings) {
    auto core = std::make_shared<Core>(std::move(settings));
    Log::installCore(core);
    return core;
  }
  void TearDown() override { Log::installCore(nullptr); }
};

TEST_F(LogTest, WithoutCoreNothingHappens) {
  ASSERT_EQ(Log::coreHandle(), nullptr);
  EXPECT_FALSE(Log::isEnabled(1000));

  const std::shared_ptr<Logger>& module = Common::JSON::moduleLogger();
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->name(), "logger@json(52)");
  EXPECT_EQ(Log::defaultLogger(), module);

  auto sink = std::make_shared<CapturingSink>();
  module->addSink(sink);
  emit(module, 5, "dropped");
  const std::string argument = "arg";
  module->log(1, Log::Location::here("log_test", __LINE__), "x %0", 4, argument);
  Log::Record record;
  module->write(record);

  EXPECT_FALSE(module->attached());
  EXPECT_TRUE(module->channelIds().empty());
  EXPECT_TRUE(record.channels.empty());
  EXPECT_TRUE(sink->seen().empty());

  // A core installed later is found on the next use: attaching waits for it.
  install({});
  emit(module, 5, "kept");
  EXPECT_TRUE(module->attached());
  EXPECT_EQ(module->channelIds(), std::vector<uint32_t>{Log::channelId("Common")});
  EXPECT_EQ(sink->texts(), (std::vector<std::u16string>{u"Logger created (logger@json(52))", u"kept"}));
}

TEST_F(LogTest, ModuleLoggerNamesKeepTheLastThreePathComponents) {
  EXPECT_EQ(Log::moduleLoggerName("json", 52), "logger@json(52)");
  EXPECT_EQ(Log::moduleLoggerName("a/b", 1), "logger@a/b(1)");
  EXPECT_EQ(Log::moduleLoggerName("/x/src/json/json.cpp", 7), "logger@src/json/json.cpp(7)");
  EXPECT_EQ(Log::moduleLoggerName("c:\\w\\src\\json\\json.cpp", 9), "logger@src/json/json.cpp(9)");
}

TEST_F(LogTest, ChannelIdsAreFnv1a) {
  EXPECT_EQ(Log::channelId(""), 0x811C9DC5u);
  EXPECT_EQ(Log::channelId("a"), 0xE40C292Cu);
  EXPECT_EQ(Log::channelId("foobar"), 0xBF9CF968u);
  EXPECT_NE(Log::channelId("Common"), Log::channelId("common"));
}

TEST_F(LogTest, LevelsBelowTheCoreMinimumAreDiscardedBeforeAttaching) {
  Core::Settings settings;
  settings.minLevel = 3;
  install(settings);
  EXPECT_FALSE(Log::isEnabled(2));
  EXPECT_TRUE(Log::isEnabled(3));

  auto logger = Logger::create("quiet", nullptr, 1, "Q");
  auto sink = std::make_shared<CapturingSink>();
  logger->addSink(sink);
  emit(logger, 2, "too low");
  EXPECT_FALSE(logger->attached());
  EXPECT_TRUE(logger->channelIds().empty());
  emit(logger, 3, "enough");
  EXPECT_TRUE(logger->attached());
  // The announcement is level 1 and is filtered like any other record.
  EXPECT_EQ(sink->texts(), std::vector<std::u16string>{u"enough"});
}

TEST_F(LogTest, RecordsGatherChannelsOnTheWayToTheRootAndParentsAnnounceFirst) {
  install({});
  auto parent = Logger::create("parent", nullptr, 2, "C", "A");
  auto child = Logger::create("child", parent, 2, "A", "B");
  auto sink = std::make_shared<CapturingSink>();
  parent->addSink(sink);  // the child has no sink of its own

  emit(child, 5, "hello %0");
  ASSERT_TRUE(child->attached());
  ASSERT_TRUE(parent->attached());
  EXPECT_EQ(parent->childCount(), 1u);

  const std::vector<Seen> seen = sink->seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].text, u"Logger created (parent)");
  EXPECT_EQ(seen[0].channels, (std::vector<std::string>{"C", "A"}));
  EXPECT_EQ(seen[1].text, u"Logger created (child)");
  EXPECT_EQ(seen[1].file, "logger");
  EXPECT_EQ(seen[1].line, 165);
  EXPECT_EQ(seen[1].level, 1);
  EXPECT_EQ(seen[1].process, ql::platform::processId());
  EXPECT_EQ(seen[1].thread, ql::platform::threadId());
  // Text without placeholders is written as it is.
  EXPECT_EQ(seen[2].text, u"hello %0");
  EXPECT_EQ(seen[2].level, 5);
  EXPECT_EQ(seen[2].file, "log_test");
  EXPECT_EQ(seen[2].channels, (std::vector<std::string>{"C", "A", "B"}));
  EXPECT_EQ(seen[2].ids, (std::vector<uint32_t>{Log::channelId("C"), Log::channelId("A"), Log::channelId("B")}));

  // A record pushed at each logger with sinks carries what was gathered so far.
  auto childSink = std::make_shared<CapturingSink>();
  child->addSink(childSink);
  emit(child, 5, "twice");
  ASSERT_EQ(childSink->seen().size(), 1u);
  EXPECT_EQ(childSink->seen()[0].channels, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(sink->seen().back().channels, (std::vector<std::string>{"C", "A", "B"}));

  child.reset();  // a destroyed child leaves its parent's list
  EXPECT_EQ(parent->childCount(), 0u);
}

TEST_F(LogTest, LoggersWithoutParentHangBelowTheCoreRoot) {
  auto root = Logger::create("root", nullptr, 1, "R");
  auto rootSink = std::make_shared<CapturingSink>(5);
  root->addSink(rootSink);
  Core::Settings settings;
  settings.rootLogger = root;
  install(settings);

  auto orphan = Logger::create("orphan", nullptr, 1, "O");
  emit(orphan, 5, "up");
  EXPECT_EQ(orphan->parent(), root);
  // The root itself does not become its own parent; its records arrive once.
  EXPECT_EQ(root->parent(), nullptr);
  emit(root, 5, "direct");
  const std::vector<Seen> seen = rootSink->seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].channels, (std::vector<std::string>{"R", "O"}));
  EXPECT_EQ(seen[1].text, u"direct");
}

TEST_F(LogTest, UnknownChannelIdsResolveToEmptyNames) {
  auto core = install({});
  EXPECT_EQ(core->registerChannels({"X", "Y", "X"}),
            (std::vector<uint32_t>{Log::channelId("X"), Log::channelId("Y"), Log::channelId("X")}));
  EXPECT_EQ(core->resolveChannels({Log::channelId("Y"), 12345u, Log::channelId("X")}),
            (std::vector<std::string>{"Y", "", "X"}));

  auto logger = Logger::create("l", nullptr, 1, "X");
  auto sink = std::make_shared<CapturingSink>(5);
  logger->addSink(sink);
  Log::Record record(Log::Location::here("log_test", __LINE__), 5, u"foreign");
  record.channels = {777u};
  logger->write(record);
  ASSERT_EQ(sink->seen().size(), 1u);
  EXPECT_EQ(sink->seen()[0].channels, (std::vector<std::string>{"X", ""}));
}

TEST_F(LogTest, TextFormConvertsUtf8AndCutsAtNul) {
  install({});
  auto logger = Logger::create("t", nullptr, 0);
  auto sink = std::make_shared<CapturingSink>(5);
  logger->addSink(sink);
  logger->log(5, Log::Location::here("log_test", __LINE__), "caf\xC3\xA9\0tail", 10);
  logger->log(5, Log::Location::here("log_test", __LINE__), "bad \xC3", 5);
  const std::string argument = "\xC3\xA9";
  logger->log(5, Log::Location::here("log_test", __LINE__), "[%0]", 4, argument);
  EXPECT_EQ(sink->texts(),
            (std::vector<std::u16string>{u"caf\u00E9", u"", std::u16string{u'[', 0xFFC3, 0xFFA9, u']'}}));
}

TEST_F(LogTest, FullBufferKeepsTheNoticeInTheLastSlotAndDropsTheRest) {
  Core::Settings settings;
  settings.mode = Core::kBuffered;
  settings.capacity = 3;
  auto core = install(settings);
  auto logger = Logger::create("b", nullptr, 1, "K");
  // Level 2 keeps the level-1 announcement out of the queue.
  logger->addSink(std::make_shared<CapturingSink>(2));

  for (const char* text : {"one", "two", "three", "four", "five"}) emit(logger, 5, text);
  EXPECT_EQ(core->queueLength(), 3u);
  EXPECT_EQ(core->peakLength(), 3u);

  Log::QueuedRecord item;
  ASSERT_TRUE(core->pop(item));
  EXPECT_EQ(item.record.text, u"one");
  EXPECT_EQ(item.channels, std::vector<std::string>{"K"});
  EXPECT_EQ(item.owner, logger);
  ASSERT_TRUE(core->pop(item));
  EXPECT_EQ(item.record.text, u"two");
  ASSERT_TRUE(core->pop(item));
  EXPECT_EQ(item.record.text, u"Log buffer overflow: some messages may be lost!");
  EXPECT_EQ(item.record.level, 4);
  EXPECT_STREQ(item.record.file, "core");
  EXPECT_EQ(item.record.line, 396);
  EXPECT_TRUE(item.record.channels.empty());
  EXPECT_TRUE(item.channels.empty());
  EXPECT_EQ(item.owner, logger);
  EXPECT_FALSE(core->pop(item));

  // Once drained, the queue takes records again.
  emit(logger, 5, "six");
  ASSERT_TRUE(core->pop(item));
  EXPECT_EQ(item.record.text, u"six");
  EXPECT_EQ(core->peakLength(), 3u);
}

TEST_F(LogTest, RecordsNoSinkWantsNeverTakeQueueSlots) {
  Core::Settings settings;
  settings.mode = Core::kBuffered;
  settings.capacity = 2;
  auto core = install(settings);
  auto logger = Logger::create("s", nullptr, 0);
  logger->addSink(std::make_shared<CapturingSink>(4));
  for (int i = 0; i < 10; ++i) emit(logger, 3, "below");
  EXPECT_EQ(core->queueLength(), 0u);
  EXPECT_EQ(core->peakLength(), 0u);
  emit(logger, 4, "first");
  Log::QueuedRecord item;
  ASSERT_TRUE(core->pop(item));
  EXPECT_EQ(item.record.text, u"first");

  // A logger without sinks pushes nothing at all.
  auto silent = Logger::create("n", nullptr, 0);
  emit(silent, 9, "none");
  EXPECT_EQ(core->queueLength(), 0u);
}

TEST_F(LogTest, CapacityZeroRefusesNothing) {
  Core::Settings settings;
  settings.mode = Core::kBuffered;
  settings.capacity = 0;
  auto core = install(settings);
  auto logger = Logger::create("z", nullptr, 0);
  logger->addSink(std::make_shared<CapturingSink>(5));
  for (int i = 0; i < 5; ++i) emit(logger, 5, "r");
  EXPECT_EQ(core->queueLength(), 5u);
  Log::QueuedRecord item;
  while (core->pop(item)) EXPECT_EQ(item.record.text, u"r");
}

TEST_F(LogTest, OtherModesDropRecords) {
  Core::Settings settings;
  settings.mode = 7;
  auto core = install(settings);
  auto logger = Logger::create("m", nullptr, 0);
  auto sink = std::make_shared<CapturingSink>();
  logger->addSink(sink);
  emit(logger, 5, "gone");
  EXPECT_TRUE(sink->seen().empty());
  EXPECT_EQ(core->queueLength(), 0u);
  EXPECT_TRUE(core->enabled());
}

TEST_F(LogTest, ThrowingSinkSwitchesTheCoreOff) {
  std::vector<std::string> failures;
  Core::Settings settings;
  settings.minLevel = 2;
  settings.failureHandler = [&](const Log::Errors::Base& error) {
    try {
      error.rethrow();
    } catch (const CustomFailure& e) {
      failures.push_back(std::string("custom:") + e.what());
    } catch (const Log::Errors::Failed& e) {
      failures.push_back(std::string("failed:") + e.what());
    } catch (const Log::Errors::Base& e) {
      failures.push_back(std::string("base:") + e.what());
    }
  };
  auto core = install(settings);
  auto logger = Logger::create("f", nullptr, 0);
  auto after = std::make_shared<CapturingSink>();
  logger->addSink(std::make_shared<ThrowingSink>([] { throw std::runtime_error("boom"); }));
  logger->addSink(after);

  emit(logger, 5, "first");  // must not throw towards the caller
  EXPECT_EQ(failures, std::vector<std::string>{"failed:boom"});
  EXPECT_FALSE(core->enabled());
  EXPECT_FALSE(Log::isEnabled(5));
  emit(logger, 5, "second");
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_TRUE(after->seen().empty());

  // A framework error reaches the handler as itself.
  auto second = install(settings);
  auto other = Logger::create("g", nullptr, 0);
  other->addSink(std::make_shared<ThrowingSink>([] { throw CustomFailure(); }));
  emit(other, 5, "x");
  EXPECT_EQ(failures.back(), "custom:custom");
  EXPECT_FALSE(second->enabled());
}

TEST_F(LogTest, BufferedConsumerDeliversInOrderFromItsOwnThread) {
  Core::Settings settings;
  settings.mode = Core::kBuffered;
  settings.capacity = 100000;
  auto core = install(settings);
  auto logger = Logger::create("c", nullptr, 1, "Q");
  auto sink = std::make_shared<CapturingSink>(5);
  logger->addSink(sink);
  {
    Log::BufferedConsumer consumer(core);
    std::vector<std::thread> emitters;
    for (int t = 0; t < 3; ++t) {
      emitters.emplace_back([&logger, t] {
        for (int i = 0; i < 200; ++i) {
          const std::string text = std::to_string(t) + ":" + std::to_string(i);
          emit(logger, 5, text.c_str());
        }
      });
    }
    for (std::thread& emitter : emitters) emitter.join();
  }  // stopping delivers what is still queued
  const std::vector<Seen> seen = sink->seen();
  ASSERT_EQ(seen.size(), 600u);
  std::vector<int> next(3, 0);
  for (const Seen& s : seen) {
    const std::string text(s.text.begin(), s.text.end());  // ASCII
    const int t = text[0] - '0';
    ASSERT_TRUE(t >= 0 && t < 3) << text;
    EXPECT_EQ(text, std::to_string(t) + ":" + std::to_string(next[t]));  // each emitter in order
    ++next[t];
    EXPECT_EQ(s.channels, std::vector<std::string>{"Q"});
  }
  EXPECT_EQ(next, (std::vector<int>{200, 200, 200}));
  EXPECT_EQ(core->queueLength(), 0u);
}

}  // namespace
