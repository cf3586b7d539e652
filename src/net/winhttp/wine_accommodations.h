// Where Wine's WinHTTP (Wine 8, where our Windows tests run) differs from Windows' in a way the
// facade has to make up for. Every such accommodation is decided here, with its reason; the rest
// of the facade is written for WinHTTP as Windows documents it.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>

#include "net/winhttp/handle_types.h"
#include "platform/wide_string.h"

namespace ksrn::net::winhttp {

// The default certificate chain engines are created lazily by the first verification that
// needs them. Wine 8's crypt32 creates them unsafely when several TLS handshakes verify at once
// (the process faults, or keeps an engine without the trusted roots), so under Wine this builds
// one chain with each default engine, once per process, before any session can start a
// handshake. Windows needs no such help, and there building a chain may fetch from the network
// with nothing able to cut it short: elsewhere, and on later calls, this returns at once.
// HttpPrepareProcess runs it when the library starts; HttpOpen runs it too, for a process that
// never prepared.
void PrimeCertificateChains();

// Wine's WinHTTP lets socket codes through where Windows reports WinHTTP codes for the same
// event: those become the WinHTTP codes; any other code is returned unchanged.
uint32_t WinHttpCodeOfSocketError(uint32_t error);

// Wine's TLS stack now and then fails a handshake under load, and its WinHTTP then passes the
// security layer's own code through (SEC_E_INTERNAL_ERROR), where Windows reports 12157. True
// for such a code, which is a failed handshake as 12157 is.
bool IsSecurityLayerFailure(uint32_t error);

// Wine's WinHTTP completes an asynchronous send only when the response head has arrived. So a
// send ends for its caller once WinHTTP reports the request written (REQUEST_SENT), and the
// receive first waits for the send's own completion (HandleContext::AwaitSendCompletion): the
// wait for the head is the receive's on every WinHTTP, and WinHttpReceiveResponse still starts
// only after the send completed.
bool EndsWhenRequestWritten(AsyncCall call);

// Wine's WinHTTP reports a connection that closes before the length the head announced as the
// end of the body. An end (count 0) while the body is short is therefore the connection error
// it is (12030), instead of a short body taken as whole.
bool EndsBeforeAnnouncedLength(const BodyAccount& body, uint32_t count);

// Whether WinHTTP gives the head's bytes as received (WINHTTP_QUERY_FLAG_WIRE_ENCODING).
// Decided once per process: by WINHTTP_OPTION_FEATURE_SUPPORTED where WinHTTP answers that
// option, otherwise by the first raw-head query that tries the flag, whose answer
// RecordWireEncodingAnswer takes (87: not supported, so later heads skip the attempt).
bool IsWireEncodingAvailable(HINTERNET request);
void RecordWireEncodingAnswer(uint32_t error);

// Wine 8 refuses WINHTTP_QUERY_FLAG_WIRE_ENCODING (87), so the head's bytes as received are not
// to be had there. WinHTTP's own text of the head takes their place: widened with the ANSI code
// page or byte for byte, it is decoded back by DecodeHeaderText (header_text.h). Fetched by
// WinHTTP's two-call protocol; empty when there is no head. False on failure, with the thread's
// last error set, as for a WinHTTP call.
bool FetchWidenedHead(HINTERNET handle, WideString& text);

// Wine 8 hands out a head that the connection cut short, or that never ended, as a whole one; a
// whole head ends with its blank line there. True for such a head under Wine, which is then an
// invalid response. Windows promises no blank line at the end of WinHTTP's text, so elsewhere
// this is always false.
bool IsHeadCutShort(WideStringView text);

}  // namespace ksrn::net::winhttp
