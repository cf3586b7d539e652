/* Loads the built library at run time as a host program does (LoadLibraryW/GetProcAddress,
   dlopen/dlsym) and resolves every export. The export tests link no part of the library. */
#ifndef KSRN_HOST_H
#define KSRN_HOST_H

#include <stddef.h>

#include "kestrune.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KsrnApi {
  void* module;
  int32_t (*GetAbiVersion)(void);
  int32_t (*Init)(int32_t abiVersion);
  int32_t (*Shutdown)(void);
  uint32_t (*GetLastError)(void);
  int32_t (*SetThrottleMs)(int32_t throttleMs);
  int32_t (*Request)(const KSRN_CHAR* url, const KSRN_CHAR* method, const KSRN_CHAR* headers,
                     const uint8_t* body, int32_t bodyLength, int32_t timeoutMs);
  int32_t (*Get)(const KSRN_CHAR* url, int32_t timeoutMs);
  int32_t (*IsReady)(int32_t id);
  int32_t (*Succeeded)(int32_t id);
  int32_t (*GetStatusCode)(int32_t id);
  uint32_t (*GetRequestError)(int32_t id);
  int32_t (*GetBodySize)(int32_t id);
  int32_t (*CopyBody)(int32_t id, uint8_t* buffer, int32_t capacity);
  int32_t (*GetHeadersSize)(int32_t id);
  int32_t (*CopyHeaders)(int32_t id, uint8_t* buffer, int32_t capacity);
  int32_t (*Cancel)(int32_t id);
  int32_t (*Free)(int32_t id);
  int32_t (*CancelAll)(void);
  int32_t (*GetPendingCount)(void);
  int32_t (*GetDelivery)(int32_t id);
  int32_t (*GetTimingUs)(int32_t id, int32_t mark);
  int32_t (*CopyRemoteAddress)(int32_t id, KSRN_CHAR* buffer, int32_t capacity);
  int32_t (*SetHostBudget)(const KSRN_CHAR* host, int32_t units, int32_t periodMs);
  int32_t (*RequestWeighted)(const KSRN_CHAR* url, const KSRN_CHAR* method,
                             const KSRN_CHAR* headers, const uint8_t* body, int32_t bodyLength,
                             int32_t timeoutMs, int32_t weight);
  int32_t (*GetHostHoldMs)(const KSRN_CHAR* host);
  int32_t (*GetHostUnitsLeft)(const KSRN_CHAR* host);
  int32_t (*ShareBudgets)(const KSRN_CHAR* name);
  int32_t (*AllowMethod)(const KSRN_CHAR* method);
  int32_t (*SetKeepAliveMs)(int32_t idleMs);
  int32_t (*GetConnectionReused)(int32_t id);
  int32_t (*WaitForCompletion)(int32_t seen, int32_t timeoutMs);
} KsrnApi;

/* Loads the library from path, or when path is NULL from the folder of the running program,
   and resolves every export. Returns 1 on success; otherwise prints why and returns 0. */
int KsrnLoad(KsrnApi* api, const char* path);

/* Drops the host's reference to the library (FreeLibrary, dlclose). */
void KsrnUnload(KsrnApi* api);

/* 1 while the library loaded by the last KsrnLoad is still mapped into the process. */
int KsrnIsMapped(void);

/* Copies NUL-terminated ASCII text into UTF-16 units; out must have room for the terminator. */
void KsrnWiden(KSRN_CHAR* out, size_t capacity, const char* ascii);

/* Sleeps for the given number of milliseconds. */
void KsrnSleepMs(int milliseconds);

#ifdef __cplusplus
}
#endif

#endif /* KSRN_HOST_H */
