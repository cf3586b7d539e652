// libFuzzer target for the two text conversions of the response head. Each input is used twice:
// - as UTF-16 units (decoded as fuzz_input.h says) for the UTF-8 encoder: valid UTF-16 must
//   encode to exactly the measured size and decode back, by the independent decoder below, to
//   the same units; text with an unpaired surrogate must be refused with 1113;
// - as raw head bytes for DecodeHeaderBytes: any bytes give valid UTF-16 whose UTF-8 form is at
//   most three times the input, and equals the input when the input was valid UTF-8.
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "platform/header_bytes.h"
#include "platform/utf8.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

using fuzz::Require;

bool IsValidUtf16(WideStringView text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      ++i;
    } else if (text[i] >= 0xD800 && text[i] <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

// Strict UTF-8 to UTF-16; false on any ill-formed sequence.
bool DecodeUtf8(std::string_view bytes, WideString& text) {
  for (size_t i = 0; i < bytes.size();) {
    const auto byte = [&](size_t at) { return static_cast<uint8_t>(bytes[at]); };
    const uint8_t lead = byte(i);
    const size_t length = lead < 0x80   ? 1
                          : lead < 0xC2 ? 0
                          : lead < 0xE0 ? 2
                          : lead < 0xF0 ? 3
                          : lead < 0xF5 ? 4
                                        : 0;
    if (length == 0 || i + length > bytes.size()) {
      return false;
    }
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) {
        return false;
      }
      point = (point << 6) | (byte(i + k) & 0x3F);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    if (point >= 0x10000) {
      text.push_back(static_cast<WideChar>(0xD800 + ((point - 0x10000) >> 10)));
      text.push_back(static_cast<WideChar>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    } else {
      text.push_back(static_cast<WideChar>(point));
    }
    i += length;
  }
  return true;
}

// The UTF-8 form of text, or nothing with the encoder's code.
bool Encode(WideStringView text, std::string& bytes, uint32_t& error) {
  error = kErrorSuccess;
  const size_t size = MeasureUtf8(text, error);
  if (size == 0) {
    return false;
  }
  bytes.assign(size, '\0');
  const size_t written =
      EncodeUtf8(text, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size(), error);
  Require(written == size);
  return true;
}

void CheckEncoder(const std::vector<WideChar>& units) {
  const WideStringView text(units.data(), units.size());
  std::string bytes;
  uint32_t error = 0;
  if (text.empty()) {
    return;
  }
  if (!IsValidUtf16(text)) {
    Require(!Encode(text, bytes, error) && error == kErrorNoUnicodeTranslation);
    return;
  }
  Require(Encode(text, bytes, error));
  WideString back;
  Require(DecodeUtf8(bytes, back) && back == text);
}

void CheckHeadDecoding(std::string_view raw) {
  const WideString text = DecodeHeaderBytes(raw);
  Require(IsValidUtf16(text));
  std::string bytes;
  uint32_t error = 0;
  if (text.empty()) {
    Require(raw.empty());
    return;
  }
  Require(Encode(text, bytes, error) && bytes.size() <= 3 * raw.size());
  WideString asUtf8;
  if (DecodeUtf8(raw, asUtf8)) {
    Require(bytes == raw);
  }
}

}  // namespace
}  // namespace ksrn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ksrn::CheckEncoder(ksrn::fuzz::DecodeUnits(data, size));
  ksrn::CheckHeadDecoding(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
