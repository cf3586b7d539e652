/*
 * Kestrune: an asynchronous HTTPS client for the REST interfaces of a fixed set of
 * cryptocurrency exchanges, behind flat C functions: the 19 of interface version 1, the
 * additions of release 1.1 (what happened on the wire: delivery, timings, remote address) and of
 * release 1.2 (methods beyond GET, HEAD and POST).
 *
 * Conventions a host relies on:
 * - Strings are NUL-terminated UTF-16 (KSRN_CHAR: wchar_t on Windows, char16_t elsewhere).
 * - Integers are 32 bits wide; yes/no and success/failure results are 1 or 0.
 * - Every function except KSRN_GetLastError sets the calling thread's last error on every
 *   return, 0 on success. Several functions return 0 both on failure and as a genuine answer
 *   (a size of 0, status 0, "not ready"): read KSRN_GetLastError right after the call to tell
 *   them apart. The last error is per thread.
 * - No call ever waits for the network. KSRN_Request returns a request id at once; poll
 *   KSRN_IsReady, read the outcome, then KSRN_Free the id.
 * - Every function may be called from any thread, concurrently with every other.
 * - Only HTTPS on port 443 to the compiled-in exchange hosts can be requested.
 * The manual pages say more: kestrune(3), one page per call, and kestrune-errors(3).
 */
#ifndef KESTRUNE_H
#define KESTRUNE_H

#include <stdint.h>

#if defined(_WIN32)
#include <wchar.h>
typedef wchar_t KSRN_CHAR;
#if defined(KSRN_BUILDING_LIBRARY)
#define KSRN_API __declspec(dllexport)
#else
#define KSRN_API __declspec(dllimport)
#endif
#else
#if defined(__cplusplus)
typedef char16_t KSRN_CHAR;
#else
#include <uchar.h>
typedef char16_t KSRN_CHAR;
#endif
#define KSRN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The interface version KSRN_Init accepts and KSRN_GetAbiVersion returns. */
#define KSRN_ABI_VERSION 1

/* The release this header belongs to. The build refuses a header whose numbers differ from the
   project version. */
#define KSRN_VERSION_MAJOR 1
#define KSRN_VERSION_MINOR 2
#define KSRN_VERSION_PATCH 0
#define KSRN_VERSION_STRING "1.2.0"

/*
 * Error codes a host can see, with their Win32 names. Exports leave them in the last error;
 * KSRN_GetRequestError returns a finished request's own outcome code. kestrune-errors(3) says
 * what each means, whether the request may have reached the server, and what to do. The
 * comments of the calls below name each code by its Win32 name (ERROR_NOT_FOUND for
 * KSRN_ERROR_NOT_FOUND).
 */
#define KSRN_ERROR_SUCCESS 0u                    /* ERROR_SUCCESS */
#define KSRN_ERROR_ACCESS_DENIED 5u              /* method, URL or header refused by policy */
#define KSRN_ERROR_INVALID_HANDLE 6u             /* library not initialised */
#define KSRN_ERROR_NOT_ENOUGH_MEMORY 8u          /* out of memory; result budget exhausted */
#define KSRN_ERROR_INVALID_DATA 13u              /* malformed request header block */
#define KSRN_ERROR_READ_FAULT 30u                /* the server announced data it did not send */
#define KSRN_ERROR_GEN_FAILURE 31u               /* internal failure without a better code */
#define KSRN_ERROR_INVALID_PARAMETER 87u         /* an argument out of range */
#define KSRN_ERROR_BUFFER_OVERFLOW 111u          /* method or header block too long */
#define KSRN_ERROR_INSUFFICIENT_BUFFER 122u      /* copy buffer smaller than the data */
#define KSRN_ERROR_INVALID_NAME 123u             /* malformed URL */
#define KSRN_ERROR_FILE_TOO_LARGE 223u           /* response body or headers over the limit */
#define KSRN_ERROR_NO_MORE_ITEMS 259u            /* request ids used up */
#define KSRN_ERROR_OPERATION_ABORTED 995u        /* cancelled, or the library is stopping */
#define KSRN_ERROR_IO_INCOMPLETE 996u            /* the request has not finished yet */
#define KSRN_ERROR_NO_UNICODE_TRANSLATION 1113u  /* response headers not valid text */
#define KSRN_ERROR_NOT_FOUND 1168u               /* no request with this id */
#define KSRN_ERROR_RETRY 1237u                   /* no budget units for the host in time */
#define KSRN_ERROR_REVISION_MISMATCH 1306u       /* KSRN_Init given another interface version */
#define KSRN_ERROR_NOT_ENOUGH_QUOTA 1816u        /* 32 requests already held */
#define KSRN_ERROR_WINHTTP_TIMEOUT 12002u        /* the request ran out of time */
#define KSRN_ERROR_WINHTTP_INTERNAL_ERROR 12004u /* a network failure without a better code */
#define KSRN_ERROR_WINHTTP_INVALID_URL 12005u    /* the URL cannot be split into its parts */
#define KSRN_ERROR_WINHTTP_UNRECOGNIZED_SCHEME 12006u     /* a scheme other than http or https */
#define KSRN_ERROR_WINHTTP_NAME_NOT_RESOLVED 12007u       /* the host name did not resolve */
#define KSRN_ERROR_WINHTTP_OPERATION_CANCELLED 12017u     /* a network operation was aborted */
#define KSRN_ERROR_WINHTTP_CANNOT_CONNECT 12029u          /* no connection to the server */
#define KSRN_ERROR_WINHTTP_CONNECTION_ERROR 12030u        /* the connection broke */
#define KSRN_ERROR_WINHTTP_INVALID_SERVER_RESPONSE 12152u /* unparsable response */
#define KSRN_ERROR_WINHTTP_SECURE_CHANNEL_ERROR 12157u /* TLS failure (Wine: also certificates) */
#define KSRN_ERROR_WINHTTP_SECURE_FAILURE 12175u       /* TLS or certificate failure */
#define KSRN_ERROR_WINHTTP_HEADER_SIZE_OVERFLOW 12182u /* response head far over the limit */

