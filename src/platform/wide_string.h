// The UTF-16 string type the library works in: the platform's own wide character, so strings
// pass to the platform's HTTP layer and from the exports without conversion.
#pragma once

#include <string>
#include <string_view>

namespace ksrn {

#if defined(_WIN32)
using WideChar = wchar_t;
#define KSRN_WIDE(text) L##text
#else
using WideChar = char16_t;
#define KSRN_WIDE(text) u##text
#endif

static_assert(sizeof(WideChar) == 2, "UTF-16 units are 16 bits wide");

using WideString = std::basic_string<WideChar>;
using WideStringView = std::basic_string_view<WideChar>;

}  // namespace ksrn
