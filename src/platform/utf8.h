// UTF-16 to UTF-8 for the response header block. Unpaired surrogates are refused with
// ERROR_NO_UNICODE_TRANSLATION rather than replaced, so a host never sees altered header text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wide_string.h"

namespace ksrn {

// The UTF-8 size of text in bytes; 0 with error set when text is not valid UTF-16 (or empty).
size_t MeasureUtf8(WideStringView text, uint32_t& error);

// Encodes text into out, which has room for capacity bytes. Returns the bytes written, 0 with
// error set on failure.
size_t EncodeUtf8(WideStringView text, uint8_t* out, size_t capacity, uint32_t& error);

}  // namespace ksrn
