// Our own URL splitter, used on every platform instead of the platform's URL cracking, so that
// all builds accept and refuse exactly the same URLs with the same codes.
//
// Accepted grammar (UTF-16 units; nothing is decoded, copied or allocated):
//
//   url       = scheme "://" authority [ path ] [ query ]
//   scheme    = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )  ; ends at the first ":" of the URL
//   authority = [ userinfo "@" ] host [ ":" port ]          ; ends at the first "/" or "?"
//   userinfo  = user [ ":" password ]                       ; up to the LAST "@" of the authority
//   user      = *( any unit but ":" )                       ; the password is everything after
//   host      = "[" *( any unit but "]" ) "]"               ; a bracketed literal, taken whole
//             / *( any unit but ":" )
//   port      = 1*DIGIT                                     ; decimal, value 0 to 65535
//   path      = "/" *( any unit but "?" )
//   query     = "?" *( any unit )                           ; kept with its "?"
//
// - The scheme is matched without regard to ASCII case; "http" and "https" are recognised, with
//   the default ports 80 and 443. A well-formed other scheme gives
//   ERROR_WINHTTP_UNRECOGNIZED_SCHEME (12006).
// - ERROR_WINHTTP_INVALID_URL (12005) for what cannot be split: no ":" or a first ":" not
//   followed by "//" (checked before the scheme is looked at), a scheme that breaks the rule
//   above (empty, or not starting with a letter), an unclosed "[", anything but ":" after "]",
//   and a port that is empty, not all digits or above 65535. Leading zeros in a port are allowed.
// - The host, user name, password, path and query may be empty. An "@" marks a user part even
//   when nothing stands before it.
// - There is no fragment: "#" is an ordinary unit here, like "\" and every other unit the
//   grammar does not name. Callers that need a narrower alphabet check it before splitting.
#pragma once

#include <cstdint>

#include "platform/wide_string.h"

namespace ksrn {

enum class UrlScheme { Http, Https };

// The parts of one split URL, as views into the input; a part the URL lacks is empty.
struct UrlParts {
  UrlScheme scheme = UrlScheme::Https;
  uint16_t port = 0;         // as written, else the scheme's default
  bool hasUserInfo = false;  // an "@" ended a user part, possibly an empty one
  WideStringView userName;
  WideStringView password;
  WideStringView host;   // as written; an IP literal keeps its brackets
  WideStringView path;   // empty or starting with "/"
  WideStringView query;  // empty or starting with "?"
};

// Splits `url` by the grammar above. On success fills `parts` and sets `error` to 0; otherwise
// returns false with 12005 or 12006 in `error`, and `parts` holds nothing of meaning.
bool SplitUrl(WideStringView url, UrlParts& parts, uint32_t& error) noexcept;

}  // namespace ksrn
