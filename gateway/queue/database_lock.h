#pragma once
// One gateway a database: a lock file beside it.

#include <string>

namespace velkor::gateway {

// Holds `path`.lock for this process, with the holder's PID in it; -1 with the reason in `error` when
// another process holds it. The lock is released when the descriptor is closed.
int HoldLock(const std::string& path, std::string* error);

} // namespace velkor::gateway
