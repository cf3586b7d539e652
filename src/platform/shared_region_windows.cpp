// The shared region on Windows: a section backed by the paging file and a mutex, both named in
// the session's Local\ namespace and made with our user as owner and the only one allowed in.
// Windows hands the next waiter WAIT_ABANDONED when a holder dies, however it dies. Who made an
// object is never taken on trust: owner, size and header are checked before its bytes are used.
#include <windows.h>

#include <aclapi.h>

#include <new>
#include <system_error>

#include "platform/shared_region.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

inline constexpr uint32_t kMagic = 0x4B535231;  // "KSR1": this header's layout
inline constexpr DWORD kReadyWaitMs = 1000;

// Read and written only under the named mutex.
struct alignas(64) Header {
  uint32_t magic;
  uint32_t layoutVersion;
  uint64_t bytes;
  uint32_t ready;
  // Set when Open's own wait met an abandoned mutex: the next Lock reports the death in its place.
  uint32_t holderDied;
};
static_assert(sizeof(Header) % 64 == 0, "the caller's bytes start 64-byte aligned");

DWORD LastError() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : kErrorGenFailure;
}

// "Local\Kestrune-<name><suffix>": names in Local\ are seen by this session's processes only.
using ObjectNameBuffer = wchar_t[32 + kMaxRegionNameChars];
void ObjectName(std::string_view name, const wchar_t* suffix, ObjectNameBuffer& out) {
  size_t at = 0;
  for (const wchar_t* prefix = L"Local\\Kestrune-"; *prefix != L'\0'; ++prefix) out[at++] = *prefix;
  for (const char c : name) out[at++] = static_cast<wchar_t>(c);
  for (; *suffix != L'\0'; ++suffix) out[at++] = *suffix;
  out[at] = L'\0';
}

// A security descriptor naming our user as owner and the only one granted access, as mode 0600
// does on Linux. Refers to itself; made in place.
struct UserOnly {
  alignas(8) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  alignas(8) BYTE acl[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes;

  PSID Sid() { return reinterpret_cast<TOKEN_USER*>(user)->User.Sid; }
};

DWORD MakeUserOnly(UserOnly& security) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return LastError();
  }
  DWORD length = 0;
  const bool known =
      GetTokenInformation(token, TokenUser, security.user, sizeof security.user, &length);
  const DWORD error = known ? ERROR_SUCCESS : LastError();
  CloseHandle(token);
  if (!known) {
    return error;
  }
  ACL* acl = reinterpret_cast<ACL*>(security.acl);
  if (!InitializeAcl(acl, sizeof security.acl, ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, security.Sid()) ||
      !InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorOwner(&security.descriptor, security.Sid(), FALSE) ||
      !SetSecurityDescriptorDacl(&security.descriptor, TRUE, acl, FALSE)) {
    return LastError();
  }
  security.attributes = {sizeof security.attributes, &security.descriptor, FALSE};
  return ERROR_SUCCESS;
}

// An object of our name that someone else made (in this session, under another account) may let
// them in or hold our lock forever: only an object owned by our user is used.
DWORD CheckOwner(HANDLE object, PSID user) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                      nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  const bool ours = owner != nullptr && EqualSid(owner, user);
  LocalFree(descriptor);
  return ours ? ERROR_SUCCESS : kErrorAccessDenied;
}

