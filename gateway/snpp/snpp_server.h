#pragma once
// The SNPP listener: one thread accepts, one thread serves each connection (at most MAX_CONNECTIONS at
// once; the next is told so and closed). Idle clients are cut off, lines are bounded.
//
// Threads: Run on a thread of its own; Stop from any thread, once.

#include "gateway/snpp/snpp_session.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace velkor::gateway {

class SnppServer {
public:
    static constexpr int MAX_CONNECTIONS = 32;
    static constexpr std::chrono::seconds IDLE_TIMEOUT{60};

    // `listener` is a listening socket (ListenOn), owned from now on; `hooks` and `charset` are given to
    // each session.
    SnppServer(int listener, SnppHooks hooks, Charset charset);
    ~SnppServer();
    SnppServer(const SnppServer&) = delete;
    SnppServer& operator=(const SnppServer&) = delete;

    void Run();
    // Ends Run and every connection, and waits for them.
    void Stop();

private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void Serve(int client, const std::string& peer);
    void Reap(bool all);

    int m_listener;
    int m_stop; // an eventfd that every poll waits on too
    SnppHooks m_hooks;
    Charset m_charset;
    std::mutex m_mutex;
    std::list<std::unique_ptr<Connection>> m_connections;
};

// "127.0.0.1:5000" or "[::1]:5000" for a connected socket's peer.
std::string PeerText(int socket);

} // namespace velkor::gateway
