// The little the host needs to know about its terminal.
#pragma once

#include <cstdio>

namespace quillet_cli {

bool isTerminal(std::FILE* stream);
int terminalWidth(std::FILE* stream);  // columns, 80 when unknown

}  // namespace quillet_cli