// Maps the section, making its header when it is new, under the named mutex. Not ready there
// means new, or its maker died part way (no one has used it then): it is made afresh. The
// section handle is kept as long as the view: Wine forgets a section's name with its last
// handle, views or not.
void* MapRegion(HANDLE& section, const wchar_t* name, UserOnly& security, uint64_t mappingBytes,
                uint32_t layoutVersion, bool abandoned, uint32_t& error) {
  section = CreateFileMappingW(INVALID_HANDLE_VALUE, &security.attributes, PAGE_READWRITE,
                               static_cast<DWORD>(mappingBytes >> 32),
                               static_cast<DWORD>(mappingBytes), name);
  if (section == nullptr) {
    error = LastError();
    return nullptr;
  }
  error = CheckOwner(section, security.Sid());
  if (error != ERROR_SUCCESS) {
    return nullptr;
  }
  void* view = MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view == nullptr) {
    error = LastError();
    return nullptr;
  }
  // A section made by another size is page-rounded: its header tells the exact size.
  MEMORY_BASIC_INFORMATION extent{};
  Header* header = static_cast<Header*>(view);
  if (VirtualQuery(view, &extent, sizeof extent) == 0 || extent.RegionSize < mappingBytes) {
    error = kErrorRevisionMismatch;
  } else if (header->ready == 0) {
    ZeroMemory(view, static_cast<size_t>(mappingBytes));
    *header = {kMagic, layoutVersion, mappingBytes - sizeof(Header), 1, 0};
  } else if (header->magic != kMagic || header->layoutVersion != layoutVersion ||
             header->bytes != mappingBytes - sizeof(Header)) {
    error = kErrorRevisionMismatch;
  } else if (abandoned) {
    header->holderDied = 1;
  }
  if (error != ERROR_SUCCESS) {
    UnmapViewOfFile(view);
    return nullptr;
  }
  return view;
}

}  // namespace

std::unique_ptr<SharedRegion> SharedRegion::Open(std::string_view name, size_t bytes,
                                                 uint32_t layoutVersion, uint32_t& error) {
  error = kErrorSuccess;
  if (name.size() > kMaxRegionNameChars) {  // the object names below have room for no more
    error = kErrorInvalidName;
    return nullptr;
  }
  std::unique_ptr<SharedRegion> region(new (std::nothrow) SharedRegion);
  if (region == nullptr || bytes > SIZE_MAX - sizeof(Header)) {
    error = kErrorNotEnoughMemory;
    return nullptr;
  }
  UserOnly security;
  error = MakeUserOnly(security);
  if (error != ERROR_SUCCESS) {
    return nullptr;
  }
  ObjectNameBuffer objectName;
  ObjectName(name, L"-lock", objectName);
  HANDLE mutex = CreateMutexW(&security.attributes, FALSE, objectName);
  if (mutex == nullptr) {
    error = LastError();
    return nullptr;
  }
  region->mutex = mutex;  // from here the destructor closes it
  error = CheckOwner(mutex, security.Sid());
  if (error != ERROR_SUCCESS) {
    return nullptr;
  }
  const DWORD wait = WaitForSingleObject(mutex, kReadyWaitMs);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    error = wait == WAIT_TIMEOUT ? kErrorGenFailure : LastError();
    return nullptr;
  }
  const size_t mappingBytes = sizeof(Header) + bytes;
  ObjectName(name, L"", objectName);
  region->mapping = MapRegion(region->section, objectName, security, mappingBytes, layoutVersion,
                              wait == WAIT_ABANDONED, error);
  ReleaseMutex(mutex);
  if (region->mapping == nullptr) {
    return nullptr;
  }
  region->mappingBytes = mappingBytes;
  return region;
}

SharedRegion::~SharedRegion() {
  if (mapping != nullptr) UnmapViewOfFile(mapping);
  if (section != nullptr) CloseHandle(section);
  if (mutex != nullptr) CloseHandle(mutex);
}

void* SharedRegion::Data() { return static_cast<char*>(mapping) + sizeof(Header); }

bool SharedRegion::Lock() {
  const DWORD wait = WaitForSingleObject(mutex, INFINITE);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    throw std::system_error(static_cast<int>(LastError()), std::system_category(),
                            "shared region lock");
  }
  Header* header = static_cast<Header*>(mapping);
  const bool holderDied = wait == WAIT_ABANDONED || header->holderDied != 0;
  header->holderDied = 0;
  return holderDied;
}

void SharedRegion::Unlock() noexcept { ReleaseMutex(mutex); }

}  // namespace ksrn
