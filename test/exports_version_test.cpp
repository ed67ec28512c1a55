// The project version as the header spells it, as the shared library's name
// carries it, and on Windows as the DLL's version resource reports it.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "quillet/quillet.h"

namespace {

// Linkers drop a library that no code refers to; the tests below look at the
// loaded library itself, so they call into it first.
void loadLibrary() {
  QL_WCHAR id[26];
  QL_GenerateULID(id);
}

TEST(Version, HeaderMacrosSpellTheProjectVersion) {
  std::string joined = std::to_string(QUILLET_VERSION_MAJOR) + "." + std::to_string(QUILLET_VERSION_MINOR) + "." +
                       std::to_string(QUILLET_VERSION_PATCH);
  EXPECT_EQ(joined, QUILLET_VERSION);
  EXPECT_STREQ(QUILLET_VERSION, QUILLET_PROJECT_VERSION);
}

#ifdef _WIN32
std::wstring widen(const char* text) { return std::wstring(text, text + std::char_traits<char>::length(text)); }

struct VersionResource {
  std::vector<unsigned char> block;

  explicit VersionResource(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    if (::GetModuleFileNameW(module, path, MAX_PATH) == 0) return;
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return;
    block.resize(size);
    if (!::GetFileVersionInfoW(path, 0, size, block.data())) block.clear();
  }

  const void* query(const std::wstring& key, UINT* length) const {
    void* value = nullptr;
    *length = 0;
    if (block.empty() || !::VerQueryValueW(block.data(), key.c_str(), &value, length)) return nullptr;
    return value;
  }

  // The string table named by the resource's first translation entry.
  std::wstring string(const wchar_t* name) const {
    UINT length = 0;
    auto translation = static_cast<const WORD*>(query(L"\\VarFileInfo\\Translation", &length));
    if (translation == nullptr || length < 2 * sizeof(WORD)) return L"(no translation)";
    wchar_t table[9];
    std::swprintf(table, 9, L"%04x%04x", translation[0], translation[1]);
    auto value =
        static_cast<const wchar_t*>(query(std::wstring(L"\\StringFileInfo\\") + table + L"\\" + name, &length));
    if (value == nullptr) return L"(missing)";
    return std::wstring(value, length > 0 ? length - 1 : 0);
  }
};

TEST(Version, DllVersionResourceMatchesTheHeader) {
  loadLibrary();
  HMODULE module = ::GetModuleHandleW(L"quillet.dll");
  ASSERT_NE(module, nullptr);
  VersionResource resource(module);
  ASSERT_FALSE(resource.block.empty()) << "no version resource: " << ::GetLastError();

  UINT length = 0;
  auto fixed = static_cast<const VS_FIXEDFILEINFO*>(resource.query(L"\\", &length));
  ASSERT_NE(fixed, nullptr);
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  const DWORD ms = (QUILLET_VERSION_MAJOR << 16) | QUILLET_VERSION_MINOR;
  const DWORD ls = QUILLET_VERSION_PATCH << 16;
  EXPECT_EQ(fixed->dwFileVersionMS, ms);
  EXPECT_EQ(fixed->dwFileVersionLS, ls);
  EXPECT_EQ(fixed->dwProductVersionMS, ms);
  EXPECT_EQ(fixed->dwProductVersionLS, ls);

  const struct {
    const wchar_t* name;
    std::wstring expected;
  } strings[] = {
      {L"FileVersion", widen(QUILLET_VERSION)},
      {L"ProductVersion", widen(QUILLET_VERSION)},
      {L"ProductName", L"quillet"},
      {L"InternalName", L"quillet"},
      {L"OriginalFilename", L"quillet.dll"},
  };
  for (const auto& s : strings) {
    EXPECT_EQ(resource.string(s.name), s.expected) << std::string(s.name, s.name + wcslen(s.name));
  }
  EXPECT_GT(resource.string(L"FileDescription").size(), 10u);
}
#else
TEST(Version, SharedLibraryIsNamedForTheMajorVersion) {
  loadLibrary();
  void* symbol = dlsym(RTLD_DEFAULT, "QL_GenerateULID");
  ASSERT_NE(symbol, nullptr);
  Dl_info info{};
  ASSERT_NE(dladdr(symbol, &info), 0);
  const std::string path = info.dli_fname;
  const std::string name = "/libquillet.so." + std::to_string(QUILLET_VERSION_MAJOR);
  ASSERT_GE(path.size(), name.size());
  EXPECT_EQ(path.substr(path.size() - name.size()), name) << path;
}
#endif

}  // namespace
