#include <gtest/gtest.h>
#include <jansson.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "json/json.h"
#include "log/core.h"
#include "log/logger.h"

namespace {

using Common::JSON::findJsonNode;
using Common::JSON::JsonMemberMap;
using Common::JSON::JsonNode;
namespace Errors = Common::JSON::Errors;

constexpr std::size_t kUncounted = static_cast<std::size_t>(-1);

std::size_t countOf(const JsonNode& node) { return node.value()->refcount; }

// The what() text of the error a failing load throws.
std::string loadFailure(const char* text) {
  try {
    JsonNode::load(text);
  } catch (const Errors::Failed& error) {
    return error.what();
  } catch (...) {
    return "<other exception>";
  }
  return "<loaded>";
}

std::string failureText(const std::string& inner) {
  return "[Error.Common.JSON.Failed] Failed to load JSON data (" + inner + ": ";
}

TEST(JsonLoad, AcceptsOnlyAnObjectOrArrayFollowedByWhiteSpace) {
  EXPECT_TRUE(json_is_object(JsonNode::load("{}").value()));
  EXPECT_TRUE(json_is_array(JsonNode::load(" [1,2] \n\t").value()));
  for (const char* text : {"\"s\"", "1", "-2.5", "true", "false", "null", "", "   ", "{} x", "{}{}", "[] ,", "{\"a\":1",
                           "{\"a\":1,}", "[1,]", "{'a':1}"}) {
    EXPECT_THROW(JsonNode::load(text), Errors::Failed) << text;
  }
  EXPECT_EQ(loadFailure("\"s\""), failureText("'[' or '{' expected near '\"s\"'); line: 1; col: 3; byte: 3"));
}

TEST(JsonLoad, FailureTextCarriesParserTextLineColumnAndByte) {
  EXPECT_EQ(loadFailure(nullptr),
            "[Error.Common.JSON.Failed] Failed to load JSON data (wrong arguments); line: -1; "
            "col: -1; byte: 0: ");
  // Three different numbers, so their order is checked too.
  EXPECT_EQ(loadFailure("{\n  \"a\": x}"), failureText("invalid token near 'x'); line: 2; col: 8; byte: 10"));
  EXPECT_EQ(loadFailure("{} x"), failureText("end of file expected near 'x'); line: 1; col: 4; byte: 4"));
  // The parser's text is byte-widened, not decoded: the bytes C3 A9 it quotes
  // come out as U+FFC3 U+FFA9.
  EXPECT_EQ(loadFailure("{\"a\": \xC3\xA9}"),
            failureText("invalid token near '\xEF\xBF\x83\xEF\xBE\xA9'); line: 1; col: 7; byte: 8"));
}

TEST(JsonLoad, StrictnessOfTheParser) {
  // The last value of a repeated key wins.
  EXPECT_EQ(JsonNode::load("{\"a\":\"1\",\"a\":\"2\"}").get("a").asString(), "2");
  EXPECT_EQ(JsonNode::load("{\"a\":\"1\",\"a\":\"2\"}").asMap().size(), 1u);
  // Bytes that are not UTF-8, and the escaped NUL, are refused.
  EXPECT_THROW(JsonNode::load("{\"a\":\"\xFF\"}"), Errors::Failed);
  EXPECT_THROW(JsonNode::load("{\"\xC3\x28\":1}"), Errors::Failed);
  EXPECT_THROW(JsonNode::load("{\"a\":\"x\\u0000y\"}"), Errors::Failed);
  EXPECT_EQ(JsonNode::load("{\"a\":\"\xC3\xA9\"}").get("a").asString(), "\xC3\xA9");
  EXPECT_EQ(JsonNode::load("{\"a\":\"\\u00e9\"}").get("a").asString(), "\xC3\xA9");
}

TEST(JsonLoad, NestingIsLimitedTo2048Levels) {
  auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_NO_THROW(JsonNode::load(nested(2048).c_str()));
  const std::string tooDeep = loadFailure(nested(2049).c_str());
  EXPECT_NE(tooDeep.find("(maximum parsing depth reached near '['); line: 1;"), std::string::npos) << tooDeep;
}

TEST(JsonLoad, FailureIsHandedToTheDefaultLoggerAtLevel5) {
  class Sink : public Log::Sink {
   public:
    Sink() : Log::Sink(5) {}
    void consume(const Log::Record& record, const std::vector<std::string>& channels) override {
      records.push_back(record);
      names = channels;
    }
    std::vector<Log::Record> records;
    std::vector<std::string> names;
  };
  auto sink = std::make_shared<Sink>();
  Log::installCore(std::make_shared<Log::Core>(Log::Core::Settings{}));
  const std::shared_ptr<Log::Logger> logger = Log::defaultLogger();
  ASSERT_EQ(logger, Common::JSON::moduleLogger());
  logger->addSink(sink);

  const std::string what = loadFailure("[1,");
  JsonNode::load("[1]");                                         // success says nothing
  EXPECT_THROW(JsonNode::load("[1]").asMap(), Errors::BadCast);  // neither does a bad cast
  Log::installCore(nullptr);

  ASSERT_EQ(sink->records.size(), 1u);
  const Log::Record& record = sink->records[0];
  EXPECT_EQ(record.level, 5);
  EXPECT_STREQ(record.file, "json");
  EXPECT_EQ(record.line, 395);
  EXPECT_EQ(std::string(record.text.begin(), record.text.end()), what);
  EXPECT_EQ(sink->names, std::vector<std::string>{"Common"});
}

TEST(JsonNodeTest, MemberMapsComeInByteOrderOfTheKeys) {
  const JsonMemberMap members = JsonNode::load("{\"b\":1,\"\xC3\xA9\":2,\"a\":\"x\",\"B\":null,\"\":[]}").asMap();
  std::vector<std::string> keys;
  for (const auto& entry : members) keys.push_back(entry.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "b", "\xC3\xA9"}));
  EXPECT_EQ(members.at("a").asString(), "x");
  EXPECT_TRUE(json_is_null(members.at("B").value()));
}

