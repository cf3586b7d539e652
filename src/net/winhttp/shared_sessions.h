// The WinHTTP sessions that requests to one host share while connections are kept
// (HttpSetKeepAlive above 0). A session is WinHTTP's connection pool, so requests to a host go
// out under one session of that host instead of one each; the transfer's own session handle is
// only its share of it (a Use), and closing that never closes the shared session.
//
// A shared session closes only when no request runs on it and either its last use is older than
// the idle setting (looked at on the next join and on every change of the setting) or it was
// retired: a request that did not end cleanly retires its host's session, so no new request
// joins it, and it closes when its last request ends. The registry knows sessions only as
// handles to close, so that its rules can be tested without a network.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include "platform/mutex.h"
#include "platform/steady_clock.h"
#include "platform/wide_string.h"

namespace ksrn::net::winhttp {

class SharedSessions {
  struct Entry;

 public:
  using Session = void*;  // a WinHTTP session handle
  using CloseFunction = void (*)(Session);
  using ClockFunction = SteadyTime (*)();
  // Opens a new session for a key: the handle, or null with the Win32 code in error.
  using OpenFunction = std::function<Session(uint32_t& error)>;

  // Who a session serves: requests with the same user agent to the same host and port.
  struct Key {
    WideString userAgent;
    WideString host;
    uint16_t port = 0;

    bool operator==(const Key&) const = default;
  };

  // One transfer's share of a session, from its connection to its last handle's close: the
  // session stays open while any share of it lives.
  class Use {
   public:
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    ~Use();

    Session Handle() const { return handle; }
    // A request under this share did not end cleanly: no request joins the session any more.
    void Retire();

   private:
    friend class SharedSessions;
    Use(SharedSessions& owner, Entry& entry, Session handle)
        : owner(owner), entry(entry), handle(handle) {}

    SharedSessions& owner;
    Entry& entry;
    const Session handle;
  };

  // WinHTTP's close and the steady clock.
  SharedSessions();
  SharedSessions(CloseFunction close, ClockFunction clock) : close(close), clock(clock) {}
  SharedSessions(const SharedSessions&) = delete;
  SharedSessions& operator=(const SharedSessions&) = delete;

  // How long an unused session stays open, in milliseconds; 0: connections are not kept, and
  // every session that nothing runs on closes now, the others when their last request ends.
  void SetIdleMs(int32_t ms) EXCLUDES(mutex);
  int32_t IdleMs() const EXCLUDES(mutex);

  // Closes the sessions that idled too long, then joins the key's session, opened with open when
  // there is none that takes new requests. A Win32 code; on success use holds the share.
  uint32_t Join(const Key& key, const OpenFunction& open, std::shared_ptr<Use>& use)
      EXCLUDES(mutex);

  // The number of sessions open, for tests.
  size_t OpenCount() const EXCLUDES(mutex);

 private:
  void Leave(Entry& entry) EXCLUDES(mutex);
  void RetireEntry(Entry& entry) EXCLUDES(mutex);
  // Moves the sessions due to close into closing, to be closed outside the lock: a close may
  // block, and may call back.
  void CollectLocked(std::list<Entry>& closing) REQUIRES(mutex);
  void CloseAll(const std::list<Entry>& closing) const;

  const CloseFunction close;
  const ClockFunction clock;
  mutable Mutex mutex;
  int32_t idleMs GUARDED_BY(mutex) = 0;
  std::list<Entry> entries GUARDED_BY(mutex);
};

// Guarded by the registry's mutex.
struct SharedSessions::Entry {
  Key key;
  Session handle = nullptr;
  size_t users = 0;
  SteadyTime lastUse = 0;
  bool retired = false;
};

}  // namespace ksrn::net::winhttp
