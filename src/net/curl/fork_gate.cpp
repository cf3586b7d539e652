#include "net/curl/fork_gate.h"

#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/never_destroyed.h"

namespace ksrn::net::curl {
namespace {

// A fork goes first: steps that have not started wait for it, so a busy engine never keeps a
// fork waiting for long.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  int steps = 0;
  bool forking = false;
};

Gate& TheGate() { return NeverDestroyed<Gate>(); }

}  // namespace

LibcurlStep::LibcurlStep() {
  Gate& gate = TheGate();
  std::unique_lock lock(gate.mutex);
  gate.changed.wait(lock, [&] { return !gate.forking; });
  ++gate.steps;
}

LibcurlStep::~LibcurlStep() {
  Gate& gate = TheGate();
  {
    std::lock_guard lock(gate.mutex);
    --gate.steps;
  }
  gate.changed.notify_all();
}

void CloseForFork() {
  Gate& gate = TheGate();
  std::unique_lock lock(gate.mutex);
  gate.forking = true;
  gate.changed.wait(lock, [&] { return gate.steps == 0; });
  lock.release();  // held across the fork: no other thread is inside the gate's own lock then
}

void OpenAfterFork(bool inChild) {
  Gate& gate = TheGate();
  gate.forking = false;
  if (inChild) {
    // Waiters of the parent's threads may be recorded in it; none of them exists here.
    new (&gate.changed) std::condition_variable;
    gate.steps = 0;
  }
  gate.mutex.unlock();
  gate.changed.notify_all();
}

}  // namespace ksrn::net::curl
