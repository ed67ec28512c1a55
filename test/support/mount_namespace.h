// A file's contents replaced for this test process alone (POSIX).
#pragma once

#include <string>

namespace quillet_test {

// Shows `contents` at `target` for this process alone: gives the calling
// thread a private mount namespace (threads it starts later take it too) and
// bind-mounts a temporary file holding them over `target`. Empty on success,
// else why not. The temporary file is unlinked at once, which the mount
// survives; with `keptFile` it stays linked instead and its path is stored
// there, for the caller to remove at the end: a child that makes a namespace
// of its own and mounts over `target` again needs it linked.
std::string showInPrivateNamespace(const std::string& target, const std::string& contents,
                                   std::string* keptFile = nullptr);

}  // namespace quillet_test
