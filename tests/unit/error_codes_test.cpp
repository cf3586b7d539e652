// The codes the library reports must be Windows' own: each constant against the Windows SDK's
// value where that exists (Windows builds), and each public KSRN_ERROR_ macro against the
// constant the library uses. A wrong number here would reach hosts as a different error.
#include "kestrune.h"
#include "platform/win32_errors.h"

#if defined(_WIN32)
#include <windows.h>
#include <winhttp.h>
#endif

namespace ksrn {

static_assert(KSRN_ERROR_SUCCESS == kErrorSuccess);
static_assert(KSRN_ERROR_ACCESS_DENIED == kErrorAccessDenied);
static_assert(KSRN_ERROR_INVALID_HANDLE == kErrorInvalidHandle);
static_assert(KSRN_ERROR_NOT_ENOUGH_MEMORY == kErrorNotEnoughMemory);
static_assert(KSRN_ERROR_INVALID_DATA == kErrorInvalidData);
static_assert(KSRN_ERROR_READ_FAULT == kErrorReadFault);
static_assert(KSRN_ERROR_GEN_FAILURE == kErrorGenFailure);
static_assert(KSRN_ERROR_INVALID_PARAMETER == kErrorInvalidParameter);
static_assert(KSRN_ERROR_BUFFER_OVERFLOW == kErrorBufferOverflow);
static_assert(KSRN_ERROR_INSUFFICIENT_BUFFER == kErrorInsufficientBuffer);
static_assert(KSRN_ERROR_INVALID_NAME == kErrorInvalidName);
static_assert(KSRN_ERROR_FILE_TOO_LARGE == kErrorFileTooLarge);
static_assert(KSRN_ERROR_NO_MORE_ITEMS == kErrorNoMoreItems);
static_assert(KSRN_ERROR_OPERATION_ABORTED == kErrorOperationAborted);
static_assert(KSRN_ERROR_IO_INCOMPLETE == kErrorIoIncomplete);
static_assert(KSRN_ERROR_NO_UNICODE_TRANSLATION == kErrorNoUnicodeTranslation);
static_assert(KSRN_ERROR_NOT_FOUND == kErrorNotFound);
static_assert(KSRN_ERROR_REVISION_MISMATCH == kErrorRevisionMismatch);
static_assert(KSRN_ERROR_NOT_ENOUGH_QUOTA == kErrorNotEnoughQuota);
static_assert(KSRN_ERROR_WINHTTP_TIMEOUT == kErrorWinhttpTimeout);
static_assert(KSRN_ERROR_WINHTTP_INTERNAL_ERROR == kErrorWinhttpInternalError);
static_assert(KSRN_ERROR_WINHTTP_INVALID_URL == kErrorWinhttpInvalidUrl);
static_assert(KSRN_ERROR_WINHTTP_UNRECOGNIZED_SCHEME == kErrorWinhttpUnrecognizedScheme);
static_assert(KSRN_ERROR_WINHTTP_NAME_NOT_RESOLVED == kErrorWinhttpNameNotResolved);
static_assert(KSRN_ERROR_WINHTTP_OPERATION_CANCELLED == kErrorWinhttpOperationCancelled);
static_assert(KSRN_ERROR_WINHTTP_CANNOT_CONNECT == kErrorWinhttpCannotConnect);
static_assert(KSRN_ERROR_WINHTTP_CONNECTION_ERROR == kErrorWinhttpConnectionError);
static_assert(KSRN_ERROR_WINHTTP_INVALID_SERVER_RESPONSE == kErrorWinhttpInvalidServerResponse);
static_assert(KSRN_ERROR_WINHTTP_SECURE_FAILURE == kErrorWinhttpSecureFailure);
static_assert(KSRN_ERROR_WINHTTP_HEADER_SIZE_OVERFLOW == kErrorWinhttpHeaderSizeOverflow);

#if defined(_WIN32)
static_assert(kErrorSuccess == ERROR_SUCCESS);
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(kErrorInvalidData == ERROR_INVALID_DATA);
static_assert(kErrorReadFault == ERROR_READ_FAULT);
static_assert(kErrorGenFailure == ERROR_GEN_FAILURE);
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(kErrorBufferOverflow == ERROR_BUFFER_OVERFLOW);
static_assert(kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(kErrorInvalidName == ERROR_INVALID_NAME);
static_assert(kErrorFileTooLarge == ERROR_FILE_TOO_LARGE);
static_assert(kErrorNoMoreItems == ERROR_NO_MORE_ITEMS);
static_assert(kErrorOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(kErrorIoIncomplete == ERROR_IO_INCOMPLETE);
static_assert(kErrorNoUnicodeTranslation == ERROR_NO_UNICODE_TRANSLATION);
static_assert(kErrorNotFound == ERROR_NOT_FOUND);
static_assert(kErrorRevisionMismatch == ERROR_REVISION_MISMATCH);
static_assert(kErrorNotEnoughQuota == ERROR_NOT_ENOUGH_QUOTA);
static_assert(kErrorWinhttpTimeout == ERROR_WINHTTP_TIMEOUT);
static_assert(kErrorWinhttpInternalError == ERROR_WINHTTP_INTERNAL_ERROR);
static_assert(kErrorWinhttpInvalidUrl == ERROR_WINHTTP_INVALID_URL);
static_assert(kErrorWinhttpUnrecognizedScheme == ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
static_assert(kErrorWinhttpNameNotResolved == ERROR_WINHTTP_NAME_NOT_RESOLVED);
static_assert(kErrorWinhttpOperationCancelled == ERROR_WINHTTP_OPERATION_CANCELLED);
static_assert(kErrorWinhttpIncorrectHandleType == ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
static_assert(kErrorWinhttpIncorrectHandleState == ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
static_assert(kErrorWinhttpCannotConnect == ERROR_WINHTTP_CANNOT_CONNECT);
static_assert(kErrorWinhttpConnectionError == ERROR_WINHTTP_CONNECTION_ERROR);
static_assert(kErrorWinhttpHeaderNotFound == ERROR_WINHTTP_HEADER_NOT_FOUND);
static_assert(kErrorWinhttpInvalidServerResponse == ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
static_assert(kErrorWinhttpSecureFailure == ERROR_WINHTTP_SECURE_FAILURE);
static_assert(kErrorWinhttpHeaderSizeOverflow == ERROR_WINHTTP_HEADER_SIZE_OVERFLOW);
#endif

}  // namespace ksrn
