// Per-host budgets through the exports: the arguments each call refuses, a weight above the
// budget, and an exchange's 429 with Retry-After holding its host.
#include "export_test_support.h"

namespace ksrn::test {
namespace {

const KSRN_CHAR* const kHost = KSRN_TEXT("api.kucoin.com");

TEST_F(ExportTest, BudgetCallsRefuseBadArguments) {
  const struct {
    const char* name;
    std::function<int64_t()> call;
    Answer expected;
  } cases[] = {
      {"units above the most", [&] { return api.SetHostBudget(kHost, 1000001, 1000); }, {0, 87}},
      {"negative units", [&] { return api.SetHostBudget(kHost, -1, 1000); }, {0, 87}},
      {"period 0", [&] { return api.SetHostBudget(kHost, 5, 0); }, {0, 87}},
      {"period above an hour", [&] { return api.SetHostBudget(kHost, 5, 3600001); }, {0, 87}},
      {"null host", [&] { return api.SetHostBudget(nullptr, 5, 1000); }, {0, 87}},
      {"not a host name",
       [&] { return api.SetHostBudget(KSRN_TEXT("api kucoin"), 5, 1000); },
       {0, 123}},
      {"empty host", [&] { return api.SetHostBudget(KSRN_TEXT(""), 5, 1000); }, {0, 123}},
      {"another host",
       [&] { return api.SetHostBudget(KSRN_TEXT("example.com"), 5, 1000); },
       {0, 5}},
      {"removing no budget", [&] { return api.SetHostBudget(kHost, 0, 0); }, {1, 0}},
      {"units left without a budget", [&] { return api.GetHostUnitsLeft(kHost); }, {0, 1168}},
      {"hold of an unheld host",
       [&] { return api.GetHostHoldMs(KSRN_TEXT("API.KUCOIN.COM")); },
       {0, 0}},
      {"hold, null host", [&] { return api.GetHostHoldMs(nullptr); }, {0, 87}},
      {"share, null name", [&] { return api.ShareBudgets(nullptr); }, {0, 87}},
      {"share, empty name", [&] { return api.ShareBudgets(KSRN_TEXT("")); }, {0, 87}},
      {"share, a slash", [&] { return api.ShareBudgets(KSRN_TEXT("a/b")); }, {0, 87}},
      {"share, 65 characters",
       [&] { return api.ShareBudgets(Widen(std::string(65, 'a')).c_str()); },
       {0, 87}},
      {"weight 0",
       [&] {
         return api.RequestWeighted(BenchUrl("api.kucoin.com", "/").c_str(), nullptr, nullptr,
                                    nullptr, 0, 0, 0);
       },
       {0, 87}},
      {"weight above the most",
       [&] {
         return api.RequestWeighted(BenchUrl("api.kucoin.com", "/").c_str(), nullptr, nullptr,
                                    nullptr, 0, 0, 1000001);
       },
       {0, 87}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Answered(c.call()), c.expected) << c.name;
  }
}

TEST_F(ExportTest, ARetryAfterHoldsABudgetedHostAndAWeightMustFitItsBudget) {
  ASSERT_EQ(Answered(api.SetHostBudget(kHost, 10, 60000)), (Answer{1, 0}));
  EXPECT_EQ(Answered(api.GetHostUnitsLeft(kHost)), (Answer{10, 0}));
  EXPECT_EQ(Answered(api.RequestWeighted(BenchUrl("api.kucoin.com", "/bytes/1").c_str(), nullptr,
                                         nullptr, nullptr, 0, 0, 11)),
            (Answer{0, 87}));
  const int32_t limited =
      api.RequestWeighted(BenchUrl("api.kucoin.com", "/retry-after/429/5").c_str(), nullptr,
                          nullptr, nullptr, 0, kFinishMs, 3);
  ASSERT_TRUE(WaitReady(limited));
  EXPECT_EQ(api.GetStatusCode(limited), 429);
  const int32_t holdMs = api.GetHostHoldMs(kHost);
  EXPECT_GT(holdMs, 1000);
  EXPECT_LE(holdMs, 5000);
  EXPECT_EQ(Answered(api.GetHostUnitsLeft(kHost)), (Answer{0, 0})) << "held";
  const int32_t tooSoon = api.Get(BenchUrl("api.kucoin.com", "/bytes/1").c_str(), 1000);
  ASSERT_TRUE(WaitReady(tooSoon, 900ms)) << "refused at once, not at its deadline";
  EXPECT_EQ(api.GetRequestError(tooSoon), 1237u);
  EXPECT_EQ(api.GetDelivery(tooSoon), KSRN_DELIVERY_NOT_SENT);
  const int32_t other = api.Get(BenchUrl("api.binance.com", "/bytes/1").c_str(), kFinishMs);
  ASSERT_TRUE(WaitReady(other));
  EXPECT_EQ(api.Succeeded(other), 1) << "other hosts are not held";
}

}  // namespace
}  // namespace ksrn::test
