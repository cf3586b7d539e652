// Process-lifetime objects. A host may exit while our threads (or its own, inside an export)
// still use them, so they are created once on first use and never destroyed: no static
// destructor can run under a thread that is still working.
#pragma once

namespace ksrn {

// The one T of the process. A constructor that throws leaves it uncreated and the exception goes
// to the caller, so the next call tries again.
template <class T>
T& NeverDestroyed() {
  static T* const object = new T;
  return *object;
}

}  // namespace ksrn
