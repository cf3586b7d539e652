// The named shared region: what it refuses, that its openers share one set of bytes, and what a
// holder's death leaves behind.
#include "platform/shared_region.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/host_budgets.h"
#include "platform/win32_errors.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace ksrn {
namespace {

// A name of this run's own. Linux objects outlive their processes, so it is removed at the end.
struct RegionName {
#if defined(_WIN32)
  explicit RegionName(const char* tag)
      : name("test-" + std::to_string(GetCurrentProcessId()) + "-" + tag) {}
#else
  explicit RegionName(const char* tag) : name("test-" + std::to_string(getpid()) + "-" + tag) {}
  ~RegionName() { shm_unlink(Path().c_str()); }
  std::string Path() const { return "/kestrune-" + std::to_string(geteuid()) + "-" + name; }
#endif
  const std::string name;
};

#if !defined(_WIN32)
// An object under the region's name, empty, as another process may have left it.
void Premake(const RegionName& region, mode_t mode, uid_t owner) {
  const int fd = shm_open(region.Path().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fchmod(fd, mode), 0);
  EXPECT_EQ(fchown(fd, owner, static_cast<gid_t>(-1)), 0);
  close(fd);
}
#endif

TEST(SharedRegionTest, RefusesRegionsItCannotTrust) {
  RegionName made("made");
  uint32_t error = 0;
  const auto region = SharedRegion::Open(made.name, 128, 1, error);
  ASSERT_NE(region, nullptr) << error;
  struct Case {
    std::string what;
    std::string name;
    size_t bytes;
    uint32_t version;
    uint32_t error;
  };
  std::vector<Case> cases = {
      {"another size", made.name, 256, 1, kErrorRevisionMismatch},
      {"another version", made.name, 128, 2, kErrorRevisionMismatch},
  };
#if !defined(_WIN32)
  // Objects of our name that are not ours alone: readable by others, and (as root) another user's.
  RegionName open("open"), foreign("foreign");
  Premake(open, 0644, geteuid());
  cases.push_back({"mode 0644", open.name, 128, 1, kErrorAccessDenied});
  if (geteuid() == 0) {
    Premake(foreign, 0600, 65534);
    cases.push_back({"owned by uid 65534", foreign.name, 128, 1, kErrorAccessDenied});
  }
#endif
  for (const Case& c : cases) {
    error = 0;
    EXPECT_EQ(SharedRegion::Open(c.name, c.bytes, c.version, error), nullptr) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
  }
}

TEST(SharedRegionTest, OpenersOfOneNameShareOneZeroFilledRegion) {
  RegionName shared("shared");
#if !defined(_WIN32)
  Premake(shared, 0600, geteuid());  // as a maker killed before it sized the object leaves it
#endif
  constexpr size_t kBytes = 5000;
  std::unique_ptr<SharedRegion> regions[4];
  uint32_t errors[4] = {};
  {
    std::vector<std::thread> openers;
    for (int i = 0; i < 4; ++i) {
      openers.emplace_back(
          [&, i] { regions[i] = SharedRegion::Open(shared.name, kBytes, 7, errors[i]); });
    }
    for (std::thread& opener : openers) opener.join();
  }
  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(regions[i], nullptr) << errors[i];
    EXPECT_EQ(reinterpret_cast<uintptr_t>(regions[i]->Data()) % 64, 0u);
  }
  auto* first = static_cast<unsigned char*>(regions[0]->Data());
  EXPECT_EQ(std::count(first, first + kBytes, 0), static_cast<std::ptrdiff_t>(kBytes));
  first[kBytes - 1] = 0x5A;
  for (const auto& region : regions) {
    EXPECT_EQ(static_cast<unsigned char*>(region->Data())[kBytes - 1], 0x5A);
  }
}

// Linux: a child process takes the lock and is killed holding it. Windows: a thread that ends
// holding the named mutex abandons it exactly as a killed process does, and Wine 8 reports
// that as WAIT_ABANDONED too; a child process would need a program of its own.
TEST(SharedRegionTest, AHolderThatDiesLeavesTheLockAndItsDataToTheNext) {
  RegionName died("died");
  uint32_t error = 0;
  const auto region = SharedRegion::Open(died.name, sizeof(uint32_t), 1, error);
  ASSERT_NE(region, nullptr) << error;
  auto* value = static_cast<uint32_t*>(region->Data());
#if defined(_WIN32)
  std::thread([&] {
    region->Lock();
    *value = 42;
  }).join();
#else
  const pid_t child = fork();
  if (child == 0) {
    [&]() noexcept {  // the child never returns into the test runner
      region->Lock();
      *value = 42;
      raise(SIGKILL);
    }();
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
#endif
  // Opened after the death, which Open's own wait may have met: its first Lock still tells.
  const auto next = SharedRegion::Open(died.name, sizeof(uint32_t), 1, error);
  ASSERT_NE(next, nullptr) << error;
  EXPECT_TRUE(next->Lock());
  EXPECT_EQ(*static_cast<uint32_t*>(next->Data()), 42u);
  next->Unlock();
  EXPECT_FALSE(region->Lock());
  region->Unlock();
}

// Budgets shared by name, as two processes hold them: each its own table object over one region.
TEST(SharedRegionTest, TwoSharersOfABudgetStayWithinItTogether) {
  RegionName name("budgets");
  HostBudgets first;
  HostBudgets second;
  first.Set(0, 3, 60000);
  ASSERT_EQ(first.Share(name.name), kErrorSuccess) << "a budget set before sharing is shared";
  ASSERT_EQ(second.Share(name.name), kErrorSuccess);
  EXPECT_EQ(second.Units(0), 3);
  const SteadyTime now = SteadyNow();
  int granted = 0;
  for (int i = 0; i < 10; ++i) {
    HostBudgets& sharer = i % 2 == 0 ? first : second;
    SteadyTime retryAt = 0;
    int flight = -1;
    if (sharer.Reserve(0, 1, now, retryAt) && sharer.Take(0, 1, now, now, flight, retryAt)) {
      ++granted;
      sharer.Land(0, flight, 1, now);
    }
  }
  EXPECT_EQ(granted, 3);
  ASSERT_TRUE(second.Hold(0, now + 5000 * kNanosecondsPerMillisecond));
  EXPECT_GT(first.HoldLeftMs(0, now), 4000) << "a hold one meets holds both";
}

}  // namespace
}  // namespace ksrn
