#include "net/winhttp/shared_sessions.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>

#include "platform/win32_errors.h"

namespace ksrn::net::winhttp {
namespace {

void CloseSession(SharedSessions::Session session) { WinHttpCloseHandle(session); }

}  // namespace

SharedSessions::Use::~Use() { owner.Leave(entry); }

void SharedSessions::Use::Retire() { owner.RetireEntry(entry); }

SharedSessions::SharedSessions() : SharedSessions(CloseSession, SteadyNow) {}

void SharedSessions::SetIdleMs(int32_t ms) {
  std::list<Entry> closing;
  {
    MutexLock lock(mutex);
    idleMs = std::max(ms, 0);
    CollectLocked(closing);
  }
  CloseAll(closing);
}

int32_t SharedSessions::IdleMs() const {
  MutexLock lock(mutex);
  return idleMs;
}

uint32_t SharedSessions::Join(const Key& key, const OpenFunction& open, std::shared_ptr<Use>& use) {
  std::list<Entry> closing;
  uint32_t error = kErrorSuccess;
  {
    MutexLock lock(mutex);
    CollectLocked(closing);
    auto found = std::find_if(entries.begin(), entries.end(), [&](const Entry& entry) {
      return !entry.retired && entry.key == key;
    });
    if (found == entries.end()) {
      std::list<Entry> fresh(1);
      fresh.front().key = key;
      fresh.front().handle = open(error);
      if (fresh.front().handle != nullptr) {
        found = fresh.begin();
        entries.splice(entries.end(), fresh);
      }
    }
    if (found != entries.end()) {
      // A share that cannot be made leaves an unused session, which the next look closes.
      use.reset(new Use(*this, *found, found->handle));
      ++found->users;
    }
  }
  CloseAll(closing);
  return use ? kErrorSuccess : error;
}

size_t SharedSessions::OpenCount() const {
  MutexLock lock(mutex);
  return entries.size();
}

void SharedSessions::Leave(Entry& entry) {
  std::list<Entry> closing;
  {
    MutexLock lock(mutex);
    --entry.users;
    entry.lastUse = clock();
    CollectLocked(closing);
  }
  CloseAll(closing);
}

void SharedSessions::RetireEntry(Entry& entry) {
  MutexLock lock(mutex);
  entry.retired = true;
}

void SharedSessions::CollectLocked(std::list<Entry>& closing) {
  const SteadyTime now = clock();
  const SteadyTime idleNs = static_cast<SteadyTime>(idleMs) * kNanosecondsPerMillisecond;
  for (auto it = entries.begin(); it != entries.end();) {
    const bool due = it->users == 0 && (it->retired || now - it->lastUse >= idleNs);
    if (due) {
      closing.splice(closing.end(), entries, it++);
    } else {
      ++it;
    }
  }
}

void SharedSessions::CloseAll(const std::list<Entry>& closing) const {
  for (const Entry& entry : closing) {
    close(entry.handle);
  }
}

}  // namespace ksrn::net::winhttp