/* Library lifecycle and the last error. */
/* KSRN_ABI_VERSION; last error 0. See KSRN_Init(3). */
KSRN_API int32_t KSRN_GetAbiVersion(void);
/* 1 when initialised on return (a repeated call keeps the running engine), else 0 with
   ERROR_REVISION_MISMATCH (another version) or ERROR_NOT_ENOUGH_MEMORY. A forked child starts
   not initialised: it abandons the parent's engine and may init its own. See KSRN_Init(3). */
KSRN_API int32_t KSRN_Init(int32_t abiVersion);
/* Cancels and drops every request and joins the engine's threads (never call it from DllMain, a
   static destructor or atexit); 1 when not initialised on return, else 0 with
   ERROR_NOT_ENOUGH_MEMORY or ERROR_GEN_FAILURE. See KSRN_Init(3). */
KSRN_API int32_t KSRN_Shutdown(void);
/* The calling thread's last error, left unchanged. See KSRN_GetLastError(3). */
KSRN_API uint32_t KSRN_GetLastError(void);

/* Control. */
/* At least throttleMs (0 to 60000) between the starts of transfers: 1, else 0 with
   ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_PARAMETER (out of range) or
   ERROR_GEN_FAILURE. See KSRN_SetThrottleMs(3). */
KSRN_API int32_t KSRN_SetThrottleMs(int32_t throttleMs);

/* Methods beyond GET, HEAD and POST (since 1.2), off until a host asks for them. */
/* Adds "DELETE", "PUT" or "PATCH" (any case) to the methods KSRN_Request accepts, until
   KSRN_Shutdown; an engine started by KSRN_Init accepts GET, HEAD and POST only. Such a method
   goes out upper-cased, as the others do, and may carry a body, with the limits of POST.
   Content-Length goes out as WinHTTP writes it: always for POST and PUT (0 without a body), for
   DELETE and PATCH only with a body. 1, else 0 with ERROR_INVALID_HANDLE (not initialised),
   ERROR_INVALID_PARAMETER (NULL or any other name, such as "OPTIONS" or "DELETE "),
   ERROR_NOT_ENOUGH_MEMORY or ERROR_GEN_FAILURE. See KSRN_AllowMethod(3). */
KSRN_API int32_t KSRN_AllowMethod(const KSRN_CHAR* method);

/* Submission: returns a request id (1 or more), or 0 with the reason in the last error. */
/* Refusals, first failing check first: ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY;
   ERROR_INVALID_PARAMETER (body length, null body, time-out); ERROR_INVALID_NAME,
   ERROR_WINHTTP_INVALID_URL, ERROR_WINHTTP_UNRECOGNIZED_SCHEME, ERROR_ACCESS_DENIED (URL);
   ERROR_BUFFER_OVERFLOW, ERROR_ACCESS_DENIED (method: GET, HEAD, POST and those
   KSRN_AllowMethod added are taken); ERROR_BUFFER_OVERFLOW, ERROR_INVALID_DATA,
   ERROR_ACCESS_DENIED (headers); ERROR_INVALID_PARAMETER (body with GET or HEAD);
   ERROR_OPERATION_ABORTED (shutting down), ERROR_NOT_ENOUGH_QUOTA (32 held), ERROR_NO_MORE_ITEMS
   (ids used up). See KSRN_Request(3). */
