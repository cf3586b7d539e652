// The one WinHTTP status callback of the facade, installed on every session: it turns the
// completions of asynchronous calls into the end of the matching wait.
#pragma once

#include <windows.h>
#include <winhttp.h>

namespace ksrn::net::winhttp {

// The notifications the callback needs: every completion, the request written, and the closing
// of a handle.
inline constexpr DWORD kNotifications = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                        WINHTTP_CALLBACK_FLAG_SEND_REQUEST |
                                        WINHTTP_CALLBACK_FLAG_HANDLES;

void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, void* information,
                             DWORD informationLength);

}  // namespace ksrn::net::winhttp
