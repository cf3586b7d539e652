#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/http_engine.h"
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
  std::vector<RequestRef> held;
  for (size_t i = 0; i < kMaxRequests; ++i) {
    held.push_back(NewRequest());
    ASSERT_NE(Submit(held.back()), 0);
  }
  // Finished requests still occupy their places until freed.
  for (size_t i = 0; i < held.size(); i += 2) {
    held[i]->state.store(RequestState::Done);
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

TEST_F(EngineTableTest, FindReturnsNothingForZeroNegativeAndUnknownIds) {
  const int32_t id = Submit(NewRequest());
  for (int32_t unknown : {0, -1, -2147483647 - 1, id + 1, 0x7FFFFFFF}) {
    EXPECT_EQ(engine->Find(unknown), nullptr) << unknown;
  }
  EXPECT_NE(engine->Find(id), nullptr);
}

TEST_F(EngineTableTest, PendingCountIgnoresDoneRecords) {
  std::vector<RequestRef> held;
  for (int i = 0; i < 5; ++i) {
    held.push_back(NewRequest());
    Submit(held.back());
  }
  EXPECT_EQ(engine->PendingCount(), 5);
  held[1]->state.store(RequestState::Done);
  held[3]->state.store(RequestState::Done);
  EXPECT_EQ(engine->PendingCount(), 3);
  for (auto& request : held) {
    request->state.store(RequestState::Done);
  }
  EXPECT_EQ(engine->PendingCount(), 0);
}

}  // namespace
}  // namespace ksrn
