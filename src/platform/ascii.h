// ASCII character classes and case folding, for any character type. Only A to Z and a to z
// fold: a wider folding (Unicode case rules, or dropping a unit's high byte) would let look-alike
// units such as U+212A KELVIN SIGN pass for a letter.
#pragma once

#include <string_view>

namespace ksrn {

template <class Unit>
constexpr Unit ToLowerAscii(Unit unit) noexcept {
  return unit >= 'A' && unit <= 'Z' ? static_cast<Unit>(unit + ('a' - 'A')) : unit;
}

template <class Unit>
constexpr Unit ToUpperAscii(Unit unit) noexcept {
  return unit >= 'a' && unit <= 'z' ? static_cast<Unit>(unit - ('a' - 'A')) : unit;
}

template <class Unit>
constexpr bool IsAsciiLetter(Unit unit) noexcept {
  return (unit >= 'a' && unit <= 'z') || (unit >= 'A' && unit <= 'Z');
}

template <class Unit>
constexpr bool IsAsciiDigit(Unit unit) noexcept {
  return unit >= '0' && unit <= '9';
}

// The token characters of HTTP, of which header names are made.
template <class Unit>
constexpr bool IsHttpTokenChar(Unit unit) noexcept {
  constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return IsAsciiLetter(unit) || IsAsciiDigit(unit) ||
         (unit > 0 && unit < 0x80 && kSymbols.find(static_cast<char>(unit)) != kSymbols.npos);
}

// True when text, with only its A to Z folded, is exactly lowercase.
template <class Unit>
constexpr bool EqualsAsciiLowercase(std::basic_string_view<Unit> text,
                                    std::string_view lowercase) noexcept {
  if (text.size() != lowercase.size()) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (ToLowerAscii(text[i]) != static_cast<Unit>(lowercase[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace ksrn
