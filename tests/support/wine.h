// Tells whether a Windows test program runs under Wine, so that a test can skip what Wine
// cannot do, naming the limit: GTEST_SKIP() << "Wine 8: ...". Always false on other platforms.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#endif

namespace ksrn::test {

inline bool IsWine() {
#if defined(_WIN32)
  // Wine's ntdll exports its version; Windows' does not.
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace ksrn::test
