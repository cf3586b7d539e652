// Win32 error codes, named after their Win32 names. Every failure inside the library is one of
// these; platform errors are mapped to them at the boundary of the platform files.
#pragma once

#include <cstdint>

namespace ksrn {

inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidData = 13;
inline constexpr uint32_t kErrorReadFault = 30;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorBufferOverflow = 111;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorInvalidName = 123;
inline constexpr uint32_t kErrorFileTooLarge = 223;
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorOperationAborted = 995;
inline constexpr uint32_t kErrorIoIncomplete = 996;
inline constexpr uint32_t kErrorNoUnicodeTranslation = 1113;
inline constexpr uint32_t kErrorNotFound = 1168;
inline constexpr uint32_t kErrorRetry = 1237;
inline constexpr uint32_t kErrorRevisionMismatch = 1306;
inline constexpr uint32_t kErrorNotEnoughQuota = 1816;
inline constexpr uint32_t kErrorWinhttpTimeout = 12002;
inline constexpr uint32_t kErrorWinhttpInternalError = 12004;
inline constexpr uint32_t kErrorWinhttpInvalidUrl = 12005;
inline constexpr uint32_t kErrorWinhttpUnrecognizedScheme = 12006;
inline constexpr uint32_t kErrorWinhttpNameNotResolved = 12007;
inline constexpr uint32_t kErrorWinhttpOperationCancelled = 12017;
inline constexpr uint32_t kErrorWinhttpIncorrectHandleType = 12018;
inline constexpr uint32_t kErrorWinhttpIncorrectHandleState = 12019;
inline constexpr uint32_t kErrorWinhttpCannotConnect = 12029;
inline constexpr uint32_t kErrorWinhttpConnectionError = 12030;
inline constexpr uint32_t kErrorWinhttpHeaderNotFound = 12150;
inline constexpr uint32_t kErrorWinhttpInvalidServerResponse = 12152;
inline constexpr uint32_t kErrorWinhttpSecureChannelError = 12157;
inline constexpr uint32_t kErrorWinhttpSecureFailure = 12175;
inline constexpr uint32_t kErrorWinhttpHeaderSizeOverflow = 12182;

}  // namespace ksrn
