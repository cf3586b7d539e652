/*
 * A host program that uses Kestrune the way applications do: it loads the library at run time
 * (LoadLibraryW/GetProcAddress on Windows, dlopen/dlsym elsewhere), submits requests to several
 * exchanges at once, polls until each is ready, and prints what came back. A second round shows
 * the throttle, a cancel and a time-out, a third a kept connection warmed. Built with
 * KSRN_EXAMPLE_LINKED, it links the library instead (examples/consumer builds it so against an
 * installed Kestrune).
 *
 * usage: kestrune_example [--live] [LIBRARY]
 *   By default the requests use paths of the simulated exchange of the project's test bench,
 *   so run it inside the bench (tests/sandbox/run build/linux/bin/kestrune_example).
 *   --live asks the real exchanges' public time endpoints instead.
 *   LIBRARY is the library to load; by default the one beside this program. A linked build
 *   ignores it: the system loader has found the library.
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* clock_gettime, nanosleep and readlink also under -std=c99 */
#endif
#include <stdio.h>
#include <string.h>

#include "kestrune.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>
#endif

/* The exports this host uses, resolved by name. */
typedef struct Kestrune {
  int32_t (*Init)(int32_t abiVersion);
  int32_t (*Shutdown)(void);
  uint32_t (*GetLastError)(void);
  int32_t (*SetThrottleMs)(int32_t throttleMs);
  int32_t (*Request)(const KSRN_CHAR* url, const KSRN_CHAR* method, const KSRN_CHAR* headers,
                     const uint8_t* body, int32_t bodyLength, int32_t timeoutMs);
  int32_t (*IsReady)(int32_t id);
  int32_t (*GetStatusCode)(int32_t id);
  uint32_t (*GetRequestError)(int32_t id);
  int32_t (*GetBodySize)(int32_t id);
  int32_t (*CopyBody)(int32_t id, uint8_t* buffer, int32_t capacity);
  int32_t (*Cancel)(int32_t id);
  int32_t (*Free)(int32_t id);
  int32_t (*GetDelivery)(int32_t id);
  int32_t (*GetTimingUs)(int32_t id, int32_t mark);
  int32_t (*SetKeepAliveMs)(int32_t idleMs);
  int32_t (*GetConnectionReused)(int32_t id);
} Kestrune;

/* One request of the demonstration and what the host observed. */
typedef struct Job {
  const char* url;
  int32_t timeoutMs;
  int cancel; /* cancelled right after submission */
  int32_t id;
  double submittedMs;
  double readyMs;
} Job;

