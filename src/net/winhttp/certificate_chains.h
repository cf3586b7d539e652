// The default certificate chain engines are created lazily by the first verification that
// needs them. Wine 8's crypt32 creates them unsafely when several TLS handshakes verify at once
// (the process faults, or keeps an engine without the trusted roots), so under Wine they are
// created once, before any session can start a handshake. Windows needs no such help, and there
// building a chain may fetch from the network with nothing able to cut it short: it is skipped.
#pragma once

namespace ksrn::net::winhttp {

// Under Wine, builds one chain with each default engine, once per process; elsewhere, and on
// later calls, returns at once. HttpPrepareProcess runs it when the library starts; HttpOpen
// runs it too, for a process that never prepared.
void PrimeCertificateChains();

}  // namespace ksrn::net::winhttp
