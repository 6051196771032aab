#pragma once
// A listener of line protocols (SNPP, SMTP): one thread accepts, one thread serves each connection (at most
// `maxConnections` at once; the next is told `busyReply` and closed).
//
// Threads: Run on a thread of its own; Stop from any thread, once.

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velkor::gateway {

class ConnectionServer {
public:
    // Serves one connection until it ends; `stop` is an eventfd that becomes readable when the server
    // stops, for its polls. It closes nothing: the server closes `client` after it.
    using Serve = std::function<void(int client, const std::string& peer, int stop)>;

    // `listener` is a listening socket (ListenOn), owned from now on. `name` says which in the log.
    ConnectionServer(std::string name, int listener, std::size_t maxConnections, std::string busyReply,
                     Serve serve);
    ~ConnectionServer();
    ConnectionServer(const ConnectionServer&) = delete;
    ConnectionServer& operator=(const ConnectionServer&) = delete;

    void Run();
    // Ends Run and tells every connection to end, and waits for them (in the destructor).
    void Stop();

private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void Reap(bool all);

    const std::string m_name;
    int m_listener;
    int m_stop; // an eventfd that every poll waits on too
    const std::size_t m_maxConnections;
    const std::string m_busyReply;
    Serve m_serve;
    std::mutex m_mutex;
    std::list<std::unique_ptr<Connection>> m_connections;
};

// What ended a wait for a client's bytes.
enum class Waited { Input, Stopping, Idle };
// Waits until `client` has bytes, `stop` (the server's eventfd) is readable, or `idle` has passed since
// `since`, the client's last bytes.
Waited WaitForClient(int client, int stop, std::chrono::steady_clock::time_point since,
                     std::chrono::steady_clock::duration idle);

// Writes `text` whole; false when the client is gone or does not read (the send time-out).
bool SendAll(int socket, const std::string& text);
// Each line with its CRLF, in one write.
bool SendLines(int socket, const std::vector<std::string>& lines);
// "127.0.0.1:5000" or "[::1]:5000" for a connected socket's peer.
std::string PeerText(int socket);

} // namespace velkor::gateway
