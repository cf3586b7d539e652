// The fake scripted to answer the contract's paths as the hermetic bench does: blocked waits
// end only when their handle is closed, failures carry the codes the bench's bad hosts cause.
#include "../bench_answers.h"

#include <string>

#include "fake_http_ops.h"

namespace ksrn::contract {
namespace {

using fake::Exchange;
using fake::Step;

Exchange Body(uint32_t statusCode, std::vector<uint8_t> body) {
  Exchange exchange;
  exchange.statusCode = statusCode;
  exchange.body = std::move(body);
  return exchange;
}

Exchange BlockedAt(Step step, int onCall, std::vector<uint8_t> body) {
  Exchange exchange = Body(200, std::move(body));
  exchange.blockAt = step;
  exchange.blockOnCall = onCall;
  return exchange;
}

}  // namespace

void PrepareOperationSet() {
  fake::Reset();
  fake::Script(kBodyPath, Body(200, Pattern(kBodyBytes)));
  fake::Script(kChunkedBodyPath, Body(200, Pattern(kBodyBytes)));
  fake::Script(kGzipPath, Body(200, Pattern(kEncodedBodyBytes)));
  fake::Script(kDeflatePath, Body(200, Pattern(kEncodedBodyBytes)));
  fake::Script(kNoContentPath, Body(204, {}));
  const std::string notFound = kNotFoundBody;
  fake::Script(kNotFoundPath, Body(404, std::vector<uint8_t>(notFound.begin(), notFound.end())));

  Exchange greeting = Body(200, {'o', 'k'});
  greeting.rawHeaders = WideString(KSRN_WIDE("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n")) +
                        kGreetingLine + KSRN_WIDE("\r\n");
  fake::Script(kUtf8HeaderPath, greeting);

  fake::Script(kSlowHeadPath, BlockedAt(Step::Receive, 1, {}));
  // One byte announced at a time; the wait for the second blocks.
  Exchange slowBody = BlockedAt(Step::QueryDataAvailable, 2, Pattern(2));
  slowBody.announceBytes = 1;
  fake::Script(kSlowBodyPath, slowBody);

  const WideString echoPath = kEchoQueryPath;
  const std::string requestLine =
      "GET " + std::string(echoPath.begin(), echoPath.end()) + " HTTP/1.1\r\n";
  fake::Script(kEchoQueryPath, Body(200, {requestLine.begin(), requestLine.end()}));
  fake::Script(kTls13OnlyPath, Body(200, {}));
  Exchange oldTls;
  oldTls.failAt = Step::Send;
  oldTls.failError = kErrorWinhttpSecureFailure;
  fake::Script(kTls11OnlyPath, oldTls);

  Exchange late;
  late.failAt = Step::Receive;
  late.failError = kErrorWinhttpTimeout;
  fake::Script(kLateHeadPath, late);

  for (const FailingHost& failing : kFailingHosts) {
    Exchange failure;
    failure.failAt = Step::Send;
    failure.failError = failing.error;
    fake::Script(failing.path, failure);
  }
}

}  // namespace ksrn::contract
