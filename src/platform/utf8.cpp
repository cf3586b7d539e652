#include "platform/utf8.h"

#include "platform/win32_errors.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace ksrn {

#if defined(_WIN32)

size_t MeasureUtf8(WideStringView text, uint32_t& error) {
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                                       static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) {
    error = GetLastError();
    return 0;
  }
  return static_cast<size_t>(size);
}

size_t EncodeUtf8(WideStringView text, uint8_t* out, size_t capacity, uint32_t& error) {
  const int written = WideCharToMultiByte(
      CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
      reinterpret_cast<char*>(out), static_cast<int>(capacity), nullptr, nullptr);
  if (written <= 0) {
    error = GetLastError();
    return 0;
  }
  return static_cast<size_t>(written);
}

#else

namespace {

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Calls emit(codePoint) for each code point; false at the first unpaired surrogate.
template <typename Emit>
bool ForEachCodePoint(WideStringView text, Emit emit) {
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t unit = text[i];
    if (IsHighSurrogate(unit)) {
      if (i + 1 == text.size() || !IsLowSurrogate(text[i + 1])) {
        return false;
      }
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (IsLowSurrogate(unit)) {
      return false;
    }
    if (!emit(unit)) {
      return false;
    }
  }
  return true;
}

size_t Utf8Length(uint32_t codePoint) {
  return codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
}

}  // namespace

size_t MeasureUtf8(WideStringView text, uint32_t& error) {
  size_t size = 0;
  if (!ForEachCodePoint(text, [&](uint32_t codePoint) {
        size += Utf8Length(codePoint);
        return true;
      })) {
    error = kErrorNoUnicodeTranslation;
    return 0;
  }
  if (size == 0) {
    error = kErrorInvalidParameter;
  }
  return size;
}

size_t EncodeUtf8(WideStringView text, uint8_t* out, size_t capacity, uint32_t& error) {
  size_t written = 0;
  uint32_t failure = kErrorNoUnicodeTranslation;
  const bool valid = ForEachCodePoint(text, [&](uint32_t codePoint) {
    const size_t length = Utf8Length(codePoint);
    if (capacity - written < length) {
      failure = kErrorInsufficientBuffer;
      return false;
    }
    if (length == 1) {
      out[written++] = static_cast<uint8_t>(codePoint);
      return true;
    }
    static constexpr uint8_t kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (size_t k = length; k-- > 1;) {
      out[written + k] = static_cast<uint8_t>(0x80 | (codePoint & 0x3F));
      codePoint >>= 6;
    }
    out[written] = static_cast<uint8_t>(kLead[length] | codePoint);
    written += length;
    return true;
  });
  if (!valid) {
    error = failure;
    return 0;
  }
  return written;
}

#endif

}  // namespace ksrn
