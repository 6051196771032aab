#pragma once
// The SNPP listener: a connection server (at most MAX_CONNECTIONS at once; the next is told so and
// closed). Idle clients are cut off, lines are bounded.
//
// Threads: Run on a thread of its own; Stop from any thread, once.

#include "gateway/net/connection_server.h"
#include "gateway/snpp/snpp_session.h"

#include <chrono>
#include <string>

namespace velkor::gateway {

class SnppServer {
public:
    static constexpr int MAX_CONNECTIONS = 32;
    static constexpr std::chrono::seconds IDLE_TIMEOUT{60};

    // `listener` is a listening socket (ListenOn), owned from now on; `hooks` and `charset` are given to
    // each session.
    SnppServer(int listener, SnppHooks hooks, Charset charset);

    void Run() { m_server.Run(); }
    // Ends Run and every connection; the destructor waits for them.
    void Stop() { m_server.Stop(); }

private:
    void Serve(int client, const std::string& peer, int stop);

    SnppHooks m_hooks;
    Charset m_charset;
    ConnectionServer m_server;
};

} // namespace velkor::gateway
