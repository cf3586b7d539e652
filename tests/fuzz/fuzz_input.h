// What the fuzz targets share: how input bytes become UTF-16 units, and a check that stops the
// run with the failing input saved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/wide_string.h"

namespace ksrn::fuzz {

// Each input byte is one UTF-16 unit, except that 0xFF followed by two bytes gives the unit they
// spell (little-endian), so seeds stay readable text and every unit value is still reachable.
inline std::vector<WideChar> DecodeUnits(const uint8_t* data, size_t size) {
  std::vector<WideChar> units;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF && i + 2 < size) {
      units.push_back(static_cast<WideChar>(data[i + 1] | (data[i + 2] << 8)));
      i += 2;
    } else {
      units.push_back(data[i]);
    }
  }
  return units;
}

inline void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace ksrn::fuzz
