// Several host threads drive one engine at random against a fake with delays, failures, faults
// and transfers that only a cancel or a deadline ends; then the books must balance.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "engine_harness.h"

namespace ksrn {
namespace {

using namespace std::chrono_literals;

constexpr int kHostThreads = 3;
constexpr int kOperationsPerThread = 3000;
const int kKrakenHost = ExchangeHostIndex(KSRN_WIDE("api.kraken.com"));

// What a host saw the first time it found a record ready; a second publication would change it.
struct Outcome {
  uint32_t error = 0;
  uint32_t statusCode = 0;
  size_t bodyBytes = 0;
  size_t headerBytes = 0;
  bool operator==(const Outcome&) const = default;
};

Outcome Read(HttpRequest& request) {
  std::lock_guard lock(request.resultMutex);
  return {request.result.error, request.result.statusCode, request.result.body.size(),
          request.result.headers.size()};
}

void ScriptExchanges() {
  fake::Exchange failing;
  failing.failAt = fake::Step::Send;
  failing.failError = kErrorWinhttpConnectionError;
  fake::Exchange slow = test::WithBody(3000, 40);
  slow.delay = 2ms;
  fake::Exchange slower = test::WithBody(10, 0, 503);
  slower.delay = 20ms;
  fake::Exchange faulty;
  faulty.throwAt = fake::Step::QueryStatus;
  fake::Script(KSRN_WIDE("/ok"), test::WithBody(500, 60));
  fake::Script(KSRN_WIDE("/big"), test::WithBody(64 * 1024, 100));
  fake::Script(KSRN_WIDE("/fail"), failing);
  fake::Script(KSRN_WIDE("/slow"), slow);
  fake::Script(KSRN_WIDE("/slower"), slower);
  fake::Script(KSRN_WIDE("/fault"), faulty);
  fake::Script(KSRN_WIDE("/block"), test::Blocking());
}

class Hosts {
 public:
  Hosts(HttpEngine& engine, uint32_t seed) : engine(engine), seed(seed) {}

  void Run(int index, int operations) {
    std::mt19937 random(seed + static_cast<uint32_t>(index));
    static const char* const kPaths[] = {"/ok",     "/big",   "/fail", "/slow",
                                         "/slower", "/fault", "/block"};
    static const int32_t kTimeoutsMs[] = {250, 300, 500, 60000};
    for (int i = 0; i < operations; ++i) {
      const int choice = static_cast<int>(random() % 10000);
      if (choice < 3000) {
        RequestRef request =
            test::MakeRequest(kPaths[random() % std::size(kPaths)], kTimeoutsMs[random() % 4]);
        uint32_t error = 0;
        if (engine.Submit(request, error) != 0) {
          std::lock_guard lock(mutex);
          submitted.push_back(request);
        } else {
          EXPECT_TRUE(error == kErrorNotEnoughQuota ||
                      (error == kErrorOperationAborted && stopRequested.load()))
              << error;
        }
      } else if (choice < 5500) {
        if (RequestRef request = engine.Find(PickId(random)); request && request->ready.load()) {
          Observe(request);
        }
      } else if (choice < 8000) {
        // Hosts mostly free what they have read; now and then something still running.
        const RequestRef request = engine.Find(PickId(random));
        if (request && (request->ready.load() || random() % 10 == 0)) {
          engine.Free(request->id);
        }
      } else if (choice < 8200) {
        engine.Cancel(PickId(random));
      } else if (choice < 8202) {
        EXPECT_GE(engine.CancelAll(), 0);
      } else if (choice < 9500) {
        const int32_t pending = engine.PendingCount();
        EXPECT_TRUE(pending >= 0 && pending <= static_cast<int32_t>(kMaxRequests));
      } else if (choice < 9750) {
        EXPECT_TRUE(engine.SetThrottleMs(static_cast<int32_t>(random() % 3)));
      } else {
        static const int32_t kUnits[] = {0, 2, 20};
        engine.SetHostBudget(kKrakenHost, kUnits[random() % 3], 50 + 150 * (random() % 2));
      }
      if (random() % 3 == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
      }
    }
  }

