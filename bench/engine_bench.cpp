// Engine benchmarks over the fake operation set. The Google Benchmark table covers the table
// operations; the scenarios (watchdog lateness, throttle spacing, Stop) collect their own
// samples. The run ends with one line per figure, next to its target.
#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "engine/http_engine.h"
#include "fake_http_ops.h"

namespace ksrn {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kQueued = static_cast<int>(kMaxRequests) - kWorkerCount;

double Micros(Clock::duration duration) {
  return std::chrono::duration<double, std::micro>(duration).count();
}

double Percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) {
    return 0;
  }
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1));
  return samples[index];
}

struct Samples {
  std::vector<double> submitUs;
  std::vector<double> findNs;
  std::vector<double> pendingNs;
  std::vector<double> watchdogLateMs;
  std::vector<double> throttleErrorMs;
  std::vector<double> stopMs;
  std::vector<double> wireReportNs;
  std::vector<double> budgetStartNs;
  double queueGrowthMiB = 0;
  double idleCpuMs = 0;
  double timerCpuMs = 0;
};

Samples& Collected() {
  static Samples samples;
  return samples;
}

RequestRef MakeRequest(int32_t timeoutMs, const WideChar* path = KSRN_WIDE("/")) {
  auto request = std::make_shared<HttpRequest>();
  request->url.host = KSRN_WIDE("api.kraken.com");
  request->url.pathAndQuery = path;
  request->method = KSRN_WIDE("GET");
  request->timeoutMs = timeoutMs;
  return request;
}

int32_t SubmitOrDie(HttpEngine& engine, const RequestRef& request) {
  uint32_t error = 0;
  const int32_t id = engine.Submit(request, error);
  if (id == 0) {
    std::fprintf(stderr, "submit failed with %u\n", error);
    std::abort();
  }
  return id;
}

void WaitAllReady(const std::vector<RequestRef>& requests) {
  for (const RequestRef& request : requests) {
    while (!request->ready.load()) {
      std::this_thread::sleep_for(100us);
    }
  }
}

// Fills the four workers with transfers that block until released or cancelled.
std::vector<RequestRef> OccupyWorkers(HttpEngine& engine) {
  fake::Exchange blocking;
  blocking.blockAt = fake::Step::Receive;
  fake::Script(KSRN_WIDE("/block"), blocking);
  std::vector<RequestRef> busy;
  for (int i = 0; i < kWorkerCount; ++i) {
    busy.push_back(MakeRequest(120000, KSRN_WIDE("/block")));
    SubmitOrDie(engine, busy.back());
  }
  if (!fake::WaitForBlocked(kWorkerCount, 20s)) {
    std::fprintf(stderr, "workers did not block\n");
    std::abort();
  }
  return busy;
}

// Submit with transfers running beside it (the fake answers at once); each call is timed alone.
void BM_Submit(benchmark::State& state) {
  fake::Reset();
  RequestIdAllocator allocator;
  HttpEngine engine(allocator);
  std::vector<int32_t> ids;
  for (auto _ : state) {
    RequestRef request = MakeRequest(60000);
    uint32_t error = 0;
    const auto start = Clock::now();
    const int32_t id = engine.Submit(request, error);
    const auto elapsed = Clock::now() - start;
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    Collected().submitUs.push_back(Micros(elapsed));
    ids.push_back(id);
    if (ids.size() == kMaxRequests) {
      for (int32_t freed : ids) {
        engine.Free(freed);
      }
      ids.clear();
    }
  }
}
BENCHMARK(BM_Submit)->UseManualTime()->MinTime(0.5);

// Lookups and counting in a full table of finished records, timed in batches of 32.
template <bool kFind>
void BM_Lookup(benchmark::State& state) {
  fake::Reset();
  RequestIdAllocator allocator;
  HttpEngine engine(allocator);
  std::vector<RequestRef> requests;
  std::vector<int32_t> ids;
  for (size_t i = 0; i < kMaxRequests; ++i) {
    requests.push_back(MakeRequest(60000));
    ids.push_back(SubmitOrDie(engine, requests.back()));
  }
  WaitAllReady(requests);
  std::vector<double>& samples = kFind ? Collected().findNs : Collected().pendingNs;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int32_t id : ids) {
      if constexpr (kFind) {
        benchmark::DoNotOptimize(engine.Find(id));
      } else {
        benchmark::DoNotOptimize(engine.PendingCount());
      }
    }
    samples.push_back(Micros(Clock::now() - start) * 1000 / static_cast<double>(ids.size()));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(ids.size()));
}
BENCHMARK_TEMPLATE(BM_Lookup, true)->Name("BM_Find")->MinTime(0.5);
BENCHMARK_TEMPLATE(BM_Lookup, false)->Name("BM_PendingCount")->MinTime(0.5);

