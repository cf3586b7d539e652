// Reading Retry-After: delta-seconds or the fixed HTTP-date form.
#include "engine/retry_after.h"

#include <algorithm>
#include <array>

#include "platform/ascii.h"

namespace ksrn {
namespace {

// Three days, the longest ban an exchange is known to hand out, with room to spare: a larger
// value is taken as this, so that no arithmetic overflows.
constexpr int64_t kLongestWaitSeconds = 30LL * 24 * 3600;

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

// A run of digits as a number, capped; false for anything else.
bool ReadNumber(std::string_view text, int64_t cap, int64_t& value) {
  if (text.empty()) {
    return false;
  }
  value = 0;
  for (const char c : text) {
    if (!IsAsciiDigit(c)) {
      return false;
    }
    value = std::min(cap, value * 10 + (c - '0'));
  }
  return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" as milliseconds since 1970; false for any other form.
bool ReadHttpDate(std::string_view text, int64_t& unixMs) {
  constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (text.size() != 29 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT") {
    return false;
  }
  const auto month = std::find(kMonths.begin(), kMonths.end(), text.substr(8, 3));
  int64_t day = 0;
  int64_t year = 0;
  int64_t hour = 0;
  int64_t minute = 0;
  int64_t second = 0;
  if (month == kMonths.end() || !ReadNumber(text.substr(5, 2), 99, day) ||
      !ReadNumber(text.substr(12, 4), 9999, year) || !ReadNumber(text.substr(17, 2), 99, hour) ||
      !ReadNumber(text.substr(20, 2), 99, minute) || !ReadNumber(text.substr(23, 2), 99, second) ||
      day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return false;
  }
  const int64_t days = DaysFromCivil(year, month - kMonths.begin() + 1, day);
  unixMs = ((days * 24 + hour) * 60 + minute) * 60 * 1000 + second * 1000;
  return true;
}

}  // namespace

std::optional<int64_t> RetryAfterMs(std::string_view head, int64_t nowUnixMs) {
  constexpr std::string_view kName = "retry-after";
  while (!head.empty()) {
    const size_t end = head.find("\r\n");
    const std::string_view line = head.substr(0, end);
    head.remove_prefix(end == std::string_view::npos ? head.size() : end + 2);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !EqualsAsciiLowercase(line.substr(0, colon), kName)) {
      continue;
    }
    const std::string_view value = Trim(line.substr(colon + 1));
    int64_t seconds = 0;
    if (ReadNumber(value, kLongestWaitSeconds, seconds)) {
      return seconds * 1000;
    }
    int64_t atMs = 0;
    if (ReadHttpDate(value, atMs)) {
      return std::clamp<int64_t>(atMs - nowUnixMs, 0, kLongestWaitSeconds * 1000);
    }
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace ksrn
