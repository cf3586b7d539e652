// The raw response head as every platform of ours reports it: header bytes that form valid
// UTF-8 are decoded as UTF-8, any other byte as its Latin-1 code point. Servers mostly send
// ASCII, sometimes UTF-8 and rarely Latin-1; this reading never fails and never loses a byte.
#pragma once

#include <string_view>

#include "platform/wide_string.h"

namespace ksrn {

WideString DecodeHeaderBytes(std::string_view bytes);

}  // namespace ksrn
