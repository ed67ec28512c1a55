// English texts of Windows error codes as the system under test words them.
// Off Windows the library reproduces Windows' own wording; the Windows build
// is tested under Wine, whose message table words the same codes differently
// ("File not found." for "The system cannot find the file specified."), so a
// test that expects a system text asks for it here.
#pragma once

#include <cstdint>
#include <string>

namespace quillet_test {

// True inside a Windows process that Wine runs.
bool runningUnderWine();

// `windowsText` where the tests run on Windows or on the POSIX emulation;
// Wine's wording of `code` under Wine, with the same trailing line break.
std::string systemText(uint32_t code, const std::string& windowsText);
std::u16string systemText(uint32_t code, const std::u16string& windowsText);

}  // namespace quillet_test
