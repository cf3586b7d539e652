#include "ksrn_host.h"

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>
#endif

#define KSRN_EXPORT(name) \
  { "KSRN_" #name, offsetof(KsrnApi, name) }

static const struct {
  const char* name;
  size_t offset;
} kExports[] = {
    KSRN_EXPORT(GetAbiVersion),
    KSRN_EXPORT(Init),
    KSRN_EXPORT(Shutdown),
    KSRN_EXPORT(GetLastError),
    KSRN_EXPORT(SetThrottleMs),
    KSRN_EXPORT(Request),
    KSRN_EXPORT(Get),
    KSRN_EXPORT(IsReady),
    KSRN_EXPORT(Succeeded),
    KSRN_EXPORT(GetStatusCode),
    KSRN_EXPORT(GetRequestError),
    KSRN_EXPORT(GetBodySize),
    KSRN_EXPORT(CopyBody),
    KSRN_EXPORT(GetHeadersSize),
    KSRN_EXPORT(CopyHeaders),
    KSRN_EXPORT(Cancel),
    KSRN_EXPORT(Free),
    KSRN_EXPORT(CancelAll),
    KSRN_EXPORT(GetPendingCount),
    KSRN_EXPORT(GetDelivery),
    KSRN_EXPORT(GetTimingUs),
    KSRN_EXPORT(CopyRemoteAddress),
    KSRN_EXPORT(SetHostBudget),
    KSRN_EXPORT(RequestWeighted),
    KSRN_EXPORT(GetHostHoldMs),
    KSRN_EXPORT(GetHostUnitsLeft),
    KSRN_EXPORT(ShareBudgets),
    KSRN_EXPORT(AllowMethod),
    KSRN_EXPORT(SetKeepAliveMs),
    KSRN_EXPORT(GetConnectionReused),
    KSRN_EXPORT(WaitForCompletion),
};

#if defined(_WIN32)

static wchar_t gLibraryPath[4096];

static int FindLibrary(const char* path) {
  if (path != NULL) {
    return MultiByteToWideChar(CP_UTF8, 0, path, -1, gLibraryPath, 4096) > 0;
  }
  const DWORD length = GetModuleFileNameW(NULL, gLibraryPath, 4096 - 16);
  if (length == 0 || length >= 4096 - 16) {
    return 0;
  }
  wchar_t* slash = wcsrchr(gLibraryPath, L'\\');
  wcscpy(slash != NULL ? slash + 1 : gLibraryPath, L"Kestrune.dll");
  return 1;
}

static void* OpenLibrary(void) { return (void*)LoadLibraryW(gLibraryPath); }

static int ResolveExport(void* module, const char* name, void* slot) {
  FARPROC function = GetProcAddress((HMODULE)module, name);
  memcpy(slot, &function, sizeof function);
  return function != NULL;
}

void KsrnUnload(KsrnApi* api) {
  FreeLibrary((HMODULE)api->module);
  api->module = NULL;
}

int KsrnIsMapped(void) { return GetModuleHandleW(gLibraryPath) != NULL; }

void KsrnSleepMs(int milliseconds) { Sleep((DWORD)milliseconds); }

#else

static char gLibraryPath[4096];

static int FindLibrary(const char* path) {
  if (path != NULL) {
    return snprintf(gLibraryPath, sizeof gLibraryPath, "%s", path) < (int)sizeof gLibraryPath;
  }
  const ssize_t length = readlink("/proc/self/exe", gLibraryPath, sizeof gLibraryPath - 32);
  if (length <= 0 || length >= (ssize_t)sizeof gLibraryPath - 32) {
    return 0;
  }
  gLibraryPath[length] = '\0';
  char* slash = strrchr(gLibraryPath, '/');
  strcpy(slash != NULL ? slash + 1 : gLibraryPath, "libkestrune.so");
  return 1;
}

static void* OpenLibrary(void) {
  void* module = dlopen(gLibraryPath, RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) {
    fprintf(stderr, "%s\n", dlerror());
  }
  return module;
}

static int ResolveExport(void* module, const char* name, void* slot) {
  void* function = dlsym(module, name);
  memcpy(slot, &function, sizeof function);
  return function != NULL;
}

void KsrnUnload(KsrnApi* api) {
  dlclose(api->module);
  api->module = NULL;
}

int KsrnIsMapped(void) {
  void* module = dlopen(gLibraryPath, RTLD_NOW | RTLD_NOLOAD);
  if (module == NULL) {
    return 0;
  }
  dlclose(module);
  return 1;
}

void KsrnSleepMs(int milliseconds) {
  struct timespec delay;
  delay.tv_sec = milliseconds / 1000;
  delay.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
  nanosleep(&delay, NULL);
}

#endif

int KsrnLoad(KsrnApi* api, const char* path) {
  memset(api, 0, sizeof *api);
  if (!FindLibrary(path)) {
    fprintf(stderr, "cannot tell where the library is\n");
    return 0;
  }
  api->module = OpenLibrary();
  if (api->module == NULL) {
    fprintf(stderr, "cannot load the library\n");
    return 0;
  }
  for (size_t i = 0; i < sizeof kExports / sizeof kExports[0]; ++i) {
    if (!ResolveExport(api->module, kExports[i].name, (char*)api + kExports[i].offset)) {
      fprintf(stderr, "export %s is missing\n", kExports[i].name);
      return 0;
    }
  }
  return 1;
}

void KsrnWiden(KSRN_CHAR* out, size_t capacity, const char* ascii) {
  size_t i = 0;
  for (; ascii[i] != '\0' && i + 1 < capacity; ++i) {
    out[i] = (KSRN_CHAR)(unsigned char)ascii[i];
  }
  out[i] = 0;
}
