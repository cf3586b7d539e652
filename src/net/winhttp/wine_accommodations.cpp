#include "net/winhttp/wine_accommodations.h"

// After windows.h, which it needs.
#include <wincrypt.h>

#include <algorithm>
#include <atomic>

#include "platform/mutex.h"
#include "platform/never_destroyed.h"
#include "platform/win32_errors.h"

namespace ksrn::net::winhttp {
namespace {

// Wine's ntdll exports its version; Windows' does not. Asked once; a race only asks twice.
bool IsWine() {
  enum : int { kUnknown, kWine, kWindows };
  static std::atomic<int> answer{kUnknown};
  if (answer.load() == kUnknown) {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    answer.store(wine ? kWine : kWindows);
  }
  return answer.load() == kWine;
}

// Any certificate will do: building its chain is what creates the engine.
void BuildOneChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT certificate) {
  CERT_CHAIN_PARA parameters = {};
  parameters.cbSize = sizeof parameters;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (CertGetCertificateChain(engine, certificate, nullptr, nullptr, &parameters, 0, nullptr,
                              &chain)) {
    CertFreeCertificateChain(chain);
  }
}

void PrimeUnderWine() {
  if (!IsWine()) {
    return;
  }
  HCERTSTORE roots = CertOpenSystemStoreW(0, L"ROOT");
  if (roots == nullptr) {
    return;
  }
  if (PCCERT_CONTEXT certificate = CertEnumCertificatesInStore(roots, nullptr)) {
    BuildOneChain(HCCE_CURRENT_USER, certificate);
    BuildOneChain(HCCE_LOCAL_MACHINE, certificate);
    CertFreeCertificateContext(certificate);
  }
  CertCloseStore(roots, 0);
}

}  // namespace

// A mutex and a flag rather than std::call_once: KSRN_Init runs this on a host thread, and
// call_once keeps its state in the runtime's emulated thread-locals, whose first-use allocation
// aborts the process when it fails.
namespace {

struct Priming {
  Mutex mutex;
  bool done GUARDED_BY(mutex) = false;
};

}  // namespace

void PrimeCertificateChains() {
  Priming& priming = NeverDestroyed<Priming>();
  MutexLock lock(priming.mutex);
  if (!priming.done) {
    PrimeUnderWine();
    priming.done = true;
  }
}

uint32_t WinHttpCodeOfSocketError(uint32_t error) {
  constexpr uint32_t kWsaConnectionAborted = 10053;
  constexpr uint32_t kWsaConnectionReset = 10054;
  constexpr uint32_t kWsaTimedOut = 10060;
  switch (error) {
    case kWsaTimedOut:
      return kErrorWinhttpTimeout;
    case kWsaConnectionAborted:
    case kWsaConnectionReset:
      return kErrorWinhttpConnectionError;
    default:
      return error;
  }
}

// SSPI's codes (SEC_E_...) are HRESULTs of facility 9 in 0x80090300-0x800903FF.
bool IsSecurityLayerFailure(uint32_t error) { return (error & 0xFFFFFF00u) == 0x80090300u; }

namespace {

// WINHTTP_OPTION_FEATURE_SUPPORTED and WINHTTP_FEATURE_QUERY_FLAG_WIRE_ENCODING, which not every
// winhttp.h defines.
constexpr DWORD kOptionFeatureSupported = 184;
constexpr DWORD kFeatureWireEncoding = 56;

enum class Support { Unknown, Yes, No };

std::atomic<Support> gWireEncoding{Support::Unknown};
std::atomic<bool> gFeatureProbed{false};

}  // namespace

bool IsWireEncodingAvailable(HINTERNET request) {
  if (!gFeatureProbed.exchange(true)) {
    DWORD feature = kFeatureWireEncoding;
    DWORD size = sizeof feature;
    // Only a WinHTTP that knows the option answers it; any other leaves the question to the
    // first query.
    if (WinHttpQueryOption(request, kOptionFeatureSupported, &feature, &size)) {
      gWireEncoding.store(feature != 0 ? Support::Yes : Support::No);
    }
  }
  return gWireEncoding.load() != Support::No;
}

void RecordWireEncodingAnswer(uint32_t error) {
  Support unknown = Support::Unknown;
  if (error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_INVALID_PARAMETER) {
    gWireEncoding.compare_exchange_strong(
        unknown, error == ERROR_INSUFFICIENT_BUFFER ? Support::Yes : Support::No);
  }
}

bool EndsWhenRequestWritten(AsyncCall call) { return call == AsyncCall::Send; }

bool EndsBeforeAnnouncedLength(const BodyAccount& body, uint32_t count) {
  return count == 0 && body.IsShort();
}

bool FetchWidenedHead(HINTERNET handle, WideString& text) {
  DWORD size = 0;
  text.clear();
  if (WinHttpQueryHeaders(handle, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                          WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX)) {
    return true;
  }
  if (GetLastError() != kErrorInsufficientBuffer) {
    return false;
  }
  text.assign(size / sizeof(WideChar) + 1, 0);
  size = static_cast<DWORD>(text.size() * sizeof(WideChar));
  if (!WinHttpQueryHeaders(handle, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                           text.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  text.resize(std::min<size_t>(size / sizeof(WideChar), text.size() - 1));
  return true;
}

bool IsHeadCutShort(WideStringView text) {
  return IsWine() && !text.empty() && !text.ends_with(KSRN_WIDE("\r\n\r\n"));
}

}  // namespace ksrn::net::winhttp
