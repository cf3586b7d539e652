// The default certificate chain engines are created lazily by the first verification that
// needs them. Wine 8's crypt32 creates them unsafely when several TLS handshakes verify at once
// (the process faults, or keeps an engine without the trusted roots), so they are created once,
// here, before any session can start a handshake.
#pragma once

namespace ksrn::net::winhttp {

// Builds one chain with each default engine, once per process; later calls return at once.
void PrimeCertificateChains();

}  // namespace ksrn::net::winhttp