// What recording the wire costs one request beyond the transfer: its trace, every stamp the
// operation set makes (marks and address), the report gathered from it and finished at
// publication, timed in batches of 32.
void BM_WireReport(benchmark::State& state) {
  for (auto _ : state) {
    const auto start = Clock::now();
    for (size_t i = 0; i < kMaxRequests; ++i) {
      auto trace = std::make_shared<net::WireTrace>();
      for (std::atomic<SteadyTime>* mark :
           {&trace->resolvedAt, &trace->connectedAt, &trace->securedAt, &trace->sentAt,
            &trace->firstByteAt}) {
        net::WireTrace::Stamp(*mark);
      }
      trace->requestMayBeWritten.store(true);
      trace->answered.store(true);
      trace->SetRemoteAddress(KSRN_WIDE("203.0.113.7"));
      WireReport report = WireReport::FromTrace(*trace, SteadyNow());
      report.Finish(1, SteadyNow());
      benchmark::DoNotOptimize(report);
    }
    Collected().wireReportNs.push_back(Micros(Clock::now() - start) * 1000 / kMaxRequests);
  }
}
BENCHMARK(BM_WireReport)->MinTime(0.5);

// What a budget adds to a request that has units: the reservation as the record leaves the
// queue, the flight taken in the start gate and its landing once the request is written, against a
// ledger kept full of grants (a million units per 100 ms: a hundred entries live, and units never
// run out), timed in batches of 32.
void BM_BudgetStart(benchmark::State& state) {
  HostBudgets budgets;
  budgets.Set(0, kMaxBudgetUnits, 100);
  for (auto _ : state) {
    const auto start = Clock::now();
    for (size_t i = 0; i < kMaxRequests; ++i) {
      SteadyTime retryAt = 0;
      int flight = -1;
      benchmark::DoNotOptimize(budgets.Reserve(0, 1, SteadyNow(), retryAt));
      benchmark::DoNotOptimize(budgets.Take(0, 1, SteadyNow(), SteadyNow(), flight, retryAt));
      budgets.Land(0, flight, 1, SteadyNow());
    }
    Collected().budgetStartNs.push_back(Micros(Clock::now() - start) * 1000 / kMaxRequests);
  }
}
BENCHMARK(BM_BudgetStart)->MinTime(0.5);

// Requests queued behind four busy workers, with deadlines spread over half a second: how long
// after its deadline each one is seen published.
void BM_WatchdogLateness(benchmark::State& state) {
  fake::Reset();
  RequestIdAllocator allocator;
  auto engine = std::make_unique<HttpEngine>(allocator);
  const std::vector<RequestRef> busy = OccupyWorkers(*engine);
  for (auto _ : state) {
    for (int round = 0; round < 10; ++round) {
      std::vector<RequestRef> queued;
      for (int i = 0; i < kQueued; ++i) {
        queued.push_back(MakeRequest(250 + (i * 37 + round * 11) % 500));
        SubmitOrDie(*engine, queued.back());
      }
      std::vector<bool> seen(queued.size(), false);
      for (size_t left = queued.size(); left > 0;) {
        std::this_thread::sleep_for(100us);
        const SteadyTime now = SteadyNow();
        for (size_t i = 0; i < queued.size(); ++i) {
          if (!seen[i] && queued[i]->ready.load()) {
            seen[i] = true;
            --left;
            Collected().watchdogLateMs.push_back(static_cast<double>(now - queued[i]->deadline) /
                                                 kNanosecondsPerMillisecond);
          }
        }
      }
      for (const RequestRef& request : queued) {
        engine->Free(request->id);
      }
    }
  }
  engine.reset();
}
BENCHMARK(BM_WatchdogLateness)->Iterations(1)->Unit(benchmark::kMillisecond);

// Throttle 20 ms and a full table of instant transfers: the gaps between transfer starts.
void BM_ThrottleSpacing(benchmark::State& state) {
  constexpr auto kThrottle = 20ms;
  fake::Reset();
  RequestIdAllocator allocator;
  HttpEngine engine(allocator);
  engine.SetThrottleMs(static_cast<int32_t>(kThrottle.count()));
  for (auto _ : state) {
    for (int round = 0; round < 4; ++round) {
      const size_t before = fake::OpenTimes().size();
      std::vector<RequestRef> requests;
      for (size_t i = 0; i < kMaxRequests; ++i) {
        requests.push_back(MakeRequest(60000));
        SubmitOrDie(engine, requests.back());
      }
      WaitAllReady(requests);
      const std::vector<Clock::time_point> starts = fake::OpenTimes();
      for (size_t i = before + 1; i < starts.size(); ++i) {
        Collected().throttleErrorMs.push_back(Micros(starts[i] - starts[i - 1] - kThrottle) / 1000);
      }
      for (const RequestRef& request : requests) {
        engine.Free(request->id);
      }
    }
  }
}
BENCHMARK(BM_ThrottleSpacing)->Iterations(1)->Unit(benchmark::kMillisecond);

// Stop with four transfers blocked in the network and the rest of the table queued.
void BM_Stop(benchmark::State& state) {
  for (auto _ : state) {
    for (int round = 0; round < 20; ++round) {
      fake::Reset();
      RequestIdAllocator allocator;
      HttpEngine engine(allocator);
      const std::vector<RequestRef> busy = OccupyWorkers(engine);
      for (int i = 0; i < kQueued; ++i) {
        SubmitOrDie(engine, MakeRequest(120000));
      }
      const auto start = Clock::now();
      engine.Stop();
      Collected().stopMs.push_back(Micros(Clock::now() - start) / 1000);
    }
  }
}
BENCHMARK(BM_Stop)->Iterations(1)->Unit(benchmark::kMillisecond);

