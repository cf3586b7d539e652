/* The exports called from plain C, as a C host calls them. It runs in a process of its own, so
   it also sees the library before its first KSRN_Init: no engine, unloadable, ids from 1. */
#include <stdio.h>
#include <string.h>

#include "ksrn_host.h"

static KsrnApi api;
static int gFailures;

static void Check(int ok, const char* what, int line) {
  if (!ok) {
    fprintf(stderr, "line %d: failed: %s\n", line, what);
    ++gFailures;
  }
}

/* Checks a call's result together with the last error it left behind. */
static void CheckCall(long long result, long long expected, uint32_t expectedError,
                      const char* call, int line) {
  const uint32_t error = api.GetLastError();
  if (result != expected || error != expectedError) {
    fprintf(stderr, "line %d: %s gave %lld with last error %u, expected %lld with %u\n", line, call,
            result, (unsigned)error, expected, (unsigned)expectedError);
    ++gFailures;
  }
}

#define CHECK(condition) Check((condition) != 0, #condition, __LINE__)
#define CHECK_CALL(call, expected, error) \
  CheckCall((long long)(call), (long long)(expected), (error), #call, __LINE__)

/* A generous budget, so that a loaded machine never turns a request into a time-out. */
enum { kFinishMs = 60000 };

static KSRN_CHAR gUrl[256];
static KSRN_CHAR gBadUrl[256];

/* Polls until the request is ready; 0 if it is not within the time given. */
static int WaitReady(int32_t id, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (api.IsReady(id)) {
      return 1;
    }
    KsrnSleepMs(10);
  }
  return api.IsReady(id);
}

/* Every export that needs the engine refuses with 6 before the first init; the copy calls check
   their buffer arguments before anything else. */
static void BeforeFirstInit(void) {
  uint8_t buffer[16];
  CHECK(api.GetLastError() == 0);
  CHECK_CALL(api.Shutdown(), 1, 0);
  CHECK_CALL(api.SetThrottleMs(0), 0, 6);
  CHECK_CALL(api.Request(gUrl, NULL, NULL, NULL, 0, 0), 0, 6);
  CHECK_CALL(api.Get(gUrl, 0), 0, 6);
  CHECK_CALL(api.IsReady(1), 0, 6);
  CHECK_CALL(api.Succeeded(1), 0, 6);
  CHECK_CALL(api.GetStatusCode(1), 0, 6);
  CHECK_CALL(api.GetRequestError(1), 6, 6);
  CHECK_CALL(api.GetBodySize(1), 0, 6);
  CHECK_CALL(api.CopyBody(1, buffer, sizeof buffer), 0, 6);
  CHECK_CALL(api.GetHeadersSize(1), 0, 6);
  CHECK_CALL(api.CopyHeaders(1, NULL, 0), 0, 6);
  CHECK_CALL(api.Cancel(1), 0, 6);
  CHECK_CALL(api.Free(1), 0, 6);
  CHECK_CALL(api.CancelAll(), 0, 6);
  CHECK_CALL(api.GetPendingCount(), 0, 6);
  CHECK_CALL(api.CopyBody(1, buffer, -1), 0, 87);
  CHECK_CALL(api.CopyHeaders(1, NULL, 5), 0, 87);
  CHECK_CALL(api.Init(0), 0, 1306);
  CHECK_CALL(api.Init(2), 0, 1306);
  CHECK_CALL(api.Get(gUrl, 0), 0, 6);
  CHECK_CALL(api.GetAbiVersion(), 1, 0);
}

/* One request read the way a C host reads it: poll, outcome, sizes, copies, free. */
static void FirstRequests(void) {
  uint8_t body[64];
  uint8_t headers[4096];
  CHECK_CALL(api.Init(1), 1, 0);
  CHECK_CALL(api.Init(1), 1, 0);
  CHECK_CALL(api.Get(gBadUrl, 0), 0, 123);
  CHECK_CALL(api.Get(gUrl, kFinishMs), 1, 0);
  CHECK_CALL(api.Request(gUrl, NULL, NULL, NULL, 0, kFinishMs), 2, 0);

  CHECK(WaitReady(1, 90000));
  CHECK_CALL(api.IsReady(1), 1, 0);
  CHECK_CALL(api.Succeeded(1), 1, 0);
  CHECK_CALL(api.GetStatusCode(1), 200, 0);
  CHECK_CALL(api.GetRequestError(1), 0, 0);
  CHECK_CALL(api.GetBodySize(1), 16, 0);
  CHECK_CALL(api.CopyBody(1, body, sizeof body), 16, 0);
  const int32_t headerSize = api.GetHeadersSize(1);
  CHECK(headerSize > 16 && headerSize <= (int32_t)sizeof headers);
  CHECK_CALL(api.CopyHeaders(1, headers, sizeof headers), headerSize, 0);
  CHECK(headerSize > 16 && memcmp(headers, "HTTP/1.1 200 ", 13) == 0);
  CHECK(headerSize > 16 && memcmp(headers + headerSize - 4, "\r\n\r\n", 4) == 0);

  CHECK_CALL(api.Free(1), 1, 0);
  CHECK_CALL(api.Free(1), 0, 1168);
  CHECK_CALL(api.IsReady(1), 0, 1168);
}

/* Ids keep rising across a shutdown, and the old ones are gone with the old engine. */
static void IdsAcrossShutdown(void) {
  CHECK_CALL(api.Get(gUrl, 0), 3, 0);
  CHECK_CALL(api.Get(gUrl, 0), 4, 0);
  CHECK_CALL(api.Get(gUrl, 0), 5, 0);
  CHECK_CALL(api.Shutdown(), 1, 0);
  CHECK_CALL(api.IsReady(3), 0, 6);
  CHECK_CALL(api.Shutdown(), 1, 0);
  CHECK_CALL(api.Init(1), 1, 0);
  CHECK_CALL(api.Get(gUrl, 0), 6, 0);
  CHECK_CALL(api.IsReady(3), 0, 1168);
}

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : NULL;
  KsrnWiden(gUrl, 256, "https://api.kraken.com/bytes/16");
  KsrnWiden(gBadUrl, 256, "https://api.kraken.com/a b");

  /* Before the first init nothing holds the library: the host can unload it. */
  if (!KsrnLoad(&api, path)) {
    return 2;
  }
  CHECK_CALL(api.GetAbiVersion(), 1, 0);
  KsrnUnload(&api);
  CHECK(!KsrnIsMapped());
  if (!KsrnLoad(&api, path)) {
    return 2;
  }

  BeforeFirstInit();
  FirstRequests();
  IdsAcrossShutdown();

  /* After an init the library stays loaded: its threads may still run its code. */
  KsrnUnload(&api);
  CHECK(KsrnIsMapped());
  CHECK_CALL(api.GetPendingCount() >= 0, 1, 0);
  CHECK_CALL(api.Shutdown(), 1, 0);

  if (gFailures != 0) {
    fprintf(stderr, "%d checks failed\n", gFailures);
    return 1;
  }
  printf("all checks passed\n");
  return 0;
}