KSRN_API int32_t KSRN_Request(const KSRN_CHAR* url, const KSRN_CHAR* method,
                              const KSRN_CHAR* headers, const uint8_t* body, int32_t bodyLength,
                              int32_t timeoutMs);
/* KSRN_Request(url, NULL, NULL, NULL, 0, timeoutMs). See KSRN_Request(3). */
KSRN_API int32_t KSRN_Get(const KSRN_CHAR* url, int32_t timeoutMs);

/* Status and results of a request. Each fails with ERROR_INVALID_HANDLE,
   ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_PARAMETER (id <= 0) or ERROR_NOT_FOUND (unknown or
   freed id); all but KSRN_IsReady also with ERROR_IO_INCOMPLETE (not ready) or
   ERROR_GEN_FAILURE. */
/* 1 once the outcome is published, 0 with last error 0 before. See KSRN_IsReady(3). */
KSRN_API int32_t KSRN_IsReady(int32_t id);
/* 1 for a status 200 to 299 with the whole body and outcome 0, else 0. See KSRN_IsReady(3). */
KSRN_API int32_t KSRN_Succeeded(int32_t id);
/* The HTTP status, 0 when none arrived. See KSRN_IsReady(3). */
KSRN_API int32_t KSRN_GetStatusCode(int32_t id);
/* The outcome code (kestrune-errors(3)); on failure the call's own code, which it also sets.
   See KSRN_IsReady(3). */
KSRN_API uint32_t KSRN_GetRequestError(int32_t id);
/* Bytes of the body. See KSRN_CopyBody(3). */
KSRN_API int32_t KSRN_GetBodySize(int32_t id);
/* Copies min(capacity, size) bytes and returns the full size; ERROR_INSUFFICIENT_BUFFER when
   capacity is smaller, ERROR_INVALID_PARAMETER for a negative capacity or a null buffer with
   capacity > 0 (checked first); (id, NULL, 0) is a size query. See KSRN_CopyBody(3). */
KSRN_API int32_t KSRN_CopyBody(int32_t id, uint8_t* buffer, int32_t capacity);
/* Bytes of the raw UTF-8 header block. See KSRN_CopyBody(3). */
KSRN_API int32_t KSRN_GetHeadersSize(int32_t id);
/* As KSRN_CopyBody, for the header block. See KSRN_CopyBody(3). */
KSRN_API int32_t KSRN_CopyHeaders(int32_t id, uint8_t* buffer, int32_t capacity);

/* Cancelling and freeing. Each fails with ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY or
   ERROR_GEN_FAILURE. */
/* 1 when the id is held (a finished request keeps its outcome), else 0 with ERROR_NOT_FOUND.
   See KSRN_Cancel(3). */
KSRN_API int32_t KSRN_Cancel(int32_t id);
/* 1 when the id was held (it is gone afterwards, cancelled first if unfinished), else 0 with
   ERROR_NOT_FOUND. See KSRN_Cancel(3). */
KSRN_API int32_t KSRN_Free(int32_t id);
/* How many unfinished requests were cancelled. See KSRN_Cancel(3). */
KSRN_API int32_t KSRN_CancelAll(void);
/* How many requests are unfinished. See KSRN_Cancel(3). */
KSRN_API int32_t KSRN_GetPendingCount(void);

/*
 * What happened on the wire (since 1.1). For a finished request only: each call sets
 * ERROR_SUCCESS on success, ERROR_INVALID_HANDLE before KSRN_Init, ERROR_INVALID_PARAMETER for an
 * id <= 0 or an argument out of range, ERROR_NOT_FOUND for an unknown or freed id and
 * ERROR_IO_INCOMPLETE while the request is not ready.
 */

/* KSRN_GetDelivery: how far a finished request got. Decide whether to send a failed request
   again from this, never from its error code alone. */