TEST(JsonNodeTest, ConversionsRequireTheRightType) {
  EXPECT_THROW(JsonNode::load("[1,2]").asMap(), Errors::BadCast);
  EXPECT_THROW(JsonNode().asMap(), Errors::BadCast);
  EXPECT_THROW(JsonNode().asString(), Errors::BadCast);
  const JsonNode root = JsonNode::load("{\"n\":5,\"o\":{},\"t\":true,\"s\":\"v\"}");
  for (const char* key : {"n", "o", "t"}) EXPECT_THROW(root.get(key).asString(), Errors::BadCast);
  EXPECT_THROW(root.get("s").asMap(), Errors::BadCast);
  try {
    root.get("n").asString();
  } catch (const Errors::BadCast& error) {
    EXPECT_STREQ(error.what(), "[Error.Common.JSON.BadCast]");
  }
  // The text stops at its first NUL.
  EXPECT_EQ(JsonNode::adopt(json_stringn("ab\0cd", 5)).asString(), "ab");
}

TEST(JsonNodeTest, LookupsThatFindNothingGiveEmptyNodes) {
  EXPECT_TRUE(JsonNode().get("a").empty());
  const JsonNode root = JsonNode::load("{\"s\":\"x\",\"a\":{\"b\":\"y\"},\"a.b\":\"z\"}");
  EXPECT_TRUE(root.get("s").get("a").empty());
  EXPECT_TRUE(root.get("missing").empty());
  EXPECT_TRUE(root.get("").empty());

  EXPECT_EQ(findJsonNode(root, {"a", "b"}).asString(), "y");
  EXPECT_EQ(findJsonNode(root, {"a.b"}).asString(), "z");
  EXPECT_TRUE(findJsonNode(root, {"a", "c"}).empty());
  EXPECT_TRUE(findJsonNode(root, {"missing", "b"}).empty());
  EXPECT_TRUE(findJsonNode(root, {"s", "x"}).empty());
  EXPECT_EQ(findJsonNode(root, {}).value(), root.value());

  const JsonNode empty = JsonNode::load("{}");
  EXPECT_TRUE(findJsonNode(empty, {}).empty());
  EXPECT_TRUE(findJsonNode(empty, {"a"}).empty());
  EXPECT_TRUE(findJsonNode(JsonNode::load("[\"a\"]"), {}).empty());
  EXPECT_TRUE(findJsonNode(JsonNode(), {"a"}).empty());
}

TEST(JsonNodeTest, NodesShareValuesThroughTheReferenceCount) {
  json_t* raw = json_string("v");
  {
    JsonNode adopted = JsonNode::adopt(raw);
    EXPECT_EQ(countOf(adopted), 1u);
    {
      JsonNode shared = JsonNode::share(raw);
      EXPECT_EQ(countOf(adopted), 2u);
      JsonNode copy = shared;
      EXPECT_EQ(countOf(adopted), 3u);
      JsonNode moved = std::move(copy);
      EXPECT_TRUE(copy.empty());
      EXPECT_EQ(countOf(adopted), 3u);
      copy = moved;  // copy-assign into an emptied node
      EXPECT_EQ(countOf(adopted), 4u);
      copy = copy;
      EXPECT_EQ(countOf(adopted), 4u);
      moved = JsonNode();
      EXPECT_EQ(countOf(adopted), 3u);
    }
    EXPECT_EQ(countOf(adopted), 1u);
  }
  EXPECT_THROW(JsonNode::adopt(nullptr), Errors::Failed);
  EXPECT_THROW(JsonNode::share(nullptr), Errors::Failed);
  try {
    JsonNode::share(nullptr);
  } catch (const Errors::Failed& error) {
    EXPECT_STREQ(error.what(), "[Error.Common.JSON.Failed] Failed to create json node: ");
  }
}

