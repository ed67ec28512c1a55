#include "support/system_text.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <stdexcept>

namespace quillet_test {
namespace {

struct WineText {
  uint32_t code;
  const char* text;
};

// Wine's English message table for the codes the tests name.
constexpr WineText kWineTexts[] = {
    {0, "Success."},        {2, "File not found."},    {3, "Path not found."},          {5, "Access denied."},
    {6, "Invalid handle."}, {8, "Not enough memory."}, {32, "Sharing violation."},      {87, "Invalid parameter."},
    {112, "Disk full."},    {123, "Invalid name."},    {206, "File name is too long."},
};

std::string wineText(uint32_t code) {
  for (const WineText& entry : kWineTexts) {
    if (entry.code == code) return entry.text;
  }
  throw std::invalid_argument("no Wine text listed for code " + std::to_string(code));
}

template <typename Text>
Text inWording(uint32_t code, const Text& windowsText) {
  if (!runningUnderWine()) return windowsText;
  const std::string wine = wineText(code);
  Text text(wine.begin(), wine.end());  // the table is ASCII
  const Text lineBreak{'\r', '\n'};
  if (windowsText.size() >= 2 && windowsText.compare(windowsText.size() - 2, 2, lineBreak) == 0) {
    text += lineBreak;
  }
  return text;
}

}  // namespace

bool runningUnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

std::string systemText(uint32_t code, const std::string& windowsText) { return inWording(code, windowsText); }

std::u16string systemText(uint32_t code, const std::u16string& windowsText) { return inWording(code, windowsText); }

}  // namespace quillet_test
