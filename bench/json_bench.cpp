// QL_ParseJSON against jansson's own json_loads + json_decref on a large
// manifest-like object. Documents leave the library only through QL_Cleanup,
// so each parsed document is dropped that way, inside the timed region.
#include <jansson.h>

#include <iostream>
#include <vector>

#include "bench.h"

namespace {

// A deterministic launcher manifest: top-level members with scalars, one
// entry per asset with nested objects and arrays, and a list of files.
std::string makeManifest(std::size_t target) {
  unsigned state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  auto hex = [&](int digits) {
    std::string text;
    for (int i = 0; i < digits; ++i) {
      text += "0123456789abcdef"[next() % 16];
    }
    return text;
  };
  std::string text = R"({"id":"release-1.20.4","type":"release","mainClass":"launcher.Main",)"
                     R"("releaseTime":"2026-12-01T10:00:00+00:00","minimumLauncherVersion":21,)"
                     R"("description":"Caf\u00e9 \"quoted\" and tabbed\tname",)";
  text += R"("files":[)";
  for (int i = 0; text.size() < target / 2; ++i) {
    text += bench::format(R"(%s{"path":"libraries/group%u/artifact-%d/%u.%u/artifact-%d.jar",)"
                          R"("sha1":"%s","size":%u,"rules":[{"action":"allow","os":{"name":"linux"}}],)"
                          R"("native":%s,"weight":%u.%02u})",
                          i == 0 ? "" : ",", next() % 100, i, next() % 10, next() % 30, i, hex(40).c_str(),
                          next() % 5000000, i % 7 == 0 ? "true" : "false", next() % 100, next() % 100);
  }
  text += "]";
  for (int i = 0; text.size() < target; ++i) {
    const std::string hash = hex(40);
    text += bench::format(R"(,"assets/%s/%d.ogg":{"hash":"%s","size":%u,)"
                          R"("url":"objects/%s/%s","tags":["sound","ambient",%d],"mirror":null})",
                          hash.substr(0, 2).c_str(), i, hash.c_str(), next() % 900000, hash.substr(0, 2).c_str(),
                          hash.c_str(), i % 16);
  }
  text += "}";
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options(argc, argv, {{"pairs", "7"}, {"mib", "20"}});
  const std::string name = bench::format("JSON %lld MiB object", options.number("mib"));
  return bench::run(name, "<= 1.30x", [&] {
    const std::string text = makeManifest(static_cast<std::size_t>(options.number("mib")) << 20);
    // The library must have stored a real document.
    const int check = QL_ParseJSON(text.c_str());
    QL_WCHAR units[16];
    unsigned length = 16;
    if (check == 0 || QL_GetStringByPath(static_cast<unsigned>(check), "type", units, &length) == 0 || length != 7) {
      throw std::runtime_error("QL_ParseJSON did not store the manifest");
    }
    QL_Cleanup();
    std::cerr << name << " (" << text.size() << " bytes): QL_ParseJSON / json_loads + json_decref\n";
    // Both sides parse and free: the library frees its document in QL_Cleanup,
    // timed too; the parse alone is reported beside it.
    std::vector<double> parseOnly;
    const bench::PairFigures figures = bench::alternate(
        static_cast<int>(options.number("pairs")),
        [&] {
          const auto start = bench::Clock::now();
          const int document = QL_ParseJSON(text.c_str());
          parseOnly.push_back(bench::secondsSince(start));
          QL_Cleanup();
          const double seconds = bench::secondsSince(start);
          bench::drainLog();
          if (document == 0) {
            throw std::runtime_error("QL_ParseJSON failed");
          }
          return seconds;
        },
        [&] {
          const auto start = bench::Clock::now();
          json_error_t error;
          json_t* root = json_loads(text.c_str(), 0, &error);
          json_decref(root);
          const double seconds = bench::secondsSince(start);
          if (root == nullptr) {
            throw std::runtime_error("json_loads failed");
          }
          return seconds;
        });
    bench::report(name,
                  bench::format("%.2fx, QL_ParseJSON + QL_Cleanup %.3f s, QL_ParseJSON alone %.3f s "
                                "(pairs %.2f..%.2f, %d pairs)",
                                figures.ratio, figures.a, bench::median(parseOnly), figures.lowRatio, figures.highRatio,
                                figures.pairs),
                  bench::format("json_loads + json_decref %.3f s", figures.b), "<= 1.30x", figures.ratio <= 1.3);
  });
}
