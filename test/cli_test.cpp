// The quillet host: its progress display, and the binary end to end against
// a loopback server.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "host.h"
#include "progress.h"
#include "support/process.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"
#include "support/time_limits.h"

using quillet_test::Connection;
using quillet_test::HttpRequest;
using quillet_test::RawHttpServer;
using quillet_test::runProcess;

namespace {

const std::string kQuillet = QUILLET_CLI_PATH;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST(CliProgress, BytesAndDurationsReadNaturally) {
  EXPECT_EQ(quillet_cli::formatBytes(0), "0 B");
  EXPECT_EQ(quillet_cli::formatBytes(1023), "1023 B");
  EXPECT_EQ(quillet_cli::formatBytes(1536), "1.5 KiB");
  EXPECT_EQ(quillet_cli::formatBytes(5ull << 30), "5.0 GiB");
  EXPECT_EQ(quillet_cli::formatDuration(7), "0:07");
  EXPECT_EQ(quillet_cli::formatDuration(754), "12:34");
  EXPECT_EQ(quillet_cli::formatDuration(3723), "1:02:03");
  EXPECT_EQ(quillet_cli::formatDuration(-1), "--:--");
}

TEST(CliProgress, BarFitsTheWidthAndShowsTotalRateAndEta) {
  quillet_cli::ProgressSample half{50u << 20, 100 << 20, 10.0 * (1 << 20)};
  // A narrow terminal gets the text cut, never a line that wraps.
  EXPECT_LE(quillet_cli::renderBar(half, 40).size(), 40u);
  for (int width : {80, 200}) {
    std::string bar = quillet_cli::renderBar(half, width);
    EXPECT_LE(static_cast<int>(bar.size()), width) << bar;
    EXPECT_NE(bar.find("50.0 MiB / 100.0 MiB"), std::string::npos) << bar;
    EXPECT_NE(bar.find("10.0 MiB/s"), std::string::npos) << bar;
    EXPECT_NE(bar.find("ETA 0:05"), std::string::npos) << bar;
    EXPECT_NE(bar.find(" 50%"), std::string::npos) << bar;
  }
  std::string bar = quillet_cli::renderBar(half, 80);
  auto filled = std::count(bar.begin(), bar.end(), '#');
  auto inside = bar.find(']') - 1;
  EXPECT_NEAR(static_cast<double>(filled), inside / 2.0, 1.0);

  quillet_cli::ProgressSample unknown{3u << 20, -1, 0};
  std::string line = quillet_cli::renderBar(unknown, 80);
  EXPECT_NE(line.find("/ unknown"), std::string::npos) << line;
  EXPECT_NE(line.find("ETA --:--"), std::string::npos) << line;
  EXPECT_EQ(quillet_cli::renderPlainLine(unknown), "downloaded 3145728 bytes of unknown, 0 B/s");
  EXPECT_EQ(quillet_cli::renderPlainLine({10, 40, 0}), "downloaded 10 bytes of 40 (25%), 0 B/s");
}

TEST(CliProgress, ReporterThrottlesRedrawsAndFinishesTheLine) {
  quillet_test::TempDir dir;
  std::FILE* out = std::fopen(dir.file("out").c_str(), "w+");
  ASSERT_NE(out, nullptr);
  {
    quillet_cli::ProgressReporter reporter(out, true, 60);
    auto start = quillet_cli::ProgressReporter::Clock::now();
    for (int i = 0; i <= 100; ++i)
      reporter.update(static_cast<uint64_t>(i) * 1000, 100000, start + std::chrono::milliseconds(i * 10));
    reporter.finish(100000, 100000, start + std::chrono::milliseconds(1000));
  }
  std::fclose(out);
  std::string text = quillet_test::readFile(dir.file("out"));
  auto redraws = std::count(text.begin(), text.end(), '\r');
  EXPECT_GE(redraws, 9);   // a second of updates every 10 ms: about ten draws,
  EXPECT_LE(redraws, 12);  // not a hundred
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_NE(text.find("100%"), std::string::npos);
}

TEST(CliCommands, GetPrintsTheBodyBytesExactly) {
  std::string body("bin\0ary\xC3\xA9\xFF", 10);
  RawHttpServer server([&](const HttpRequest&, Connection& c) { c.send(quillet_test::httpResponse(200, "OK", body)); });
  auto result = runProcess(kQuillet, {"get", server.url("/x")});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, body);
  EXPECT_NE(result.err.find("HTTP 200"), std::string::npos) << result.err;
}

