// KSRN_Init over the fake operation set: the operation set's one-off preparation happens there,
// before the lifecycle lock, so that neither a transfer nor another export waits for it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "fake_http_ops.h"
#include "kestrune.h"

namespace ksrn {
namespace {

using namespace std::chrono_literals;

TEST(InitTest, PreparesTheOperationSetOutsideTheLifecycleLock) {
  fake::Reset();
  fake::Exchange prepareBlocks;
  prepareBlocks.blockAt = fake::Step::Prepare;
  fake::ScriptDefault(prepareBlocks);
  auto init = std::async(std::launch::async, [] { return KSRN_Init(KSRN_ABI_VERSION); });
  ASSERT_TRUE(fake::WaitForBlocked(1, 20s));
  auto shutdown = std::async(std::launch::async, [] { return KSRN_Shutdown(); });
  const bool shutdownReturned = shutdown.wait_for(20s) == std::future_status::ready;
  fake::Release();
  EXPECT_TRUE(shutdownReturned) << "KSRN_Shutdown waited for the preparation";
  EXPECT_EQ(init.get(), 1);
  EXPECT_EQ(fake::CallCount(fake::Step::Prepare), 1);
  EXPECT_EQ(KSRN_Shutdown(), 1);

  // Best effort: a failed preparation leaves it to the first transfer.
  fake::Reset();
  fake::Exchange prepareFails;
  prepareFails.failAt = fake::Step::Prepare;
  prepareFails.failError = KSRN_ERROR_WINHTTP_INTERNAL_ERROR;
  fake::ScriptDefault(prepareFails);
  EXPECT_EQ(KSRN_Init(KSRN_ABI_VERSION), 1);
  EXPECT_EQ(KSRN_GetLastError(), 0u);
  EXPECT_EQ(fake::CallCount(fake::Step::Prepare), 1);
  EXPECT_EQ(KSRN_Shutdown(), 1);
}

}  // namespace
}  // namespace ksrn
