// Tells whether a Windows test program runs under Wine, so that a test can skip what Wine
// cannot do, naming the limit: GTEST_SKIP() << "Wine 8: ...". Always false on other platforms.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdint>

namespace ksrn::test {

// ERROR_WINHTTP_SECURE_CHANNEL_ERROR. Wine 8's WinHTTP reports a failed certificate check with
// it and sends no secure-failure notification; Windows reports ERROR_WINHTTP_SECURE_FAILURE.
inline constexpr uint32_t kWineCertificateFailure = 12157;

inline bool IsWine() {
#if defined(_WIN32)
  // Wine's ntdll exports its version; Windows' does not.
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// Wine 8 cuts the raw response head short when its ANSI code page is double-byte (932, 936, 949,
// 950) and a header holds bytes over 0x7F: the text ends within the line after them.
inline bool WineCutsWidenedHeads() {
#if defined(_WIN32)
  CPINFO info = {};
  return IsWine() && GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 2;
#else
  return false;
#endif
}

}  // namespace ksrn::test