#define KSRN_DELIVERY_NOT_SENT 0 /* no request byte was written: the server cannot have acted */
#define KSRN_DELIVERY_UNKNOWN 1  /* request bytes may have been written, no whole head came back */
#define KSRN_DELIVERY_ANSWERED 2 /* a complete response head arrived (the status is the server's) */
/* NOT_SENT is answered only when the library knows: a request cancelled, freed or out of time
   before its transfer started, a name that did not resolve, a connection refused or never
   completed, a TLS or certificate failure. When it cannot be sure it answers UNKNOWN.
   - Linux (libcurl): libcurl writes the request in the same step in which it reports the
     connection ready for it (its pre-request callback); from that report on the request counts
     as possibly written.
   - Windows (WinHTTP): from WinHTTP's status notifications: from "sending request" on the
     request counts as possibly written; a request closed (cancelled, out of time) while WinHTTP
     was still connecting or in the TLS handshake also answers UNKNOWN, because WinHTTP may finish
     a call after its handle was closed and then send. A send that completed, or failed otherwise
     than by name, connect or TLS, also counts as possibly written. A refused connection or a TLS
     failure that WinHTTP itself reports stays NOT_SENT, and so does a proxy's refusal of the
     tunnel. See KSRN_GetDelivery(3). */
KSRN_API int32_t KSRN_GetDelivery(int32_t id);

/* KSRN_GetTimingUs: microseconds from the moment the engine registered the request (inside
   KSRN_Request) to a mark; -1 with last error 0 for a mark the request never reached. Reached
   marks never decrease in this order. */
#define KSRN_MARK_STARTED 1    /* the throttle granted the transfer's start */
#define KSRN_MARK_RESOLVED 2   /* the host name resolved */
#define KSRN_MARK_CONNECTED 3  /* the TCP connection is up */
#define KSRN_MARK_SECURED 4    /* the TLS handshake is done */
#define KSRN_MARK_SENT 5       /* the whole request has been written */
#define KSRN_MARK_FIRST_BYTE 6 /* the first byte of the response arrived */
#define KSRN_MARK_DONE 7       /* the outcome was published (the request became ready) */
/* What each platform observes:
   - Linux: RESOLVED when the first socket is made, right after resolution; CONNECTED from
     libcurl's own connect timer, counted from that moment; SECURED when libcurl reports the
     connection ready for the request; SENT when libcurl reports the request line, headers and
     body written; FIRST_BYTE when the first byte of the response head is handed over.
   - Windows: RESOLVED, CONNECTED and SENT from WinHTTP's "name resolved", "connected to server"
     and "request sent" notifications (CONNECTED: the last connection made before sending, as
     WinHTTP may give one up and connect again); WinHTTP reports no end of the TLS handshake, so
     SECURED is the moment it begins sending the request, which follows the handshake;
     FIRST_BYTE is the first "response received" notification with bytes after the request was
     sent, else the moment the whole head was available. Windows may leave these notifications
     out: a mark then reads -1, the delivery does not depend on them.
   - Behind a proxy, on both platforms, RESOLVED and CONNECTED are the proxy's.
   See KSRN_GetDelivery(3). */
KSRN_API int32_t KSRN_GetTimingUs(int32_t id, int32_t mark);

/* KSRN_CopyRemoteAddress: the numeric address of the server the transfer connected to
   ("203.0.113.7", "2001:db8::1"), copied as KSRN_CopyBody copies: capacity counts UTF-16 units
   including the terminating NUL; returns the full length with its NUL (1 for an empty string
   when no connection was made); ERROR_INSUFFICIENT_BUFFER when the buffer is too small (the
   first capacity - 1 units are copied and terminated); (id, NULL, 0) is a size query;
   ERROR_INVALID_PARAMETER for a negative capacity or a null buffer with a capacity above 0.
   IPv6 comes without brackets or zone. Behind a proxy this is the proxy's address, on both
   platforms. On Windows it is the peer of the connection that carried the response, or, without
   a response, of the last connection made. See KSRN_GetDelivery(3). */
KSRN_API int32_t KSRN_CopyRemoteAddress(int32_t id, KSRN_CHAR* buffer, int32_t capacity);

/*
 * Per-host request budgets (since 1.2). Exchanges count requests (or their weights) per window
 * and ban the IPs that send on past their limit. A budget is the promise that in any interval
 * of periodMs, the requests the library starts to that host weigh at most units together. A
 * request whose host has no units left waits in the queue for them, holding no running place
 * and delaying no other host; a host's requests start in submission order; the throttle applies
 * on top. A request whose units (or the end of its host's hold) cannot come before its deadline
 * ends at once with ERROR_RETRY, delivery NOT_SENT. Budgets last until KSRN_Shutdown.
 * Host names are allowlisted names (any case); each call refuses a null name with
 * ERROR_INVALID_PARAMETER, a text that is no host name with ERROR_INVALID_NAME, another host
 * with ERROR_ACCESS_DENIED, and fails with ERROR_INVALID_HANDLE before KSRN_Init, or with
 * ERROR_NOT_ENOUGH_MEMORY or ERROR_GEN_FAILURE.
 */
