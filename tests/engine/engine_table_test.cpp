#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/http_engine.h"
#include "engine_harness.h"
#include "fake_http_ops.h"
#include "platform/win32_errors.h"

namespace ksrn {
namespace {

RequestRef NewRequest(int32_t timeoutMs = 10000) {
  auto request = std::make_shared<HttpRequest>();
  request->url.host = KSRN_WIDE("api.kraken.com");
  request->url.pathAndQuery = KSRN_WIDE("/");
  request->method = KSRN_WIDE("GET");
  request->timeoutMs = timeoutMs;
  return request;
}

class EngineTableTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  int32_t Submit(const RequestRef& request, uint32_t expectedError = kErrorSuccess) {
    uint32_t error = 0xFFFFFFFF;
    const int32_t id = engine->Submit(request, error);
    EXPECT_EQ(error, expectedError);
    return id;
  }

  RequestIdAllocator allocator;
  std::unique_ptr<HttpEngine> engine = std::make_unique<HttpEngine>(allocator);
};

TEST_F(EngineTableTest, IdsRiseFromOneAndContinueAcrossEngines) {
  EXPECT_EQ(Submit(NewRequest()), 1);
  EXPECT_EQ(Submit(NewRequest()), 2);
  EXPECT_EQ(Submit(NewRequest()), 3);
  engine->Stop();
  engine = std::make_unique<HttpEngine>(allocator);
  EXPECT_EQ(Submit(NewRequest()), 4);
  EXPECT_EQ(engine->Find(1), nullptr);
}

TEST_F(EngineTableTest, SubmissionRecordsIdAndDeadlineOnTheSteadyClock) {
  auto request = NewRequest(1234);
  const SteadyTime before = SteadyNow();
  const int32_t id = Submit(request);
  const SteadyTime after = SteadyNow();
  EXPECT_EQ(request->id, id);
  EXPECT_GE(request->deadline, before + 1234 * kNanosecondsPerMillisecond);
  EXPECT_LE(request->deadline, after + 1234 * kNanosecondsPerMillisecond);
  EXPECT_EQ(engine->Find(id), request);
}

TEST_F(EngineTableTest, TableRefusesThe33rdRequestWhateverTheStates) {
  // Half finish at once; the other half block in their transfers or wait in the queue.
  fake::Script(KSRN_WIDE("/block"), test::Blocking());
  std::vector<RequestRef> held;
  for (size_t i = 0; i < kMaxRequests / 2; ++i) {
    held.push_back(NewRequest());
    ASSERT_NE(Submit(held.back()), 0);
  }
  // Finished requests still occupy their places until freed.
  ASSERT_TRUE(test::WaitUntil([&] { return engine->PendingCount() == 0; }));
  for (size_t i = kMaxRequests / 2; i < kMaxRequests; ++i) {
    held.push_back(NewRequest());
    held.back()->url.pathAndQuery = KSRN_WIDE("/block");
    ASSERT_NE(Submit(held.back()), 0);
  }
  auto refused = NewRequest();
  EXPECT_EQ(Submit(refused, kErrorNotEnoughQuota), 0);
  EXPECT_EQ(refused->id, 0);
  EXPECT_EQ(refused->deadline, 0);
  // A refused submission consumes no id.
  engine->Stop();
  engine = std::make_unique<HttpEngine>(allocator);
  EXPECT_EQ(Submit(NewRequest()), static_cast<int32_t>(kMaxRequests) + 1);
}

TEST_F(EngineTableTest, LastIdIsHandedOutOnceThenIdsAreExhaustedForGood) {
  fake::ScriptDefault(test::Blocking());
  allocator.nextId.store(0x7FFFFFFF);
  EXPECT_EQ(Submit(NewRequest()), 0x7FFFFFFF);
  for (int i = 0; i < 3; ++i) {
    auto request = NewRequest();
    EXPECT_EQ(Submit(request, kErrorNoMoreItems), 0);
    EXPECT_EQ(request->id, 0);
  }
  EXPECT_EQ(engine->PendingCount(), 1);
}

TEST_F(EngineTableTest, EmptyRecordIsRefusedWithInvalidParameter) {
  EXPECT_EQ(Submit(nullptr, kErrorInvalidParameter), 0);
  EXPECT_EQ(allocator.nextId.load(), 1u);
}

TEST_F(EngineTableTest, SubmissionAfterStopIsAborted) {
  engine->Stop();
  auto request = NewRequest();
  EXPECT_EQ(Submit(request, kErrorOperationAborted), 0);
  EXPECT_EQ(request->id, 0);
}

// The table's node is the one allocation of a submission: when it fails, the record is not
// registered, keeps no id, and the next submission goes through.
TEST_F(EngineTableTest, SubmissionOutOfMemoryLeavesTheTableUnchanged) {
  const RequestRef refused = NewRequest();
  test::FailNthAllocationOnThisThread(1);
  EXPECT_EQ(Submit(refused, kErrorNotEnoughMemory), 0);
  test::FailNthAllocationOnThisThread(0);
  EXPECT_EQ(refused->id, 0);
  EXPECT_EQ(engine->PendingCount(), 0);

  const RequestRef accepted = NewRequest();
  const int32_t id = Submit(accepted);
  EXPECT_NE(id, 0);
  EXPECT_EQ(engine->Find(id), accepted);
}

TEST_F(EngineTableTest, FindReturnsNothingForZeroNegativeAndUnknownIds) {
  const int32_t id = Submit(NewRequest());
  for (int32_t unknown : {0, -1, -2147483647 - 1, id + 1, 0x7FFFFFFF}) {
    EXPECT_EQ(engine->Find(unknown), nullptr) << unknown;
  }
  EXPECT_NE(engine->Find(id), nullptr);
}

TEST_F(EngineTableTest, PendingCountIgnoresDoneRecords) {
  // Four transfers block and the fifth waits in the queue: nothing is Done yet.
  fake::ScriptDefault(test::Blocking());
  std::vector<RequestRef> held;
  for (int i = 0; i < 5; ++i) {
    held.push_back(NewRequest());
    Submit(held.back());
  }
  EXPECT_EQ(engine->PendingCount(), 5);
  engine->Cancel(held[1]->id);
  engine->Cancel(held[3]->id);
  EXPECT_TRUE(test::WaitUntil([&] { return engine->PendingCount() == 3; }));
  fake::Release(/*sticky=*/true);
  EXPECT_TRUE(test::WaitUntil([&] { return engine->PendingCount() == 0; }));
  EXPECT_EQ(engine->Find(held[0]->id), held[0]) << "finished records stay in the table";
}

}  // namespace
}  // namespace ksrn
