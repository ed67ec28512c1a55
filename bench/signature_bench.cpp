// A manifest's signature checked over a large file: QL_VerifyFileSignature of
// a prehashed (BLAKE2b-512) minisign signature against `minisign -V` on the
// same file and signature, which reads and hashes it the same way.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "bench.h"

namespace {

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options(argc, argv, {{"file", ""}, {"dir", ""}, {"pairs", "7"}});
  const std::string file = options.text("file");
  const std::string name =
      bench::format("signature check of %ju MiB (prehashed)", std::filesystem::file_size(file) >> 20);
  return bench::run(name, "<= 1.2x", [&] {
    // A fresh key pair and the file's signature, made by minisign itself.
    const std::string key = options.text("dir") + "/signature-bench";
    if (bench::spawn({"minisign", "-G", "-f", "-W", "-p", key + ".pub", "-s", key + ".key"}) != 0 ||
        bench::spawn({"minisign", "-S", "-s", key + ".key", "-m", file, "-x", key + ".minisig"}) != 0) {
      throw std::runtime_error("minisign could not sign " + file);
    }
    const std::string signature = readText(key + ".minisig");
    const std::string publicKey = readText(key + ".pub");
    const std::u16string path = bench::widen(file);
    std::cerr << name << ": QL_VerifyFileSignature / minisign -V\n";
    const bench::PairFigures figures = bench::alternate(
        static_cast<int>(options.number("pairs")),
        [&] {
          const auto start = bench::Clock::now();
          const int verified = QL_VerifyFileSignature(path.c_str(), signature.c_str(), publicKey.c_str());
          const double seconds = bench::secondsSince(start);
          bench::drainLog();
          if (verified != 1) throw std::runtime_error("QL_VerifyFileSignature refused the signature");
          return seconds;
        },
        [&] {
          const auto start = bench::Clock::now();
          if (bench::spawn({"minisign", "-V", "-q", "-p", key + ".pub", "-x", key + ".minisig", "-m", file}) != 0) {
            throw std::runtime_error("minisign -V refused the signature");
          }
          return bench::secondsSince(start);
        });
    bench::report(name,
                  bench::format("%.3fx, QL_VerifyFileSignature %.3f s (pairs %.2f..%.2f, %d pairs)", figures.ratio,
                                figures.a, figures.lowRatio, figures.highRatio, figures.pairs),
                  bench::format("minisign -V %.3f s", figures.b), "<= 1.2x", figures.ratio <= 1.2);
  });
}