/* units 1 to 1000000 per periodMs 1 to 3600000 (ERROR_INVALID_PARAMETER outside); units 0
   removes the host's budget and its hold. A lowered budget counts what already started.
   Returns 1, else 0. See KSRN_SetHostBudget(3). */
KSRN_API int32_t KSRN_SetHostBudget(const KSRN_CHAR* host, int32_t units, int32_t periodMs);
/* KSRN_Request for a request that weighs weight (1 to 1000000, and at most its host's budget)
   units of its host's budget; ERROR_INVALID_PARAMETER outside. KSRN_Request and KSRN_Get weigh
   1. Without a budget for the host the weight counts for nothing. See KSRN_SetHostBudget(3). */
KSRN_API int32_t KSRN_RequestWeighted(const KSRN_CHAR* url, const KSRN_CHAR* method,
                                      const KSRN_CHAR* headers, const uint8_t* body,
                                      int32_t bodyLength, int32_t timeoutMs, int32_t weight);
/* A budgeted host that answers 429, 418 or 503 with Retry-After (seconds or an HTTP-date) is
   held: no request to it starts before that time. A 429 or 418 without Retry-After holds it for
   one period. The milliseconds left of the host's hold, 0 (last error 0) when it is not held.
   See KSRN_SetHostBudget(3). */
KSRN_API int32_t KSRN_GetHostHoldMs(const KSRN_CHAR* host);
/* The units a request to the host could take now (0 while held), or 0 with ERROR_NOT_FOUND when
   the host has no budget. See KSRN_SetHostBudget(3). */
KSRN_API int32_t KSRN_GetHostUnitsLeft(const KSRN_CHAR* host);
/* Shares this process's budgets and holds with every process of the same user on this machine
   that shares the same name (1 to 64 of A-Za-z0-9._-, else ERROR_INVALID_PARAMETER): their
   starts together stay within each budget, and a hold seen by one holds them all. This
   process's budgets replace those of the same hosts in the shared table. A shared table of
   another user or open to others is refused with ERROR_ACCESS_DENIED, one of another layout
   with ERROR_REVISION_MISMATCH. Returns 1, else 0. See KSRN_SetHostBudget(3). */
KSRN_API int32_t KSRN_ShareBudgets(const KSRN_CHAR* name);

/*
 * Kept connections (since 1.2). Off after every KSRN_Init: each request opens its own
 * connection and closes it after its exchange.
 */
/* idleMs 1 to 300000: a connection whose response was read to its end, on which nothing failed,
   was cancelled or ran out of time, and that the server did not ask to close, stays open for up
   to idleMs after its last use (at most 4 per host and proxy), and the next request to the same
   host through the same proxy takes it instead of connecting: a warm request costs one round
   trip. Send a cheap request (a ping or server-time endpoint) to warm a host before the order.
   A request whose method is not GET or HEAD is written at most once: when a kept connection
   breaks before its answer it ends with ERROR_WINHTTP_CONNECTION_ERROR, delivery UNKNOWN, and
   is never sent again; GET and HEAD may be sent once more on a fresh connection within their
   deadline. 0 returns to a fresh connection per request. Applies to requests that start after
   the call; lowering it closes the idle connections it makes too old, and KSRN_Shutdown closes
   them all. 1, else 0 with ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER (out of range),
   ERROR_NOT_ENOUGH_MEMORY or ERROR_GEN_FAILURE. See KSRN_SetKeepAliveMs(3). */
KSRN_API int32_t KSRN_SetKeepAliveMs(int32_t idleMs);
/* 1 when the finished request was written on a connection an earlier request had used (its
   RESOLVED, CONNECTED and SECURED marks are then -1 and its address is that connection's peer),
   else 0; errors as KSRN_GetDelivery. See KSRN_SetKeepAliveMs(3). */
KSRN_API int32_t KSRN_GetConnectionReused(int32_t id);

/* Waiting without polling (since 1.2). */
/* The completion count: it changes whenever a request's outcome is published and whenever
   KSRN_Shutdown stops a running engine, runs from 1 to 2147483647 and wraps to 1. Returns it as
   soon as it differs from seen (at once for seen 0, which is never a count), else when it
   changes or after timeoutMs (0: at once), with last error 0. Holds no library lock while it
   waits, and never delays a shutdown. A host waits with the count it last saw, checks its
   requests, and waits again.
   0 with ERROR_INVALID_HANDLE (not initialised when called), ERROR_INVALID_PARAMETER (timeoutMs
   negative) or ERROR_GEN_FAILURE. See KSRN_WaitForCompletion(3). */
KSRN_API int32_t KSRN_WaitForCompletion(int32_t seen, int32_t timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_H */