double ResidentMiB() {
  size_t pages = 0;
  size_t resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

double ProcessCpuMs() {
  timespec cpu{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  return static_cast<double>(cpu.tv_sec) * 1e3 + static_cast<double>(cpu.tv_nsec) / 1e6;
}

// Submit a request with a 1 MiB body and free it at once, while four blocked transfers hold
// every worker: what the process keeps afterwards, beyond the first hundred rounds.
void BM_QueueMemory(benchmark::State& state) {
  constexpr int kRounds = 10000;
  constexpr int kWarmUp = 100;
  fake::Reset();
  RequestIdAllocator allocator;
  auto engine = std::make_unique<HttpEngine>(allocator);
  const std::vector<RequestRef> busy = OccupyWorkers(*engine);
  for (auto _ : state) {
    double before = 0;
    for (int round = 0; round < kRounds; ++round) {
      if (round == kWarmUp) {
        before = ResidentMiB();
      }
      RequestRef request = MakeRequest(120000);
      request->method = KSRN_WIDE("POST");
      request->body.assign(1 << 20, 0x42);
      engine->Free(SubmitOrDie(*engine, request));
    }
    Collected().queueGrowthMiB = ResidentMiB() - before;
  }
  engine.reset();
}
BENCHMARK(BM_QueueMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// CPU of the whole process over 5 s with an idle engine, against a bare thread that only wakes
// every 25 ms over the same time.
void BM_IdleCpu(benchmark::State& state) {
  constexpr auto kSpan = 5s;
  for (auto _ : state) {
    {
      RequestIdAllocator allocator;
      HttpEngine engine(allocator);
      std::this_thread::sleep_for(100ms);
      const double start = ProcessCpuMs();
      std::this_thread::sleep_for(kSpan);
      Collected().idleCpuMs = ProcessCpuMs() - start;
    }
    std::atomic<bool> done{false};
    std::thread timer([&] {
      while (!done.load()) {
        std::this_thread::sleep_for(kWatchdogPeriod);
      }
    });
    const double start = ProcessCpuMs();
    std::this_thread::sleep_for(kSpan);
    Collected().timerCpuMs = ProcessCpuMs() - start;
    done.store(true);
    timer.join();
  }
}
BENCHMARK(BM_IdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

void PrintFigures() {
  const Samples& s = Collected();
  std::printf("\n");
  std::printf("submit median: %.2f us, p99 %.2f us (target: median < 2 us)\n",
              Percentile(s.submitUs, 0.5), Percentile(s.submitUs, 0.99));
  std::printf("find median: %.0f ns per call (target < 200 ns)\n", Percentile(s.findNs, 0.5));
  std::printf("wire report median: %.0f ns per request (target < 1000 ns)\n",
              Percentile(s.wireReportNs, 0.5));
  std::printf("budget at a start that has units: p50 %.0f ns, p99 %.0f ns (target: p99 < 50 us)\n",
              Percentile(s.budgetStartNs, 0.5), Percentile(s.budgetStartNs, 0.99));
  std::printf("pending count median: %.0f ns per call (full table; no target)\n",
              Percentile(s.pendingNs, 0.5));
  std::printf(
      "watchdog lateness of queued requests: p50 %.2f ms, p99 %.2f ms, max %.2f ms over "
      "%zu (target: p99 < 30 ms)\n",
      Percentile(s.watchdogLateMs, 0.5), Percentile(s.watchdogLateMs, 0.99),
      Percentile(s.watchdogLateMs, 1.0), s.watchdogLateMs.size());
  std::printf(
      "throttle spacing error beyond 20 ms: p50 %.3f ms, p99 %.3f ms, min %.3f ms over "
      "%zu (target: p99 < 3 ms)\n",
      Percentile(s.throttleErrorMs, 0.5), Percentile(s.throttleErrorMs, 0.99),
      Percentile(s.throttleErrorMs, 0.0), s.throttleErrorMs.size());
  std::printf(
      "stop with 4 blocked transfers and %d queued: median %.2f ms, max %.2f ms over %zu "
      "(target < 50 ms)\n",
      kQueued, Percentile(s.stopMs, 0.5), Percentile(s.stopMs, 1.0), s.stopMs.size());
  std::printf(
      "resident growth over 10000 submit-and-free rounds of 1 MiB bodies, workers busy: "
      "%.2f MiB (target < 8 MiB)\n",
      s.queueGrowthMiB);
  std::printf(
      "idle engine CPU over 5 s: %.2f ms; bare 25 ms timer thread: %.2f ms; ratio %.3f "
      "(target < 0.2)\n",
      s.idleCpuMs, s.timerCpuMs, s.idleCpuMs / std::max(s.timerCpuMs, 1e-3));
}

}  // namespace
}  // namespace ksrn

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ksrn::PrintFigures();
  return 0;
}
