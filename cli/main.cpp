// quillet: runs the library's exports from the command line.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "commands.h"
#include "quillet/quillet.h"  // QUILLET_VERSION

int main(int argc, char** argv) {
  using namespace quillet_cli;
  CLI::App app{
      "quillet: HTTP requests, file downloads and jobs, signatures, JSON and ULIDs through the quillet library"};
  app.require_subcommand(1);
  app.fallthrough();  // -v may stand before or after the subcommand
  Options options;
  app.add_flag("-v,--verbose", options.verbose, "print the library's log records as they are drained");
  app.set_version_flag("--version", "quillet " QUILLET_VERSION, "print the version and exit");

  std::string url, file, data;
  std::vector<std::string> members;
  int count = 1;

  auto* get = app.add_subcommand("get", "GET a URL and print the body to standard output");
  get->add_option("URL", url, "the URL to request")->required();

  auto* post = app.add_subcommand("post", "POST DATA (or the URL's query string) and print the body");
  post->add_option("URL", url, "the URL to post to")->required();
  auto* dataOption = post->add_option("DATA", data, "the request body; without it the query string is sent");

  auto* download = app.add_subcommand("download", "download a URL into FILE with a progress display");
  download->add_option("URL", url, "the URL to download")->required();
  download->add_option("FILE", file, "the target file (emptied first)")->required();
  DownloadOptions downloadOptions;
  std::string rate;
  download->add_option("--sha256", downloadOptions.sha256, "the file's SHA-256 (64 hex digits); checked at the end");
  download->add_flag("--resume", downloadOptions.resume, "keep the bytes already on disk and ask only for the rest");
  download->add_flag("--atomic", downloadOptions.atomic, "write FILE.part, renamed onto FILE once complete");
  download->add_option("--mirror", downloadOptions.mirrors,
                       "another URL of the same file, tried in order (repeatable)");
  download->add_option("--retries", downloadOptions.retries, "retries of a transient failure per URL");
  const auto rateCheck = [](const std::string& text) {
    long long value = 0;
    return parseRate(text, value) ? std::string() : "expects a rate such as 500, 64k or 2M";
  };
  download->add_option("--limit", rate, "receive speed cap in bytes per second, k or M suffix (64k, 2M)")
      ->check(rateCheck);

  auto* job = app.add_subcommand("job", "download the files LIST names into DIR as one job with one progress display");
  std::string list, dir, jobRate;
  JobOptions jobOptions;
  job->add_option("LIST", list, "a file with one 'URL [SHA256] [NAME]' a line; '#' starts a comment line")->required();
  job->add_option("DIR", dir, "the folder the files go into (created when missing)")->required();
  job->add_option("--connections", jobOptions.connections, "connections per host (default 6)")
      ->check(CLI::Range(1, 1000));
  job->add_option("--parallel", jobOptions.parallel, "files transferring at once (default 16)")
      ->check(CLI::Range(1, 1000));
  job->add_option("--limit", jobRate, "receive speed cap of the whole job, as for download")->check(rateCheck);
  job->add_flag("--http1", jobOptions.http1, "keep every transfer on HTTP/1.1");
  auto* manifestSignature = job->add_option("--manifest-sig", jobOptions.manifestSignature,
                                            "a minisign signature of LIST, checked before any file is fetched");
  auto* jobKeys =
      job->add_option("--key", jobOptions.keys, "the public key (file or base64) it must verify with (repeatable)");
  manifestSignature->needs(jobKeys);
  jobKeys->needs(manifestSignature);

  auto* verify = app.add_subcommand("verify", "check a minisign signature of FILE against one or more public keys");
  std::string signatureFile;
  std::vector<std::string> keys;
  verify->add_option("FILE", file, "the signed file")->required();
  verify->add_option("SIGFILE", signatureFile, "its minisign signature file")->required();
  verify->add_option("PUBKEY", keys, "a public key file as minisign writes it, or its base64 line")->required();

  auto* json = app.add_subcommand("json", "parse a JSON object and print named string members");
  json->add_option("FILE", file, "a file with the JSON text, or - for standard input")->required();
  json->add_option("MEMBER", members, "names of string members of the root object to print");

  auto* ulid = app.add_subcommand("ulid", "print new ULIDs, one a line");
  ulid->add_option("-n,--count", count, "how many (1 to 1000000)")->check(CLI::Range(1, 1000000));

  app.add_subcommand("demo", "run the installer's flow against a built-in loopback server");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForVersion& version) {
    return app.exit(version);
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "quillet: %s\nRun 'quillet --help' for usage.\n", error.what());
    return kExitUsage;
  }

  installInterruptHandler();
  try {
    if (*get) return runGet(options, url);
    if (*post) return runPost(options, url, *dataOption ? &data : nullptr);
    if (*download) {
      if (!rate.empty()) parseRate(rate, downloadOptions.bytesPerSecond);
      return runDownload(options, url, file, downloadOptions);
    }
    if (*job) {
      if (!jobRate.empty()) parseRate(jobRate, jobOptions.bytesPerSecond);
      return runJob(options, list, dir, jobOptions);
    }
    if (*verify) return runVerify(options, file, signatureFile, keys);
    if (*json) return runJson(options, file, members);
    if (*ulid) return runUlid(options, count);
    return runDemo(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "quillet: %s\n", error.what());
    return kExitFailure;
  }
}
