// A child forked from a process that used the library: it starts not initialised, whatever the
// parent's threads were doing at the fork, and can start an engine of its own; the parent goes on
// unaffected. Windows has no fork.
#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "export_test_support.h"

namespace ksrn::test {
namespace {

// ThreadSanitizer cannot follow a child of a threaded process that starts threads: it takes the
// child's first new thread for one of the parent's (same stack, same id) and ends the child.
// There the child stops before it starts an engine.
#if defined(__SANITIZE_THREAD__)
constexpr bool kChildMayStartThreads = false;
#else
constexpr bool kChildMayStartThreads = true;
#endif

// What the child checks: 0, or the number of the first step that failed.
int ChildChecks(int32_t parentId) {
  const KsrnApi& api = Api();
  int step = 0;
  for (const ExportCall& row : EngineCallsWithoutEngine(parentId)) {
    ++step;
    if (!(Answered(row.call()) == row.expected)) {
      return step;
    }
  }
  // Had the child kept the inherited engine, this would wait for threads that do not exist.
  if (!(Answered(api.Shutdown()) == Answer{1, 0})) {
    return 100;
  }
  if (!kChildMayStartThreads) {
    return 0;
  }
  if (!(Answered(api.Init(1)) == Answer{1, 0})) {
    return 101;
  }
  const int32_t id = api.Get(BenchUrl("www.okx.com", "/bytes/1").c_str(), kFinishMs);
  if (id == 0 || !WaitReady(id) || api.Succeeded(id) != 1) {
    return 102;
  }
  return api.Shutdown() == 1 ? 0 : 103;
}

// Forks a child that runs ChildChecks and returns its exit code; -1 for a child still running
// after three minutes (killed then), -2 when there is no child.
int RunForkedChild(int32_t parentId) {
  const pid_t child = fork();
  if (child == 0) {
    _exit(ChildChecks(parentId));
  }
  if (child < 0) {
    return -2;
  }
  for (int tick = 0; tick < 1800; ++tick) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
    KsrnSleepMs(100);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return -1;
}

TEST_F(ExportTest, ForkedChildStartsUninitialisedAndParentGoesOn) {
  const int32_t finished = HoldDispatch();
  const int32_t held = SubmitHeld();
  EXPECT_EQ(RunForkedChild(finished), 0);
  EXPECT_EQ(Answered(api.IsReady(held)), (Answer{0, 0})) << "the parent's engine kept its request";
  ASSERT_EQ(api.SetThrottleMs(0), 1);
  EXPECT_TRUE(WaitReady(held));
  EXPECT_EQ(api.Succeeded(held), 1);
}

// Forks while other threads submit, wait for completions, and shut the library down and start
// it again, so that forks land inside every export and during transfers.
TEST_F(ExportTest, ForkWhileOtherThreadsAreBusy) {
  constexpr int kForks = 30;
  std::atomic<bool> stop{false};
  std::atomic<int> succeeded{0};
  const Text url = BenchUrl("api.bybit.com", "/bytes/1");
  std::vector<std::thread> threads;
  for (int submitter = 0; submitter < 2; ++submitter) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        const int32_t id = api.Get(url.c_str(), kFinishMs);
        int32_t seen = api.WaitForCompletion(0, 0);
        while (id != 0 && api.IsReady(id) == 0 && api.GetLastError() == 0) {
          seen = api.WaitForCompletion(seen, 1000);
        }
        succeeded += api.Succeeded(id);
        api.Free(id);
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop.load()) {
      api.Shutdown();
      api.Init(1);
      KsrnSleepMs(30);
    }
  });
  for (int fork = 0; fork < kForks; ++fork) {
    EXPECT_EQ(RunForkedChild(0), 0) << "fork " << fork;
    KsrnSleepMs(10);
  }
  stop.store(true);
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_GT(succeeded.load(), 0);
  ASSERT_EQ(api.Init(1), 1);
  const int32_t id = api.Get(url.c_str(), kFinishMs);
  EXPECT_TRUE(WaitReady(id));
  EXPECT_EQ(api.Succeeded(id), 1);
}

}  // namespace
}  // namespace ksrn::test
#endif