TEST(CliCommands, FailuresExitNonZeroWithAReason) {
  RawHttpServer server(
      [](const HttpRequest&, Connection& c) { c.send(quillet_test::httpResponse(404, "Not Found", "no")); });
  auto notFound = runProcess(kQuillet, {"get", server.url("/missing")});
  EXPECT_EQ(notFound.exitCode, 1);
  EXPECT_NE(notFound.err.find("server answered HTTP 404"), std::string::npos) << notFound.err;

  auto refused = runProcess(kQuillet, {"get", "http://127.0.0.1:" + std::to_string(quillet_test::unusedPort()) + "/"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("quillet: transfer failed: Couldn't connect to server (libcurl code 7)"),
            std::string::npos)
      << refused.err;
}

TEST(CliCommands, FailureCodesReadAsWords) {
  // A time-out takes the in-memory limit of 30 s to happen, so its wording is
  // checked on the host's own function rather than end to end.
  struct Case {
    int curlCode;
    const char* reason;
  };
  for (const Case& c : {Case{7, "transfer failed: Couldn't connect to server (libcurl code 7)"},
                        Case{28, "timed out after 30 s (libcurl code 28)"}}) {
    QL_REQUEST_INFO info{QL_STATE_FAILED, 1, c.curlCode, 0, 0};
    EXPECT_EQ(quillet_cli::describeFailure(info, "Inner libCurl error(7): \"Couldn't connect to server\"."), c.reason);
  }
}

TEST(CliCommands, DownloadIntoAMissingDirectoryNamesTheFileAndTheReason) {
  quillet_test::TempDir dir;
  auto target = (dir.path() / "nonexistent" / "x").string();
  auto result = runProcess(kQuillet, {"download", "http://127.0.0.1:1/f", target});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("quillet: download failed: cannot write " + target + ": No such file or directory"),
            std::string::npos)
      << result.err;
}

TEST(CliCommands, VersionPrintsTheProjectVersion) {
  auto result = runProcess(kQuillet, {"--version"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "quillet " QUILLET_PROJECT_VERSION "\n");
}

TEST(CliCommands, PostSendsDataOrTheQueryString) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send(quillet_test::httpResponse(200, "OK", "ok")); });
  EXPECT_EQ(runProcess(kQuillet, {"post", server.url("/stats"), "a=1"}).exitCode, 0);
  EXPECT_EQ(runProcess(kQuillet, {"post", server.url("/stats?x=2&y=3")}).exitCode, 0);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "a=1");
  EXPECT_EQ(requests[1].target, "/stats");
  EXPECT_EQ(requests[1].body, "x=2&y=3");
}