  // Checks that every record was published once and kept its first observed outcome, and, while
  // the engine runs, that its charge matches what it holds.
  void CheckOutcomes(bool engineRunning) {
    for (const RequestRef& request : submitted) {
      ASSERT_TRUE(request->ready.load()) << request->id;
      EXPECT_EQ(request->state.load(), RequestState::Done);
      const Outcome outcome = Read(*request);
      const auto seen = observed.find(request.get());
      if (seen != observed.end()) {
        EXPECT_EQ(seen->second, outcome) << request->id;
      }
      const uint32_t kExpected[] = {kErrorSuccess,        kErrorOperationAborted,
                                    kErrorWinhttpTimeout, kErrorWinhttpConnectionError,
                                    kErrorGenFailure,     kErrorNotEnoughMemory,
                                    kErrorRetry};
      EXPECT_NE(std::find(std::begin(kExpected), std::end(kExpected), outcome.error),
                std::end(kExpected))
          << outcome.error;
      if (!engineRunning) {
        continue;
      }
      // Records in the table are charged what they hold; freed ones gave their charge back.
      const bool inTable = engine.Find(request->id) == request;
      std::lock_guard lock(request->resultMutex);
      const uint64_t held = request->result.body.size() + request->result.headers.size();
      EXPECT_EQ(request->chargedBytes, inTable ? held : 0u) << request->id;
    }
  }

  std::vector<RequestRef> submitted;
  std::atomic<bool> stopRequested{false};

 private:
  int32_t PickId(std::mt19937& random) {
    std::lock_guard lock(mutex);
    if (submitted.empty()) {
      return 0;
    }
    // Mostly recent ids, which are likely still in the table.
    const size_t back = std::min<size_t>(submitted.size(), 64);
    return submitted[submitted.size() - 1 - random() % back]->id;
  }

  void Observe(const RequestRef& request) {
    const Outcome outcome = Read(*request);
    std::lock_guard lock(mutex);
    const auto [entry, inserted] = observed.emplace(request.get(), outcome);
    EXPECT_TRUE(inserted || entry->second == outcome) << request->id;
  }

  HttpEngine& engine;
  const uint32_t seed;
  std::mutex mutex;
  std::map<const HttpRequest*, Outcome> observed;
};

class StressTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ScriptExchanges();
    hosts = std::make_unique<Hosts>(*engine, seed);
  }

  void StartHosts(int operations) {
    for (int i = 0; i < kHostThreads; ++i) {
      threads.emplace_back([this, i, operations] { hosts->Run(i, operations); });
    }
  }

  void JoinHosts() {
    for (std::thread& thread : threads) {
      thread.join();
    }
  }

  // No reference is kept anywhere once the engine and the hosts let go.
  void ExpectNoRecordOutlivesItsHolders() {
    std::vector<std::weak_ptr<HttpRequest>> weak(hosts->submitted.begin(), hosts->submitted.end());
    engine.reset();
    hosts->submitted.clear();
    for (const auto& record : weak) {
      EXPECT_TRUE(record.expired());
    }
  }

  const uint32_t seed = std::random_device{}();
  std::unique_ptr<Hosts> hosts;
  std::vector<std::thread> threads;
};

TEST_F(StressTest, RandomHostOperationsKeepTheBooks) {
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  StartHosts(kOperationsPerThread);
  JoinHosts();
  // Blocked transfers end only by a cancel or their deadline.
  engine->CancelAll();
  ASSERT_TRUE(test::WaitUntil([&] { return engine->PendingCount() == 0; }));
  EXPECT_EQ(EngineProbe::ResultBytes(*engine), EngineProbe::ChargesInTable(*engine));
  EXPECT_LE(EngineProbe::ResultBytes(*engine), kMaxResultBytes);
  hosts->CheckOutcomes(/*engineRunning=*/true);
  EXPECT_GT(hosts->submitted.size(), 100u);
  // Every unit reserved or in flight was given back or landed: a period later all are free.
  engine->SetHostBudget(kKrakenHost, 1000, 1);
  EXPECT_TRUE(test::WaitUntil([&] { return engine->HostUnitsLeft(kKrakenHost) == 1000; }));
  ExpectNoRecordOutlivesItsHolders();
}

TEST_F(StressTest, StopWhileHostsAreBusyPublishesEverything) {
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  StartHosts(kOperationsPerThread / 3);
  std::this_thread::sleep_for(300ms);
  hosts->stopRequested = true;
  engine->Stop();
  JoinHosts();
  EXPECT_EQ(engine->PendingCount(), 0);
  hosts->CheckOutcomes(/*engineRunning=*/false);
  ExpectNoRecordOutlivesItsHolders();
}

}  // namespace
}  // namespace ksrn
