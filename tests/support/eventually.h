#pragma once
// The one wait of the tests and the benchmark: for something another process or thread makes true.

#include <chrono>
#include <thread>

// Asks `done` every `every` until it returns true or `timeout` has passed; whether it did. `done` is
// asked once more at the end, so a wait that ran out on a slow machine still sees the last state.
template <typename Done>
bool Eventually(Done&& done, std::chrono::milliseconds timeout,
                std::chrono::milliseconds every = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(every);
    }
    return done();
}
