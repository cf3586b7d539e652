// Request records for the transfer tests against the hermetic bench, and what they check in a
// result: the bench's pattern bytes and ASCII texts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/http_download.h"
#include "engine/http_request.h"
#include "platform/wide_string.h"

namespace ksrn::test {

inline constexpr const WideChar* kGoodHost = KSRN_WIDE("api.kraken.com");

inline WideString Wide(std::string_view text) { return WideString(text.begin(), text.end()); }

inline std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The bench's body bytes: byte i is (i * 7 + 3) % 251.
inline std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>((i * 7 + 3) % 251);
  }
  return bytes;
}

inline bool IsPatternPrefix(const std::vector<uint8_t>& bytes) {
  return bytes == Pattern(bytes.size());
}

struct RequestPlan {
  RequestPlan(std::string path, std::string method = "GET", std::string headers = {},
              std::vector<uint8_t> body = {}, int32_t timeoutMs = 20000)
      : path(std::move(path)),
        method(std::move(method)),
        headers(std::move(headers)),
        body(std::move(body)),
        timeoutMs(timeoutMs) {}

  std::string path;
  std::string method;
  std::string headers;
  std::vector<uint8_t> body;
  int32_t timeoutMs;
  const WideChar* host = kGoodHost;
};

// A record as the submission call leaves it, with its deadline starting now.
inline std::shared_ptr<HttpRequest> MakeRequest(const RequestPlan& plan) {
  auto request = std::make_shared<HttpRequest>();
  request->url.host = plan.host;
  request->url.pathAndQuery = Wide(plan.path);
  request->method = Wide(plan.method);
  request->headers = Wide(plan.headers);
  request->body = plan.body;
  request->timeoutMs = plan.timeoutMs;
  request->deadline = SteadyNow() + plan.timeoutMs * kNanosecondsPerMillisecond;
  return request;
}

inline HttpResult Download(const RequestPlan& plan) {
  const auto request = MakeRequest(plan);
  return HttpDownload(*request, std::make_shared<net::WireTrace>());
}

}  // namespace ksrn::test
