// Exists so a test can see which way WinHTTP gave the raw head: as received, or as its own text.
#pragma once

#include <atomic>

namespace ksrn::net::winhttp {

enum class HeadPath { None, Wire, Widened };

// The way the last raw head of the process was taken.
inline std::atomic<HeadPath> gLastHeadPath{HeadPath::None};

inline void RecordHeadPath(HeadPath path) { gLastHeadPath.store(path); }
inline HeadPath LastHeadPath() { return gLastHeadPath.load(); }

}  // namespace ksrn::net::winhttp