/* The Win32 names of the codes a host can see. */
static const struct {
  uint32_t code;
  const char* name;
} kErrorNames[] = {
    {KSRN_ERROR_SUCCESS, "ERROR_SUCCESS"},
    {KSRN_ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {KSRN_ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {KSRN_ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
    {KSRN_ERROR_INVALID_DATA, "ERROR_INVALID_DATA"},
    {KSRN_ERROR_READ_FAULT, "ERROR_READ_FAULT"},
    {KSRN_ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
    {KSRN_ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {KSRN_ERROR_BUFFER_OVERFLOW, "ERROR_BUFFER_OVERFLOW"},
    {KSRN_ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
    {KSRN_ERROR_INVALID_NAME, "ERROR_INVALID_NAME"},
    {KSRN_ERROR_FILE_TOO_LARGE, "ERROR_FILE_TOO_LARGE"},
    {KSRN_ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS"},
    {KSRN_ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"},
    {KSRN_ERROR_IO_INCOMPLETE, "ERROR_IO_INCOMPLETE"},
    {KSRN_ERROR_NO_UNICODE_TRANSLATION, "ERROR_NO_UNICODE_TRANSLATION"},
    {KSRN_ERROR_NOT_FOUND, "ERROR_NOT_FOUND"},
    {KSRN_ERROR_REVISION_MISMATCH, "ERROR_REVISION_MISMATCH"},
    {KSRN_ERROR_NOT_ENOUGH_QUOTA, "ERROR_NOT_ENOUGH_QUOTA"},
    {KSRN_ERROR_WINHTTP_TIMEOUT, "ERROR_WINHTTP_TIMEOUT"},
    {KSRN_ERROR_WINHTTP_INTERNAL_ERROR, "ERROR_WINHTTP_INTERNAL_ERROR"},
    {KSRN_ERROR_WINHTTP_INVALID_URL, "ERROR_WINHTTP_INVALID_URL"},
    {KSRN_ERROR_WINHTTP_UNRECOGNIZED_SCHEME, "ERROR_WINHTTP_UNRECOGNIZED_SCHEME"},
    {KSRN_ERROR_WINHTTP_NAME_NOT_RESOLVED, "ERROR_WINHTTP_NAME_NOT_RESOLVED"},
    {KSRN_ERROR_WINHTTP_OPERATION_CANCELLED, "ERROR_WINHTTP_OPERATION_CANCELLED"},
    {KSRN_ERROR_WINHTTP_CANNOT_CONNECT, "ERROR_WINHTTP_CANNOT_CONNECT"},
    {KSRN_ERROR_WINHTTP_CONNECTION_ERROR, "ERROR_WINHTTP_CONNECTION_ERROR"},
    {KSRN_ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "ERROR_WINHTTP_INVALID_SERVER_RESPONSE"},
    {KSRN_ERROR_WINHTTP_SECURE_CHANNEL_ERROR, "ERROR_WINHTTP_SECURE_CHANNEL_ERROR"},
    {KSRN_ERROR_WINHTTP_SECURE_FAILURE, "ERROR_WINHTTP_SECURE_FAILURE"},
    {KSRN_ERROR_WINHTTP_HEADER_SIZE_OVERFLOW, "ERROR_WINHTTP_HEADER_SIZE_OVERFLOW"},
};

static const char* ErrorName(uint32_t code) {
  for (size_t i = 0; i < sizeof kErrorNames / sizeof kErrorNames[0]; ++i) {
    if (kErrorNames[i].code == code) {
      return kErrorNames[i].name;
    }
  }
  return "(other)";
}

#if defined(_WIN32)

static double NowMs(void) {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return (double)counter.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static void SleepMs(int milliseconds) { Sleep((DWORD)milliseconds); }

#else

static double NowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}

static void SleepMs(int milliseconds) {
  struct timespec delay;
  delay.tv_sec = milliseconds / 1000;
  delay.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
  nanosleep(&delay, NULL);
}

#endif

#if defined(KSRN_EXAMPLE_LINKED)

/* The program was linked against the library, so the loader resolved the exports before main. */
static int LoadExports(const char* path, Kestrune* k) {
  (void)path;
  k->Init = KSRN_Init;
  k->Shutdown = KSRN_Shutdown;
  k->GetLastError = KSRN_GetLastError;
  k->SetThrottleMs = KSRN_SetThrottleMs;
  k->Request = KSRN_Request;
  k->IsReady = KSRN_IsReady;
  k->GetStatusCode = KSRN_GetStatusCode;
  k->GetRequestError = KSRN_GetRequestError;
  k->GetBodySize = KSRN_GetBodySize;
  k->CopyBody = KSRN_CopyBody;
  k->Cancel = KSRN_Cancel;
  k->Free = KSRN_Free;
  k->GetDelivery = KSRN_GetDelivery;
  k->GetTimingUs = KSRN_GetTimingUs;
  k->SetKeepAliveMs = KSRN_SetKeepAliveMs;
  k->GetConnectionReused = KSRN_GetConnectionReused;
  return 1;
}

#else

#if defined(_WIN32)

static void* LoadKestrune(const char* path) {
  wchar_t file[4096];
  if (path != NULL) {
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, file, 4096) == 0) {
      return NULL;
    }
  } else {
    /* The library beside this program. */
    const DWORD length = GetModuleFileNameW(NULL, file, 4096 - 16);
    wchar_t* slash = length > 0 && length < 4096 - 16 ? wcsrchr(file, L'\\') : NULL;
    if (slash == NULL) {
      return NULL;
    }
    wcscpy(slash + 1, L"Kestrune.dll");
  }
  return (void*)LoadLibraryW(file);
}

static int Resolve(void* library, const char* name, void* slot) {
  FARPROC function = GetProcAddress((HMODULE)library, name);
  memcpy(slot, &function, sizeof function);
  return function != NULL;
}

#else

static void* LoadKestrune(const char* path) {
  char file[4096];
  if (path == NULL) {
    /* The library beside this program. */
    const ssize_t length = readlink("/proc/self/exe", file, sizeof file - 32);
    char* slash = NULL;
    if (length > 0 && length < (ssize_t)sizeof file - 32) {
      file[length] = '\0';
      slash = strrchr(file, '/');
    }
    if (slash == NULL) {
      return NULL;
    }
    strcpy(slash + 1, "libkestrune.so");
    path = file;
  }
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "%s\n", dlerror());
  }
  return library;
}

static int Resolve(void* library, const char* name, void* slot) {
  void* function = dlsym(library, name);
  memcpy(slot, &function, sizeof function);
  return function != NULL;
}

#endif

static int LoadExports(const char* path, Kestrune* k) {
  void* library = LoadKestrune(path);
  return library != NULL && Resolve(library, "KSRN_Init", &k->Init) &&
         Resolve(library, "KSRN_Shutdown", &k->Shutdown) &&
         Resolve(library, "KSRN_GetLastError", &k->GetLastError) &&
         Resolve(library, "KSRN_SetThrottleMs", &k->SetThrottleMs) &&
         Resolve(library, "KSRN_Request", &k->Request) &&
         Resolve(library, "KSRN_IsReady", &k->IsReady) &&
         Resolve(library, "KSRN_GetStatusCode", &k->GetStatusCode) &&
         Resolve(library, "KSRN_GetRequestError", &k->GetRequestError) &&
         Resolve(library, "KSRN_GetBodySize", &k->GetBodySize) &&
         Resolve(library, "KSRN_CopyBody", &k->CopyBody) &&
         Resolve(library, "KSRN_Cancel", &k->Cancel) && Resolve(library, "KSRN_Free", &k->Free) &&
         Resolve(library, "KSRN_GetDelivery", &k->GetDelivery) &&
         Resolve(library, "KSRN_GetTimingUs", &k->GetTimingUs) &&
         Resolve(library, "KSRN_SetKeepAliveMs", &k->SetKeepAliveMs) &&
         Resolve(library, "KSRN_GetConnectionReused", &k->GetConnectionReused);
}

#endif

/* The library takes NUL-terminated UTF-16; our URLs are ASCII. */
static void Widen(KSRN_CHAR* out, size_t capacity, const char* ascii) {
  size_t i = 0;
  for (; ascii[i] != '\0' && i + 1 < capacity; ++i) {
    out[i] = (KSRN_CHAR)(unsigned char)ascii[i];
  }
  out[i] = 0;
}

static void Submit(const Kestrune* k, Job* job) {
  KSRN_CHAR url[512];
  Widen(url, 512, job->url);
  job->submittedMs = NowMs();
  job->readyMs = 0;
  job->id = k->Request(url, NULL, NULL, NULL, 0, job->timeoutMs);
  if (job->id == 0) {
    const uint32_t error = k->GetLastError();
    fprintf(stderr, "refused %s: %u %s\n", job->url, (unsigned)error, ErrorName(error));
  } else if (job->cancel) {
    k->Cancel(job->id);
  }
}

/* Polls every job until it is ready. No call blocks on the network, so one thread serves all. */
static int WaitAll(const Kestrune* k, Job* jobs, int count, int limitMs) {
  const double start = NowMs();
  int pending = count;
  while (pending > 0 && NowMs() - start < limitMs) {
    pending = 0;
    for (int i = 0; i < count; ++i) {
      if (jobs[i].id == 0 || jobs[i].readyMs > 0) {
        continue;
      }
      if (k->IsReady(jobs[i].id)) {
        jobs[i].readyMs = NowMs();
      } else {
        ++pending;
      }
    }
    SleepMs(2);
  }
  return pending == 0;
}

/* The host part of a URL, for the table. */
static void HostOf(const char* url, char* host, size_t capacity) {
  const char* start = strstr(url, "://");
  start = start != NULL ? start + 3 : url;
  size_t n = strcspn(start, "/:?");
  if (n >= capacity) {
    n = capacity - 1;
  }
  memcpy(host, start, n);
  host[n] = '\0';
}

/* The first printable characters of a body, for the table. */
static void Preview(const Kestrune* k, int32_t id, char* text, size_t capacity) {
  uint8_t bytes[40];
  const int32_t size = k->CopyBody(id, bytes, (int32_t)sizeof bytes);
  const size_t n = (size_t)(size < (int32_t)sizeof bytes ? size : (int32_t)sizeof bytes);
  size_t out = 0;
  for (size_t i = 0; i < n && out + 1 < capacity; ++i) {
    text[out++] = bytes[i] >= 0x20 && bytes[i] < 0x7F ? (char)bytes[i] : '.';
  }
  text[out] = '\0';
}

/* Whether a failed request may be sent again: only one that never went out is safe to resend
   blindly; the others may have reached the exchange, which must be asked first. */
static const char* DeliveryName(int32_t delivery) {
  switch (delivery) {
    case KSRN_DELIVERY_NOT_SENT:
      return "not sent";
    case KSRN_DELIVERY_UNKNOWN:
      return "unknown";
    case KSRN_DELIVERY_ANSWERED:
      return "answered";
    default:
      return "?";
  }
}

static void PrintTable(const Kestrune* k, const char* title, Job* jobs, int count) {
  printf("\n%s\n", title);
  printf("%4s  %-20s %6s  %-44s %-9s %8s %7s %7s  %s\n", "id", "host", "status", "error",
         "delivery", "bytes", "ms", "1st ms", "body");
  for (int i = 0; i < count; ++i) {
    const Job* job = &jobs[i];
    char host[64];
    char body[48];
    HostOf(job->url, host, sizeof host);
    if (job->id == 0) {
      printf("%4s  %-20s (refused)\n", "-", host);
      continue;
    }
    const uint32_t error = k->GetRequestError(job->id);
    char errorText[64];
    snprintf(errorText, sizeof errorText, "%u %s", (unsigned)error, ErrorName(error));
    Preview(k, job->id, body, sizeof body);
    /* Time to the first response byte, from submission; -1 when no answer came. */
    const int32_t firstByteUs = k->GetTimingUs(job->id, KSRN_MARK_FIRST_BYTE);
    printf("%4d  %-20s %6d  %-44s %-9s %8d %7.0f %7.1f  %s\n", (int)job->id, host,
           (int)k->GetStatusCode(job->id), errorText, DeliveryName(k->GetDelivery(job->id)),
           (int)k->GetBodySize(job->id), job->readyMs > 0 ? job->readyMs - job->submittedMs : -1.0,
           firstByteUs >= 0 ? firstByteUs / 1000.0 : -1.0, body);
    k->Free(job->id);
  }
}

static int RunRound(const Kestrune* k, const char* title, Job* jobs, int count) {
  for (int i = 0; i < count; ++i) {
    Submit(k, &jobs[i]);
  }
  const int finished = WaitAll(k, jobs, count, 60000);
  PrintTable(k, title, jobs, count);
  return finished;
}

/* Round three: kept connections. A cheap request warms the line to the host; the one that
   follows (an order, in a trading host) is written on the connection it left open and costs one
   round trip instead of three. */
static int RunWarmRound(const Kestrune* k, int live) {
  const char* url =
      live ? "https://api.kraken.com/0/public/Time" : "https://api.kraken.com/keep/bytes/64";
  Job jobs[2] = {{url, 0, 0, 0, 0, 0}, {url, 0, 0, 0, 0, 0}};
  int finished = 1;
  k->SetKeepAliveMs(30000);
  printf("\nKept connections (30 s): a request warms the line, the next one takes it:\n");
  for (int i = 0; i < 2; ++i) {
    Submit(k, &jobs[i]);
    finished &= WaitAll(k, &jobs[i], 1, 60000);
    if (jobs[i].id == 0) {
      continue;
    }
    const uint32_t error = k->GetRequestError(jobs[i].id);
    printf("  %-8s reused %d, first byte after %.1f ms, %u %s\n", i == 0 ? "warming" : "next",
           (int)k->GetConnectionReused(jobs[i].id),
           k->GetTimingUs(jobs[i].id, KSRN_MARK_FIRST_BYTE) / 1000.0, (unsigned)error,
           ErrorName(error));
    k->Free(jobs[i].id);
  }
  k->SetKeepAliveMs(0);
  return finished;
}

/* Round one: several exchanges at once. Round two: a 500 ms throttle spaces out the starts; the
   request with a 250 ms budget runs out of time while it waits for its turn, and the last one
   is cancelled right after it was submitted. */
static Job gSimulatedAtOnce[] = {
    {"https://api.binance.com/bytes/2048", 0, 0, 0, 0, 0},
    {"https://api.bybit.com/headers/utf8", 0, 0, 0, 0, 0},
    {"https://www.okx.com/status/404", 0, 0, 0, 0, 0},
    {"https://api.kraken.com/gzip/4096", 0, 0, 0, 0, 0},
    {"https://api.coinbase.com/delay-headers/400", 0, 0, 0, 0, 0},
    {"https://api.kucoin.com/bytes/5000000", 0, 0, 0, 0, 0},
    {"https://api.huobi.pro/delay-headers/5000", 1000, 0, 0, 0, 0},
    {"https://api.toobit.com/bytes/16", 0, 0, 0, 0, 0},
};
static Job gSimulatedThrottled[] = {
    {"https://api.binance.com/bytes/64", 0, 0, 0, 0, 0},
    {"https://api.bybit.com/bytes/64", 0, 0, 0, 0, 0},
    {"https://api.gateio.ws/bytes/64", 0, 0, 0, 0, 0},
    {"https://api.mexc.com/bytes/64", 250, 0, 0, 0, 0},
    {"https://api.bitget.com/bytes/64", 0, 1, 0, 0, 0},
};
static Job gLiveAtOnce[] = {
    {"https://api.binance.com/api/v3/time", 0, 0, 0, 0, 0},
    {"https://api.bybit.com/v5/market/time", 0, 0, 0, 0, 0},
    {"https://www.okx.com/api/v5/public/time", 0, 0, 0, 0, 0},
    {"https://api.kraken.com/0/public/Time", 0, 0, 0, 0, 0},
    {"https://api.coinbase.com/v2/time", 0, 0, 0, 0, 0},
    {"https://api.kucoin.com/api/v1/timestamp", 0, 0, 0, 0, 0},
    {"https://api.gateio.ws/api/v4/spot/time", 0, 0, 0, 0, 0},
};
static Job gLiveThrottled[] = {
    {"https://api.binance.com/api/v3/ping", 0, 0, 0, 0, 0},
    {"https://api.bybit.com/v5/market/time", 0, 0, 0, 0, 0},
    {"https://api.kraken.com/0/public/Time", 0, 0, 0, 0, 0},
    {"https://api.mexc.com/api/v3/time", 250, 0, 0, 0, 0},
    {"https://api.bitget.com/api/v2/public/time", 0, 1, 0, 0, 0},
};

#define COUNT(array) ((int)(sizeof(array) / sizeof((array)[0])))

int main(int argc, char** argv) {
  int live = 0;
  const char* path = NULL;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--live") == 0) {
      live = 1;
    } else {
      path = argv[i];
    }
  }

  Kestrune k;
  if (!LoadExports(path, &k)) {
    fprintf(stderr, "cannot load the Kestrune library\n");
    return 1;
  }
  if (!k.Init(KSRN_ABI_VERSION)) {
    const uint32_t error = k.GetLastError();
    fprintf(stderr, "KSRN_Init failed: %u %s\n", (unsigned)error, ErrorName(error));
    return 1;
  }
  printf("Kestrune example against %s\n",
         live ? "the real exchanges" : "the simulated exchange of the test bench");

  int finished = RunRound(&k, "Several exchanges at once:", live ? gLiveAtOnce : gSimulatedAtOnce,
                          live ? COUNT(gLiveAtOnce) : COUNT(gSimulatedAtOnce));
  k.SetThrottleMs(500);
  finished &= RunRound(&k,
                       "Throttle of 500 ms between starts, a 250 ms budget that runs out while "
                       "waiting, and a cancel:",
                       live ? gLiveThrottled : gSimulatedThrottled,
                       live ? COUNT(gLiveThrottled) : COUNT(gSimulatedThrottled));
  k.SetThrottleMs(0);
  finished &= RunWarmRound(&k, live);
  k.Shutdown();
  if (!finished) {
    fprintf(stderr, "some requests did not finish in time\n");
    return 1;
  }
  return 0;
}