TEST(CliCommands, DownloadWritesTheFileAndPlainProgressLines) {
  constexpr std::size_t kSize = 3u << 20;
  RawHttpServer server([&](const HttpRequest&, Connection& c) {
    if (!c.send(quillet_test::httpHead(200, "OK", kSize))) return;
    c.sendPattern(0, kSize, 7);
  });
  quillet_test::TempDir dir;
  auto target = dir.file("out.bin");
  auto result = runProcess(kQuillet, {"download", server.url("/file"), target.string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(quillet_test::readFile(target), quillet_test::patternBytes(0, kSize, 7));
  auto errLines = lines(result.err);
  ASSERT_GE(errLines.size(), 2u) << result.err;
  EXPECT_EQ(result.err.find('\r'), std::string::npos);  // no in-place redraws off a terminal
  EXPECT_EQ(errLines[errLines.size() - 2].rfind("downloaded 3145728 bytes of 3145728 (100%)", 0), 0u) << result.err;
  EXPECT_EQ(errLines.back(), "quillet: saved 3145728 bytes to " + target.string() + " (HTTP 200)");
}

TEST(CliCommands, DownloadFailureQuotesTheRequestError) {
  RawHttpServer server(
      [](const HttpRequest&, Connection& c) { c.send(quillet_test::httpResponse(404, "Not Found", "")); });
  quillet_test::TempDir dir;
  auto result = runProcess(kQuillet, {"download", server.url("/gone"), dir.file("x").string()});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("download failed: Unexpected http server response code(404)."), std::string::npos)
      << result.err;
}

TEST(CliCommands, InterruptCancelsTheDownloadAndKeepsThePartialFile) {
  RawHttpServer server([](const HttpRequest&, Connection& c) {
    if (!c.send(quillet_test::httpHead(200, "OK", 1 << 20))) return;
    c.sendPattern(0, 5000, 1);
    c.stall(quillet_test::scaled(std::chrono::seconds(20)));
  });
  quillet_test::TempDir dir;
  auto target = dir.file("partial.bin");
  quillet_test::StartedProcess host(kQuillet, {"download", server.url("/slow"), target.string()});
  ASSERT_TRUE(host.started());
  // Interrupted only once the download is under way and everything the
  // server sent has reached the file.
  EXPECT_TRUE(server.waitForRequests(1, quillet_test::scaled(std::chrono::seconds(10))));
  std::error_code ignored;
  quillet_test::eventually([&] { return std::filesystem::file_size(target, ignored) == 5000; });
  EXPECT_EQ(std::filesystem::file_size(target, ignored), 5000u);
  host.interrupt();
  auto result = host.wait();
  EXPECT_EQ(result.exitCode, 130) << result.err;
  EXPECT_NE(result.err.find("download cancelled; the partial file"), std::string::npos) << result.err;
  EXPECT_EQ(quillet_test::readFile(target), quillet_test::patternBytes(0, 5000, 1));
}

// An atomic download interrupted keeps FILE.part and says how to go on; the
// same command with --resume asks only for the rest and checks the hash.
TEST(CliCommands, InterruptedAtomicDownloadResumesVerified) {
  constexpr std::size_t kSize = 2 * 1024 * 1024 + 123;
  const char* kSha256 = "35156a21a1feddd882a34e6daf907c90872477005b07255e20da09c9d705da0d";  // of the 24 pattern
  RawHttpServer server([&](const HttpRequest& request, Connection& c) {
    const std::string range = request.header("Range");
    const std::size_t from = range.rfind("bytes=", 0) == 0 ? std::stoul(range.substr(6)) : 0;
    if (from == 0) {
      if (!c.send(quillet_test::httpHead(200, "OK", kSize))) return;
      c.sendPattern(0, 5000, 24);
      c.stall(quillet_test::scaled(std::chrono::seconds(20)));
      return;
    }
    if (!c.send(quillet_test::httpHead(206, "Partial Content", static_cast<int64_t>(kSize - from),
                                       {"Content-Range: bytes " + std::to_string(from) + "-" +
                                        std::to_string(kSize - 1) + "/" + std::to_string(kSize)}))) {
      return;
    }
    c.sendPattern(from, kSize - from, 24);
  });
  quillet_test::TempDir dir;
  auto target = dir.file("game.pak");
  auto part = dir.file("game.pak.part");
  {
    quillet_test::StartedProcess host(kQuillet, {"download", "--atomic", server.url("/f"), target.string()});
    ASSERT_TRUE(host.started());
    std::error_code ignored;
    EXPECT_TRUE(quillet_test::eventually([&] { return std::filesystem::file_size(part, ignored) == 5000; }));
    host.interrupt();
    auto result = host.wait();
    EXPECT_EQ(result.exitCode, 130) << result.err;
    EXPECT_NE(result.err.find("the partial file " + part.string() + " keeps its 5000 bytes"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("with --resume"), std::string::npos) << result.err;
    EXPECT_FALSE(std::filesystem::exists(target));
  }
  auto result = runProcess(kQuillet, {"download", "--resume", "--sha256", kSha256, "--retries", "1", "--limit", "64M",
                                      server.url("/f"), target.string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(quillet_test::readFile(target) == quillet_test::patternBytes(0, kSize, 24));
  EXPECT_FALSE(std::filesystem::exists(part));
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[1].header("Range"), "bytes=5000-");
  EXPECT_NE(result.err.find("downloaded 2097275 bytes of 2097275 (100%)"), std::string::npos) << result.err;

  auto bad = runProcess(kQuillet, {"download", "--limit", "fast", server.url("/f"), target.string()});
  EXPECT_EQ(bad.exitCode, 2) << bad.err;
}

// A job list's files arrive through one job: a wrong SHA-256 fails that file
// alone, by name; the same command again fetches only what is missing.
TEST(CliCommands, JobDownloadsTheListAndNamesTheFailedFile) {
  constexpr std::size_t kSize = 2 * 1024 * 1024 + 123;
  const std::string kSha256 = "35156a21a1feddd882a34e6daf907c90872477005b07255e20da09c9d705da0d";  // of the 24 pattern
  RawHttpServer server([&](const HttpRequest& request, Connection& c) {
    const std::size_t size = request.target == "/24" ? kSize : 5000;
    if (c.send(quillet_test::httpHead(200, "OK", static_cast<int64_t>(size))))
      c.sendPattern(0, size, static_cast<uint32_t>(std::stoul(request.target.substr(1))));
  });
  quillet_test::TempDir dir;
  const auto out = dir.path() / "out";
  quillet_test::writeFile(dir.file("list"), "# the game\n\n" + server.url("/24") + " " + kSha256 + "\n" +
                                                server.url("/2") + " two.bin\n" + server.url("/3") + " " +
                                                std::string(64, '0') + " bad.bin\n");
  const std::vector<std::string> job{"job", "--parallel", "2", dir.file("list").string(), out.string()};
  auto result = runProcess(kQuillet, job);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_NE(result.err.find("quillet: bad.bin failed: SHA-256 mismatch: expected " + std::string(64, '0')),
            std::string::npos)
      << result.err;
  EXPECT_EQ(lines(result.err).back(), "quillet: job failed: 1 of 3 files failed (bad.bin)");
  EXPECT_TRUE(quillet_test::readFile(out / "24") == quillet_test::patternBytes(0, kSize, 24));
  EXPECT_EQ(quillet_test::readFile(out / "two.bin"), quillet_test::patternBytes(0, 5000, 2));
  EXPECT_FALSE(std::filesystem::exists(out / "bad.bin"));
  EXPECT_EQ(runProcess(kQuillet, job).exitCode, 1);
  EXPECT_EQ(server.requests().size(), 4u);  // the second run asked for bad.bin alone

  quillet_test::writeFile(dir.file("list"), server.url("/2") + " ../two.bin\n");
  EXPECT_EQ(runProcess(kQuillet, job).exitCode, 2);
  EXPECT_EQ(server.requests().size(), 4u);
}

// A list signed with minisign verifies and is fetched; a changed one is
// refused before any file is.
TEST(CliCommands, VerifyAndASignedJobList) {
  RawHttpServer server([](const HttpRequest&, Connection& c) {
    if (c.send(quillet_test::httpHead(200, "OK", 5000))) c.sendPattern(0, 5000, 2);
  });
  quillet_test::TempDir dir;
  const std::string key = dir.file("key").string(), list = dir.file("list").string();
  const std::string otherKey = std::string(QUILLET_SIGNATURES_DIR) + "/a.pub";
  quillet_test::writeFile(list, server.url("/2") + " two.bin\n");
  ASSERT_EQ(runProcess(QUILLET_MINISIGN, {"-G", "-W", "-p", key + ".pub", "-s", key}).exitCode, 0);
  ASSERT_EQ(runProcess(QUILLET_MINISIGN, {"-S", "-s", key, "-m", list}).exitCode, 0);

  auto result = runProcess(kQuillet, {"verify", list, list + ".minisig", otherKey, key + ".pub"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.err.find(": Signature verified: key "), std::string::npos) << result.err;
  result = runProcess(kQuillet, {"verify", list, list + ".minisig", otherKey});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find(": Signature check failed: no key with id "), std::string::npos) << result.err;

  const auto out = dir.path() / "out";
  const std::vector<std::string> job{"job",   list,        out.string(), "--manifest-sig", list + ".minisig",
                                     "--key", key + ".pub"};
  EXPECT_EQ(runProcess(kQuillet, job).exitCode, 0);
  EXPECT_EQ(quillet_test::readFile(out / "two.bin"), quillet_test::patternBytes(0, 5000, 2));
  quillet_test::writeFile(list, server.url("/2") + " other.bin\n");
  result = runProcess(kQuillet, job);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("Signature check failed: bad signature; no file fetched"), std::string::npos) << result.err;
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST(CliCommands, JsonPrintsStringMembersAndNamesTheOthers) {
  quillet_test::TempDir dir;
  quillet_test::writeFile(dir.file("m.json"), "{\"name\": \"caf\xC3\xA9\", \"n\": 5, \"a.b\": \"x\"}");
  auto result = runProcess(kQuillet, {"json", dir.file("m.json").string(), "name", "a.b", "n", "missing"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "caf\xC3\xA9\nx\n");
  EXPECT_NE(result.err.find("member \"n\" is missing or not a string"), std::string::npos);
  EXPECT_NE(result.err.find("member \"missing\" is missing or not a string"), std::string::npos);

  auto fromStdin = runProcess(kQuillet, {"json", "-", "k"}, "{\"k\": \"v\"}");
  EXPECT_EQ(fromStdin.exitCode, 0);
  EXPECT_EQ(fromStdin.out, "v\n");

  EXPECT_EQ(runProcess(kQuillet, {"json", "-"}, "[1, 2]").exitCode, 1);
  EXPECT_EQ(runProcess(kQuillet, {"json", dir.file("absent.json").string()}).exitCode, 1);
}

TEST(CliCommands, UlidPrintsDistinctIdentifiers) {
  auto result = runProcess(kQuillet, {"ulid", "-n", "5"});
  EXPECT_EQ(result.exitCode, 0);
  auto ids = lines(result.out);
  ASSERT_EQ(ids.size(), 5u);
  for (const auto& id : ids) EXPECT_EQ(id.size(), 26u) << id;
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 5u);
}

TEST(CliCommands, BadArgumentsGetUsageNotACrash) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {"fly"}, {"get"}, {"download", "http://127.0.0.1:1/"}, {"ulid", "-n", "0"}, {"ulid", "-n", "x"}}) {
    auto result = runProcess(kQuillet, arguments);
    EXPECT_EQ(result.exitCode, 2) << result.err;
    EXPECT_NE(result.err.find("quillet --help"), std::string::npos) << result.err;
  }
  auto help = runProcess(kQuillet, {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("download"), std::string::npos);
}

TEST(CliCommands, VerbosePrintsTheLibraryLogRecords) {
  RawHttpServer server([](const HttpRequest&, Connection& c) { c.send(quillet_test::httpResponse(200, "OK", "ok")); });
  auto result = runProcess(kQuillet, {"get", "-v", server.url("/v")});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.err.find("quillet: log: Http system initialized"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("quillet: log: Sending request: 1 <" + server.url("/v") + ">"), std::string::npos);
  EXPECT_NE(result.err.find("quillet: log: Http system deinitialized"), std::string::npos);
}

TEST(CliCommands, DemoRunsTheWholeFlow) {
  auto result = runProcess(kQuillet, {"demo"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("[7/7] HTTP system down"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("  Request finished: success"), std::string::npos);
}

}  // namespace
