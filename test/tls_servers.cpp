// Runs one HTTPS server per kind of certificate on 127.0.0.1, for the Windows
// tests under Wine, and prints where they listen as one line:
//   valid=PORT,expired=PORT,...
// The servers run until standard input ends or the program is stopped.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "support/tls_server.h"

int main() {
  const quillet_test::TestPki pki;
  if (!pki.ready()) {
    std::cerr << "quillet_tls_servers: could not make the test certificates\n";
    return 1;
  }
  std::vector<std::unique_ptr<quillet_test::TlsServer>> servers;
  std::string listening;
  for (const auto& [peer, name] : quillet_test::tlsPeers()) {
    servers.push_back(std::make_unique<quillet_test::TlsServer>(pki, peer, quillet_test::tlsTestBody()));
    if (!servers.back()->ready()) {
      std::cerr << "quillet_tls_servers: the " << name << " server did not start\n";
      return 1;
    }
    listening += (listening.empty() ? "" : ",") + std::string(name) + "=" + std::to_string(servers.back()->port());
  }
  std::cout << listening << std::endl;
  std::string ignored;
  while (std::getline(std::cin, ignored)) {
  }
  return 0;
}
