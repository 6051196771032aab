#include "gateway/queue/clock.h"

#include <chrono>

namespace velkor::gateway {

double WallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double QueueNow() {
    static const double wallAtStart = WallNow();
    static const auto steadyAtStart = std::chrono::steady_clock::now();
    return wallAtStart +
           std::chrono::duration<double>(std::chrono::steady_clock::now() - steadyAtStart).count();
}

} // namespace velkor::gateway
