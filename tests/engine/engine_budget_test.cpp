// The 64 MiB budget for response data held by finished records.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine_harness.h"

namespace ksrn {
namespace {

using test::ErrorOf;
using test::WaitReady;
using test::WaitUntil;

constexpr size_t kFourMiB = 4 * 1024 * 1024;

class BudgetTest : public EngineTest {
 protected:
  RequestRef Fetch(const std::string& path) {
    RequestRef request = Submit(path);
    EXPECT_TRUE(WaitReady(request));
    return request;
  }

  void ExpectBooksBalance() {
    EXPECT_EQ(EngineProbe::ResultBytes(*engine), EngineProbe::ChargesInTable(*engine));
  }
};

TEST_F(BudgetTest, ResultsFillTheBudgetExactlyThenDataIsRefused) {
  fake::Script(KSRN_WIDE("/4m"), test::WithBody(kFourMiB));
  fake::Script(KSRN_WIDE("/rest"), test::WithBody(kFourMiB - 100, 100));
  fake::Script(KSRN_WIDE("/one"), test::WithBody(1, 0, 201));
  fake::Script(KSRN_WIDE("/empty"), test::WithBody(0, 0, 204));

  std::vector<RequestRef> full;
  for (int i = 0; i < 15; ++i) {
    full.push_back(Fetch("/4m"));
  }
  full.push_back(Fetch("/rest"));
  for (const RequestRef& request : full) {
    EXPECT_EQ(ErrorOf(request), kErrorSuccess);
  }
  EXPECT_EQ(EngineProbe::ResultBytes(*engine), kMaxResultBytes) << "an exact fit is accepted";

  RequestRef refused = Fetch("/one");
  EXPECT_EQ(ErrorOf(refused), kErrorNotEnoughMemory);
  EXPECT_EQ(refused->result.statusCode, 201u);
  EXPECT_FALSE(refused->result.bodyComplete);
  EXPECT_TRUE(refused->result.body.empty());
  EXPECT_TRUE(refused->result.headers.empty());

  RequestRef empty = Fetch("/empty");
  EXPECT_EQ(ErrorOf(empty), kErrorSuccess);
  EXPECT_EQ(empty->result.statusCode, 204u);
  EXPECT_TRUE(empty->result.bodyComplete);
  EXPECT_EQ(EngineProbe::ResultBytes(*engine), kMaxResultBytes);
  ExpectBooksBalance();

  ASSERT_TRUE(engine->Free(full.front()->id));
  EXPECT_EQ(EngineProbe::ResultBytes(*engine), kMaxResultBytes - kFourMiB);
  RequestRef fits = Fetch("/one");
  EXPECT_EQ(ErrorOf(fits), kErrorSuccess);
  EXPECT_EQ(fits->result.body.size(), 1u);
  EXPECT_EQ(EngineProbe::ResultBytes(*engine), kMaxResultBytes - kFourMiB + 1);
  ExpectBooksBalance();
}

TEST_F(BudgetTest, RecordFreedWhileRunningChargesNothingAndStillGetsItsResult) {
  // The transfer blocks in its second body read, holding a status, headers and 64 KiB.
  fake::Exchange exchange = test::WithBody(1024 * 1024, 50);
  exchange.announceBytes = 64 * 1024;
  exchange.blockAt = fake::Step::ReadData;
  exchange.blockOnCall = 2;
  fake::ScriptDefault(exchange);

  RequestRef request = Submit();
  ASSERT_TRUE(fake::WaitForBlocked(1, test::kLongWait));
  EXPECT_TRUE(engine->Free(request->id));
  EXPECT_EQ(engine->Find(request->id), nullptr);
  ASSERT_TRUE(WaitReady(request));
  EXPECT_EQ(ErrorOf(request), kErrorOperationAborted);
  EXPECT_EQ(request->result.statusCode, 200u);
  EXPECT_EQ(request->result.headers.size(), 50u);
  EXPECT_EQ(request->result.body.size(), 64u * 1024);
  EXPECT_EQ(request->chargedBytes, 0u);
  EXPECT_EQ(EngineProbe::ResultBytes(*engine), 0u);

  // Its worker lets go of it once published: nothing keeps it alive but this test.
  const std::weak_ptr<HttpRequest> weak = request;
  request.reset();
  EXPECT_TRUE(WaitUntil([&] { return weak.expired(); }));
}

}  // namespace
}  // namespace ksrn
