// Runs a name server that never answers, for the Windows tests under Wine,
// and writes a resolv.conf that names it alone to the file given:
// scripts/test-win32.sh mounts that file over /etc/resolv.conf for the Wine
// run. It serves the count of queries taken at http://127.0.0.1:PORT/ and
// prints PORT as one line, or "unavailable: REASON" when it cannot listen.
// It runs until it is stopped.
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <string>

#include "support/raw_http_server.h"
#include "support/silent_name_server.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: quillet_silent_dns RESOLV_CONF\n";
    return 2;
  }
  quillet_test::SilentNameServer server;
  if (!server.unavailable().empty()) {
    std::cout << "unavailable: " << server.unavailable() << std::endl;
  } else {
    std::ofstream(argv[1]) << server.resolvConf();
    server.start();
  }
  quillet_test::RawHttpServer counter([&](const quillet_test::HttpRequest&, quillet_test::Connection& c) {
    c.send(quillet_test::httpResponse(200, "OK", std::to_string(server.queries())));
  });
  if (server.unavailable().empty()) std::cout << counter.port() << std::endl;
  for (;;) ::pause();
}