TEST(JsonNodeTest, MembersOutliveTheirObject) {
  JsonNode member;
  {
    const JsonNode root = JsonNode::load("{\"k\":\"kept\"}");
    member = root.get("k");
    EXPECT_EQ(countOf(member), 2u);
  }
  EXPECT_EQ(countOf(member), 1u);
  EXPECT_EQ(member.asString(), "kept");
}

TEST(JsonNodeTest, SingletonCountsStayUntouched) {
  for (json_t* singleton : {json_true(), json_false(), json_null()}) {
    {
      JsonNode first = JsonNode::share(singleton);
      JsonNode second = JsonNode::adopt(singleton);
      JsonNode copy = first;
      copy = second;
      JsonNode moved = std::move(copy);
      EXPECT_EQ(countOf(moved), kUncounted);
    }
    EXPECT_EQ(singleton->refcount, kUncounted);
  }
  const JsonNode root = JsonNode::load("{\"t\":true,\"n\":null}");
  {
    const JsonMemberMap members = root.asMap();
    const JsonNode rebuilt(members);
    EXPECT_EQ(rebuilt.get("t").value(), json_true());
  }
  EXPECT_EQ(json_true()->refcount, kUncounted);
  EXPECT_EQ(json_null()->refcount, kUncounted);
}

TEST(JsonNodeTest, ObjectFromMemberMapSharesEveryValue) {
  JsonMemberMap members;
  {
    const JsonNode root = JsonNode::load("{\"a\":\"x\",\"b\":{\"c\":\"y\"}}");
    members = root.asMap();
  }
  EXPECT_EQ(countOf(members.at("a")), 1u);
  const JsonNode object(members);
  EXPECT_EQ(countOf(object), 1u);
  EXPECT_EQ(countOf(members.at("a")), 2u);
  EXPECT_EQ(object.get("a").value(), members.at("a").value());
  EXPECT_EQ(findJsonNode(object, {"b", "c"}).asString(), "y");
  EXPECT_EQ(json_object_size(object.value()), 2u);

  EXPECT_EQ(json_object_size(JsonNode(JsonMemberMap{}).value()), 0u);
}

TEST(JsonNodeTest, ObjectFromMemberMapRefusesBadMembers) {
  const JsonNode value = JsonNode::adopt(json_string("v"));
  {
    JsonMemberMap withEmpty{{"a", value}, {"b", JsonNode()}};
    EXPECT_THROW(JsonNode{withEmpty}, Errors::Failed);
    JsonMemberMap badKey{{"\xFF", value}};
    EXPECT_THROW(JsonNode{badKey}, Errors::Failed);
  }
  // The partly built objects and the references they took are all released.
  EXPECT_EQ(countOf(value), 1u);
}

// Extra inputs from a public parser conformance suite kept with the tests.
TEST(JsonLoad, ConformanceSuite) {
  const std::filesystem::path directory = QUILLET_TEST_DATA_DIR "/JSONTestSuite/test_parsing";
  ASSERT_TRUE(std::filesystem::is_directory(directory)) << directory;
  int accepted = 0;
  int refused = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (text.find('\0') != std::string::npos) continue;  // a C string cannot carry it
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    const bool container = start != std::string::npos && (text[start] == '{' || text[start] == '[');
    if (name.rfind("y_", 0) == 0 && container && text.find("\\u0000") == std::string::npos) {
      EXPECT_NO_THROW(JsonNode::load(text.c_str())) << name;
      ++accepted;
    } else if (name.rfind("n_", 0) == 0 || (name.rfind("y_", 0) == 0 && !container)) {
      EXPECT_THROW(JsonNode::load(text.c_str()), Errors::Failed) << name;
      ++refused;
    } else if (name.rfind("i_", 0) == 0) {
      // Either outcome is allowed; anything but a clean one is not.
      try {
        JsonNode::load(text.c_str());
      } catch (const Errors::Failed&) {
      }
    }
  }
  EXPECT_GT(accepted, 50);
  EXPECT_GT(refused, 150);
}

}  // namespace
