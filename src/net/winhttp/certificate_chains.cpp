#include "net/winhttp/certificate_chains.h"

#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <mutex>

#include "net/http_ops.h"
#include "net/winhttp/op_result.h"

namespace ksrn::net::winhttp {
namespace {

// Wine's ntdll exports its version; Windows' does not.
bool IsWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
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

void Prime() {
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

void PrimeCertificateChains() {
  static std::once_flag once;
  std::call_once(once, Prime);
}

}  // namespace ksrn::net::winhttp

namespace ksrn::net {

// The chain priming is this operation set's only one-off work.
bool HttpPrepareProcess() {
  return Report(Guarded([] {
    winhttp::PrimeCertificateChains();
    return kErrorSuccess;
  }));
}

}  // namespace ksrn::net
