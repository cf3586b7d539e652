// The rules of the shared sessions, on a clock and with sessions of the test's own: who shares,
// when an idle session closes, and that nothing closes under a request that still runs.
#include "net/winhttp/shared_sessions.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/win32_errors.h"

namespace ksrn::net::winhttp {
namespace {

using Use = std::shared_ptr<SharedSessions::Use>;

SteadyTime now = 0;
std::vector<SharedSessions::Session> closed;
uintptr_t opened = 0;

SteadyTime Clock() { return now; }
void Close(SharedSessions::Session session) { closed.push_back(session); }

class SharedSessionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    now = 0;
    closed.clear();
    sessions.SetIdleMs(1000);
  }

  Use Join(const wchar_t* host, uint16_t port = 443) {
    Use use;
    const uint32_t error = sessions.Join(
        {L"agent", host, port},
        [](uint32_t&) { return reinterpret_cast<SharedSessions::Session>(++opened); }, use);
    EXPECT_EQ(error, kErrorSuccess);
    return use;
  }

  static void Advance(int64_t ms) { now += ms * kNanosecondsPerMillisecond; }

  SharedSessions sessions{Close, Clock};
};

TEST_F(SharedSessionsTest, OneSessionPerHostAndPort) {
  Use first = Join(L"a.example");
  Use second = Join(L"a.example");
  EXPECT_EQ(first->Handle(), second->Handle());
  EXPECT_NE(Join(L"b.example")->Handle(), first->Handle());
  EXPECT_NE(Join(L"a.example", 8443)->Handle(), first->Handle());
  EXPECT_EQ(sessions.OpenCount(), 3u);
}

TEST_F(SharedSessionsTest, IdleSessionClosesOnlyWhenUnusedForTheSetting) {
  SharedSessions::Session kept;
  {
    Use use = Join(L"a.example");
    kept = use->Handle();
    Advance(5000);  // in use however long: never closed
    EXPECT_EQ(Join(L"a.example")->Handle(), kept);
  }
  Advance(999);
  EXPECT_EQ(Join(L"a.example")->Handle(), kept);
  Advance(1000);
  const Use fresh = Join(L"a.example");
  EXPECT_NE(fresh->Handle(), kept);
  EXPECT_EQ(closed, std::vector<SharedSessions::Session>{kept});
}

TEST_F(SharedSessionsTest, RetiredSessionTakesNoOneAndClosesWithItsLastRequest) {
  Use failed = Join(L"a.example");
  Use running = Join(L"a.example");
  const SharedSessions::Session retired = failed->Handle();
  failed->Retire();
  failed.reset();
  EXPECT_TRUE(closed.empty());
  EXPECT_NE(Join(L"a.example")->Handle(), retired);
  running.reset();
  EXPECT_EQ(closed, std::vector<SharedSessions::Session>{retired});
}

TEST_F(SharedSessionsTest, TurningOffClosesIdleSessionsNowAndOthersAtTheirEnd) {
  Join(L"a.example");
  Use running = Join(L"b.example");
  sessions.SetIdleMs(0);
  EXPECT_EQ(closed.size(), 1u);
  running.reset();
  EXPECT_EQ(closed.size(), 2u);
  EXPECT_EQ(sessions.OpenCount(), 0u);
}

TEST_F(SharedSessionsTest, FailedOpenLeavesNothing) {
  Use use;
  EXPECT_EQ(sessions.Join(
                {L"agent", L"a.example", 443},
                [](uint32_t& error) {
                  error = kErrorNotEnoughMemory;
                  return SharedSessions::Session{};
                },
                use),
            kErrorNotEnoughMemory);
  EXPECT_EQ(use, nullptr);
  EXPECT_EQ(sessions.OpenCount(), 0u);
}

}  // namespace
}  // namespace ksrn::net::winhttp
