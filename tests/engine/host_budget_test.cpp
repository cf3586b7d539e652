// Per-host budgets in the engine: a host out of units waits in the queue without holding up
// another host, its requests start in order and spaced by the budget, a request whose units
// cannot come in time ends at once, and an exchange's 429 or 418 holds the host.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine_harness.h"
#include "validate/exchange_hosts.h"

namespace ksrn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::ErrorOf;
using test::WaitReady;
using test::WaitUntil;

const int kKraken = ExchangeHostIndex(KSRN_WIDE("api.kraken.com"));

class HostBudgetTest : public EngineTest {
 protected:
  RequestRef SubmitTo(const WideChar* host, const std::string& path, int32_t timeoutMs) {
    RequestRef request = test::MakeRequest(path, timeoutMs);
    request->url.host = host;
    request->hostIndex = ExchangeHostIndex(host);
    uint32_t error = 0;
    EXPECT_NE(engine->Submit(request, error), 0);
    return request;
  }
  RequestRef Kraken(const std::string& path, int32_t timeoutMs = 60000) {
    return SubmitTo(KSRN_WIDE("api.kraken.com"), path, timeoutMs);
  }
};

TEST_F(HostBudgetTest, AHostOutOfUnitsWaitsAloneAndAHopelessRequestEndsAtOnce) {
  engine->SetHostBudget(kKraken, 2, 60000);
  ASSERT_TRUE(WaitReady(Kraken("/1")));
  ASSERT_TRUE(WaitReady(Kraken("/2")));
  RequestRef waiting = Kraken("/3");
  const RequestRef other = SubmitTo(KSRN_WIDE("api.binance.com"), "/other", 60000);
  ASSERT_TRUE(WaitReady(other)) << "another host is not held up";
  EXPECT_EQ(waiting->state.load(), RequestState::Queued) << "no running place is spent waiting";
  EXPECT_EQ(engine->HostUnitsLeft(kKraken), 0u);

  const auto before = Clock::now();
  const RequestRef hopeless = Kraken("/4", 1000);
  ASSERT_TRUE(WaitReady(hopeless));
  EXPECT_LT(Clock::now() - before, 900ms) << "ended at once, not at its deadline";
  EXPECT_EQ(ErrorOf(hopeless), kErrorRetry);
  EXPECT_EQ(hopeless->result.wire.delivery, Delivery::NotSent);

  engine->SetHostBudget(kKraken, 0, 0);
  ASSERT_TRUE(WaitReady(waiting)) << "removing the budget lets it go";
  EXPECT_EQ(ErrorOf(waiting), kErrorSuccess);
}

TEST_F(HostBudgetTest, AHostsRequestsStartInOrderSpacedByItsBudget) {
  engine->SetHostBudget(kKraken, 1, 300);
  std::vector<RequestRef> requests;
  for (const char* path : {"/a", "/b", "/c", "/d"}) {
    requests.push_back(Kraken(path));
  }
  for (const RequestRef& request : requests) {
    ASSERT_TRUE(WaitReady(request));
  }
  const std::vector<fake::SentRequest> sent = fake::SentRequests();
  const std::vector<Clock::time_point> starts = fake::OpenTimes();
  ASSERT_EQ(sent.size(), 4u) << ErrorOf(requests[0]) << " " << ErrorOf(requests[1]) << " "
                             << ErrorOf(requests[2]) << " " << ErrorOf(requests[3]);
  for (size_t i = 1; i < sent.size(); ++i) {
    EXPECT_LT(sent[i - 1].objectName, sent[i].objectName) << "submission order";
    EXPECT_GE(starts[i] - starts[i - 1], 300ms) << "one start per period";
  }
}

TEST_F(HostBudgetTest, AnExchangesRefusalHoldsTheHost) {
  struct Case {
    const char* name;
    uint32_t status;
    const char* retryAfter;  // null: none
    std::chrono::milliseconds held;
  } cases[] = {
      {"429 with Retry-After", 429, "2", 2000ms},
      {"418 without, one period", 418, nullptr, 1500ms},
      {"503 without, no hold", 503, nullptr, 0ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine = std::make_unique<HttpEngine>(allocator);
    fake::Reset();
    fake::Exchange answer;
    answer.statusCode = c.status;
    std::string head = "HTTP/1.1 " + std::to_string(c.status) + " No\r\n";
    if (c.retryAfter != nullptr) {
      head += std::string("Retry-After: ") + c.retryAfter + "\r\n";
    }
    answer.rawHeaders = test::Wide(head + "\r\n");
    fake::Script(KSRN_WIDE("/limited"), answer);
    engine->SetHostBudget(kKraken, 100, 1500);
    const auto before = Clock::now();
    ASSERT_TRUE(WaitReady(Kraken("/limited")));
    const int64_t holdMs = engine->HostHoldMs(kKraken);
    EXPECT_LE(holdMs, c.held.count());
    if (c.held == 0ms) {
      continue;
    }
    EXPECT_GT(holdMs, c.held.count() / 2);
    const RequestRef tooSoon = Kraken("/soon", 250);
    ASSERT_TRUE(WaitReady(tooSoon));
    EXPECT_EQ(ErrorOf(tooSoon), kErrorRetry);
    ASSERT_TRUE(WaitReady(Kraken("/later")));
    EXPECT_GE(fake::OpenTimes().back() - before, c.held) << "nothing starts during the hold";
  }
}

}  // namespace
}  // namespace ksrn
