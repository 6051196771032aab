// velkor-bench gateway: how many durable pages velkor-gateway accepts per second over HTTP, SNPP, SMTP and
// MQTT, how soon an accepted page is on the wire, its memory with 10 000 pages queued, whether a SIGKILL
// under load loses an acknowledged page, and how soon an answer stops a repeating page. The gateway runs as
// its own process on a pseudo-terminal this program reads.

#include "gateway_bench.h"

#include "support/child_process.h"
#include "support/eventually.h"
#include "support/gateway_process.h"
#include "support/loopback.h"
#include "support/pty_pair.h"

#include <httplib.h>
#include <sqlite3.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <numeric>
#include <optional>
#include <poll.h>
#include <random>
#include <set>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <variant>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Everything the gateway writes to the pseudo-terminal, read as it comes, with when its bytes arrived.
class Wire {
public:
    Wire() : m_reader([this] { Read(); }) {}
    ~Wire() {
        m_stop = true;
        m_reader.join();
    }
    const std::string& Port() const { return m_pty.SlavePath(); }
    std::size_t Bytes() {
        std::lock_guard lock(m_mutex);
        return m_bytes.size();
    }
    // When the byte count first passed `count`, waiting up to `timeout`.
    std::optional<Clock::time_point> WaitBeyond(std::size_t count, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            {
                std::lock_guard lock(m_mutex);
                if (m_bytes.size() > count) {
                    return m_arrivals[count];
                }
            }
            std::this_thread::sleep_for(100us);
        }
        return std::nullopt;
    }
    // The texts of the whole text frames that went by.
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (Frame& frame : Frames()) {
            texts.push_back(std::move(frame.text));
        }
        return texts;
    }
    struct Frame {
        std::string text;
        Clock::time_point end; // when its last byte arrived
    };
    // The whole text frames (5A seq addr[4] E0 L text checksum) that went by. A frame cut short by the
    // kill is skipped: a frame counts only where its checksum holds.
    std::vector<Frame> Frames() {
        std::lock_guard lock(m_mutex);
        std::vector<Frame> frames;
        const auto byte = [this](std::size_t at) { return static_cast<uint8_t>(m_bytes[at]); };
        std::size_t at = 0;
        while (at + 9 <= m_bytes.size()) {
            const std::size_t length = byte(at + 7);
            bool whole = byte(at) == 0x5A && byte(at + 6) == 0xE0 && at + 9 + length <= m_bytes.size();
            if (whole) {
                uint8_t sum = 0;
                for (std::size_t i = at; i < at + 8 + length; ++i) {
                    sum = static_cast<uint8_t>(sum + byte(i));
                }
                whole = sum == byte(at + 8 + length);
            }
            if (!whole) {
                ++at;
                continue;
            }
            frames.push_back(Frame{m_bytes.substr(at + 8, length), m_arrivals[at + 8 + length]});
            at += 9 + length;
        }
        return frames;
    }

private:
    void Read() {
        char buffer[4096];
        while (!m_stop) {
            pollfd fd{m_pty.Master(), POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0) {
                continue;
            }
            const ssize_t got = read(m_pty.Master(), buffer, sizeof buffer);
            const auto now = Clock::now();
            if (got <= 0) {
                std::this_thread::sleep_for(10ms); // no one has the slave open (between two gateways)
                continue;
            }
            std::lock_guard lock(m_mutex);
            m_bytes.append(buffer, static_cast<std::size_t>(got));
            m_arrivals.insert(m_arrivals.end(), static_cast<std::size_t>(got), now);
        }
    }

    PtyPair m_pty;
    std::mutex m_mutex;
    std::string m_bytes;
    std::vector<Clock::time_point> m_arrivals;
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
};

class Gateway {
public:
    // At 115200 baud: the gateway counts each frame's time on the line, and thousands of pages at 9600
    // would keep the line busy for minutes after the rate has been measured.
    Gateway(const std::string& binDir, const std::string& port, const std::string& database, int gap = 0,
            const std::vector<std::string>& extra = {}) {
        std::vector<std::string> options = {"--gap", std::to_string(gap), "--baud", "115200"};
        options.insert(options.end(), extra.begin(), extra.end());
        m_process = std::make_unique<GatewayProcess>(
            GatewaySetup{binDir + "/velkor-gateway", port, database, std::move(options), "/dev/null", ""});
    }
    int Http() const { return m_process->HttpPort(); }
    int Snpp() const { return m_process->SnppPort(); }
    // The gateway's own (the shell exec'd into it).
    pid_t Pid() const { return m_process->Pid(); }
    void Kill(int signal) {
        m_process->Stop(signal);
        m_process.reset();
    }
    // The gateway's resident memory in MB.
    double ResidentMegabytes() const {
        std::ifstream status("/proc/" + std::to_string(Pid()) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("VmRSS:")) {
                return std::stod(line.substr(6)) / 1024.0;
            }
        }
        return -1;
    }
    int64_t QueueDepth() { return Metric("velkor_gateway_queue_depth"); }
    // A figure of /metrics, -1 when it is not there.
    int64_t Metric(const std::string& name) {
        httplib::Client client("127.0.0.1", Http());
        auto result = client.Get("/metrics");
        if (!result) {
            return -1;
        }
        std::string line = name; // built in place: GCC 12 at -O3 warns falsely (-Wrestrict) on "\n" + name
        line.insert(line.begin(), '\n');
        line += ' ';
        const std::size_t at = result->body.find(line);
        return at == std::string::npos ? -1 : std::atoll(result->body.c_str() + at + line.size());
    }
    bool WaitForEmptyQueue(std::chrono::seconds timeout) {
        return Eventually([this] { return QueueDepth() == 0; }, timeout, 50ms);
    }

private:
    std::unique_ptr<GatewayProcess> m_process;
};

std::string Body(const std::string& text) {
    return "{\"to\":\"12\",\"text\":\"" + text + "\"}";
}

// One keep-alive HTTP/1.1 connection, as lean as ab's: the request written whole, the answer read to its
// Content-Length. On two cores a heavier client takes the CPU the gateway's intake is measured by.
class LeanClient {
public:
    explicit LeanClient(int port) : m_port(port), m_fd(ConnectLoopback(port)) { SetUp(); }
    ~LeanClient() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    LeanClient(const LeanClient&) = delete;
    LeanClient& operator=(const LeanClient&) = delete;

    // The answer's status, 0 when the connection failed or closed.
    int PostJson(const std::string& path, const std::string& body) {
        const std::string request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " +
                                    "application/json\r\nContent-Length: " + std::to_string(body.size()) +
                                    "\r\n\r\n" + body;
        if (m_fd < 0 || send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                            static_cast<ssize_t>(request.size())) {
            return 0;
        }
        std::size_t headEnd = std::string::npos;
        while ((headEnd = m_in.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill()) {
                return 0;
            }
        }
        const std::string head = m_in.substr(0, headEnd);
        std::size_t length = 0;
        for (const char* name : {"Content-Length: ", "content-length: "}) {
            if (const std::size_t at = head.find(name); at != std::string::npos) {
                length = std::stoul(head.substr(at + std::strlen(name)));
            }
        }
        while (m_in.size() < headEnd + 4 + length) {
            if (!Fill()) {
                return 0;
            }
        }
        m_in.erase(0, headEnd + 4 + length);
        if (head.find("Connection: close") != std::string::npos) {
            // The server's last answer on this connection (keep-alive counts requests): the next one
            // goes on a new connection, as ab does.
            close(m_fd);
            m_fd = ConnectLoopback(m_port);
            m_in.clear();
            SetUp();
        }
        return head.starts_with("HTTP/1.1 ") && head.size() >= 12 ? std::stoi(head.substr(9, 3)) : 0;
    }

private:
    void SetUp() {
        const int on = 1;
        if (m_fd >= 0) {
            setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            timeval timeout{5, 0};
            setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        }
    }
    bool Fill() {
        char buffer[4096];
        const ssize_t got = recv(m_fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return false;
        }
        m_in.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    int m_port;
    int m_fd;
    std::string m_in;
};

// `clients` keep-alive connections POST up to `each` pages, for 60 s at most; `answered` is told of each
// accepted page (its text and the ms its request took). A client stops at the first request without 202.
void PostPages(int port, int clients, int each, const std::string& prefix,
               const std::function<void(const std::string&, double)>& answered) {
    std::mutex mutex;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            LeanClient client(port);
            for (int i = 0; i < each && Clock::now() - start < 60s; ++i) {
                const std::string text = prefix + std::to_string(c) + "-" + std::to_string(i);
                const auto sent = Clock::now();
                if (client.PostJson("/v1/pages", Body(text)) != 202) {
                    return; // the gateway is gone, or refuses
                }
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
                std::lock_guard lock(mutex);
                answered(text, ms);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// Pages accepted per second; the texts acknowledged go into `acknowledged` when given.
double HttpRate(int port, int clients, int each, std::set<std::string>* acknowledged = nullptr,
                const std::string& prefix = "h") {
    int accepted = 0;
    const auto start = Clock::now();
    PostPages(port, clients, each, prefix, [&](const std::string& text, double) {
        ++accepted;
        if (acknowledged) {
            acknowledged->insert(text);
        }
    });
    return accepted / std::chrono::duration<double>(Clock::now() - start).count();
}

// One SNPP session per `perSession` pages: PAGE, MESS, SEND, checked for 250 each.
double SnppRate(int port, int clients, int each) {
    std::atomic<int> accepted{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            constexpr int perSession = 300; // the gateway allows 1000 lines a session
            for (int done = 0; done < each && Clock::now() - start < 60s;) {
                const int fd = ConnectLoopback(port);
                if (fd < 0) {
                    return;
                }
                FILE* stream = fdopen(fd, "r+");
                char line[1024];
                if (!std::fgets(line, sizeof line, stream)) {
                    std::fclose(stream);
                    return;
                }
                for (int i = 0; i < perSession && done < each; ++i, ++done) {
                    std::fprintf(stream, "PAGE 12\r\nMESS s%d-%d\r\nSEND\r\n", c, done);
                    std::fflush(stream);
                    bool ok = true;
                    for (int reply = 0; reply < 3; ++reply) {
                        ok = std::fgets(line, sizeof line, stream) && std::strncmp(line, "250", 3) == 0 && ok;
                    }
                    accepted += ok ? 1 : 0;
                }
                std::fputs("QUIT\r\n", stream);
                std::fflush(stream);
                std::fclose(stream);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return accepted / std::chrono::duration<double>(Clock::now() - start).count();
}

// Each page a whole SMTP session: EHLO, MAIL, RCPT, DATA, the message, QUIT, pipelined as a mail server
// sends them, checked for the 250 of the message.
double SmtpRate(int port, int clients, int each) {
    std::atomic<int> accepted{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            for (int done = 0; done < each && Clock::now() - start < 60s; ++done) {
                const int fd = ConnectLoopback(port);
                if (fd < 0) {
                    return;
                }
                FILE* stream = fdopen(fd, "r+");
                char line[1024];
                bool ok = std::fgets(line, sizeof line, stream) != nullptr;
                std::fprintf(stream,
                             "EHLO bench\r\nMAIL FROM:<bench@site>\r\nRCPT TO:<12@pager>\r\nDATA\r\n");
                std::fflush(stream);
                while (ok && std::fgets(line, sizeof line, stream) && std::strncmp(line, "354", 3) != 0) {
                    ok = line[0] == '2';
                }
                std::fprintf(stream, "Subject: m%d-%d\r\n\r\nbody\r\n.\r\nQUIT\r\n", c, done);
                std::fflush(stream);
                ok = ok && std::fgets(line, sizeof line, stream) && std::strncmp(line, "250 2.0.0", 9) == 0;
                accepted += ok ? 1 : 0;
                std::fclose(stream);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return accepted / std::chrono::duration<double>(Clock::now() - start).count();
}

// Pages published at QoS 1 by mosquitto_pub (one message a line) to a private mosquitto; pages per second
// the gateway accepted (stored and acknowledged), or a reason it could not be measured.
std::variant<double, std::string> MqttRate(const std::string& binDir, const std::filesystem::path& folder,
                                           int count) {
    const int port = FreeLoopbackPort();
    const std::filesystem::path config = folder / "mosquitto.conf";
    // A broker's default queue per client (1000 messages) would drop what the gateway has not taken yet.
    std::ofstream(config) << "listener " << port
                          << " 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 0\n"
                             "user root\nlog_dest none\n";
    if (!std::filesystem::exists("/usr/sbin/mosquitto") ||
        !std::filesystem::exists("/usr/bin/mosquitto_pub")) {
        return std::string("mosquitto and mosquitto-clients are not installed");
    }
    ChildProcess broker({"/usr/sbin/mosquitto", "-c", config.string()});
    for (int i = 0; i < 200; ++i) {
        const int probe = ConnectLoopback(port);
        if (probe >= 0) {
            ::close(probe);
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    Wire wire;
    Gateway gateway(binDir, wire.Port(), (folder / "mqtt.db").string(), 0,
                    {"--mqtt", "mqtt://127.0.0.1:" + std::to_string(port), "--mqtt-topic", "bench/desk"});
    const auto connected = Clock::now() + 10s;
    while (gateway.Metric("velkor_gateway_mqtt_up") != 1 && Clock::now() < connected) {
        std::this_thread::sleep_for(20ms);
    }
    std::string lines;
    for (int i = 0; i < count; ++i) {
        std::string text = std::to_string(i);
        text.insert(text.begin(), 'm');
        lines += Body(text) + "\n";
    }
    const std::string accepted = "velkor_gateway_mqtt_messages_total{result=\"accepted\"}";
    const auto start = Clock::now();
    ChildProcess publisher({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port), "-q",
                            "1", "-t", "bench/desk/pages", "-l"},
                           ChildProcess::Options{lines, false});
    int64_t done = 0;
    while ((done = gateway.Metric(accepted)) < count && Clock::now() - start < 60s) {
        std::this_thread::sleep_for(5ms);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    publisher.Wait(10s);
    gateway.WaitForEmptyQueue(60s);
    broker.Signal(SIGTERM);
    broker.Wait(10s);
    if (done < count) {
        return std::to_string(done) + " of " + std::to_string(count) + " pages accepted in 60 s";
    }
    return static_cast<double>(done) / seconds;
}

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1,
                           static_cast<std::size_t>(share * static_cast<double>(values.size())))];
}

// The disk's own limit: one-row transactions in a loop, as the queue commits them (WAL, synchronous=FULL,
// the same folder); commits per second.
double BareCommitRate(const std::filesystem::path& path, int count) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return 0;
    }
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE t(x TEXT)", nullptr,
                 nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES('3号桌请取餐')", -1, &insert, nullptr);
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        sqlite3_step(insert);
        sqlite3_reset(insert);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    const double rate = count / std::chrono::duration<double>(Clock::now() - start).count();
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return rate;
}

std::string Ratio(const char* what, double rate, double bare) {
    char text[160];
    std::snprintf(text, sizeof text, "%d durable pages/s, %.2fx the disk's bare commits (%d/s), %s",
                  static_cast<int>(rate), bare > 0 ? rate / bare : 0.0, static_cast<int>(bare), what);
    return text;
}

// Each accepted request's time in ms.
std::vector<double> HttpLatencies(int port, int clients, int each) {
    std::vector<double> latencies;
    PostPages(port, clients, each, "q", [&](const std::string&, double ms) { latencies.push_back(ms); });
    return latencies;
}

// Open consoles: event streams read as they come, with when each page's "queued" event reached each.
class Consoles {
public:
    Consoles(int port, int count) {
        for (int i = 0; i < count; ++i) {
            m_threads.emplace_back([this, port] { Follow(port); });
        }
    }
    ~Consoles() {
        m_stop = true;
        for (std::thread& thread : m_threads) {
            thread.join();
        }
    }
    // Every console's arrival time of page `id`'s first event, in whatever state it tells (a page that
    // changed within the stream's gathering is told as it is then: already sent on a fast wire), waiting up
    // to `timeout` for all of them.
    std::vector<Clock::time_point> Arrivals(int64_t id, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            {
                std::lock_guard lock(m_mutex);
                auto found = m_arrivals.find(id);
                if (found != m_arrivals.end() && found->second.size() == m_threads.size()) {
                    return found->second;
                }
            }
            std::this_thread::sleep_for(200us);
        }
        return {};
    }
    std::size_t Open() const { return m_open; }

private:
    void Follow(int port) {
        const int fd = ConnectLoopback(port);
        if (fd < 0) {
            return;
        }
        const std::string request = "GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::string in;
        bool counted = false;
        std::unordered_set<int64_t> seen; // pages this console has shown a row of
        while (!m_stop) {
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0) {
                continue;
            }
            char buffer[8192];
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            const auto now = Clock::now();
            in.append(buffer, static_cast<std::size_t>(got));
            if (!counted && in.find("event: health") != std::string::npos) {
                counted = true;
                ++m_open;
            }
            // Only what a console needs to show the row: the page's id and its state.
            std::size_t at;
            constexpr std::string_view start = "event: page\ndata: {\"id\":";
            while ((at = in.find(start)) != std::string::npos) {
                const std::size_t end = in.find("\n\n", at);
                if (end == std::string::npos) {
                    break;
                }
                const int64_t id = std::atoll(in.c_str() + at + start.size());
                if (seen.insert(id).second) {
                    std::lock_guard lock(m_mutex);
                    m_arrivals[id].push_back(now);
                }
                in.erase(0, end + 2);
            }
            if (in.size() > 65536 && in.find("event: page") == std::string::npos) {
                in.clear();
            }
        }
        close(fd);
    }

    std::vector<std::thread> m_threads;
    std::atomic<bool> m_stop{false};
    std::atomic<std::size_t> m_open{0};
    std::mutex m_mutex;
    std::map<int64_t, std::vector<Clock::time_point>> m_arrivals;
};

// The CPU time (user and system) the process has used, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::atoll(field.c_str());
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

} // namespace

namespace {

// Intake over HTTP, SNPP and MQTT, and the time from a request to the wire.
void IntakeFigures(const std::string& binDir, const std::filesystem::path& folder, const Reporter& report) {
    // Intake against the disk's limit, measured in the same run on the same disk: pages that arrive
    // together share a commit, so HTTP with many clients can pass one commit per page.
    const double bare = BareCommitRate(folder / "bare.db", 3000);
    Wire wire;
    const int smtpPort = FreeLoopbackPort();
    Gateway gateway(binDir, wire.Port(), (folder / "rate.db").string(), 0,
                    {"--smtp", "127.0.0.1:" + std::to_string(smtpPort)});
    const double http = HttpRate(gateway.Http(), 16, 1000);
    report("gateway HTTP accepted", Ratio("16 keep-alive clients", http, bare), ">= 1.0x bare commits",
           bare > 0 && http >= bare);
    gateway.WaitForEmptyQueue(60s);
    const double http4 = HttpRate(gateway.Http(), 4, 1000);
    report("gateway HTTP accepted", Ratio("4 keep-alive clients", http4, bare), ">= 500 pages/s",
           http4 >= 500);
    gateway.WaitForEmptyQueue(60s);
    const double snpp = SnppRate(gateway.Snpp(), 4, 1000);
    report("gateway SNPP accepted", Ratio("4 clients", snpp, bare), ">= 500 pages/s", snpp >= 500);
    gateway.WaitForEmptyQueue(60s);
    const double smtp = SmtpRate(smtpPort, 4, 500);
    report("gateway SMTP accepted", Ratio("4 clients, a session a page", smtp, bare), ">= 500 pages/s",
           smtp >= 500);
    gateway.WaitForEmptyQueue(60s);
    std::variant<double, std::string> mqtt = MqttRate(binDir, folder, 4000);
    if (const double* rate = std::get_if<double>(&mqtt)) {
        report("gateway MQTT accepted", Ratio("mosquitto_pub -q 1, one broker", *rate, bare),
               ">= 500 pages/s", *rate >= 500);
    } else {
        report("gateway MQTT accepted", std::get<std::string>(mqtt), ">= 500 pages/s", false);
    }

    // One page at a time into an empty queue: from the request to its frame's first byte on the wire,
    // which holds the commit and the 202 too.
    std::vector<double> latencies;
    httplib::Client client("127.0.0.1", gateway.Http());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    for (int i = 0; i < 300; ++i) {
        const std::size_t before = wire.Bytes();
        const auto sent = Clock::now();
        std::string text = std::to_string(i);
        text.insert(text.begin(), 'l'); // not "l" + ...: GCC 12 at -O3 warns falsely (-Wrestrict) on that
        auto result = client.Post("/v1/pages", Body(text), "application/json");
        std::optional<Clock::time_point> first = wire.WaitBeyond(before, 2s);
        if (!result || result->status != 202 || !first) {
            break;
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(*first - sent).count());
        // The next page comes to an empty queue and an idle line, as the target has it: the frame is
        // whole and its time on the line (1.1 ms at 115200 baud) is over.
        std::this_thread::sleep_for(10ms);
    }
    if (latencies.size() == 300) {
        const double p50 = Percentile(latencies, 0.5);
        const double p99 = Percentile(latencies, 0.99);
        char figure[128];
        std::snprintf(figure, sizeof figure, "p50 %.2f ms, p99 %.2f ms (request to first byte, --gap 0)", p50,
                      p99);
        report("gateway to the wire", figure, "p99 <= 20 ms", p99 <= 20);
    } else {
        report("gateway to the wire", "frames did not arrive", "p99 <= 20 ms", false);
    }
}

void ConsoleFigures(const std::string& binDir, const std::filesystem::path& folder, const Reporter& report) {
    // Twenty consoles open (event streams): a page's change shown in each, the gateway idle with them,
    // its memory, and intake beside intake without them.
    Wire wire;
    Gateway gateway(binDir, wire.Port(), (folder / "consoles.db").string());
    const double without = HttpRate(gateway.Http(), 16, 500);
    gateway.WaitForEmptyQueue(60s);
    Consoles consoles(gateway.Http(), 20);
    const auto opened = Clock::now() + 5s;
    while (consoles.Open() < 20 && Clock::now() < opened) {
        std::this_thread::sleep_for(10ms);
    }
    std::vector<double> shown;
    httplib::Client client("127.0.0.1", gateway.Http());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    for (int i = 0; i < 100; ++i) {
        const auto sent = Clock::now();
        std::string text = std::to_string(i); // built in place: GCC 12 at -O3 warns falsely on "c" + ...
        text.insert(text.begin(), 'c');
        auto result = client.Post("/v1/pages", Body(text), "application/json");
        if (!result || result->status != 202) {
            break;
        }
        const int64_t id = std::atoll(result->body.c_str() + 6); // {"id":N,...
        for (const Clock::time_point arrived : consoles.Arrivals(id, 2s)) {
            shown.push_back(std::chrono::duration<double, std::milli>(arrived - sent).count());
        }
    }
    gateway.WaitForEmptyQueue(60s);
    std::this_thread::sleep_for(1s);
    const double cpuBefore = CpuSeconds(gateway.Pid());
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(10s);
    const double cpu = 100 * (CpuSeconds(gateway.Pid()) - cpuBefore) /
                       std::chrono::duration<double>(Clock::now() - idleStart).count();
    const double megabytes = gateway.ResidentMegabytes();
    const double with = HttpRate(gateway.Http(), 16, 500);
    char figure[200];
    if (shown.size() == 100 * 20) {
        std::snprintf(figure, sizeof figure, "p50 %.2f ms, p99 %.2f ms (request to the row in each of 20)",
                      Percentile(shown, 0.5), Percentile(shown, 0.99));
        report("console change shown", figure, "p99 <= 100 ms", Percentile(shown, 0.99) <= 100);
    } else {
        std::snprintf(figure, sizeof figure, "%zu of 2000 rows shown", shown.size());
        report("console change shown", figure, "p99 <= 100 ms", false);
    }
    std::snprintf(figure, sizeof figure, "%.2f %% of a core, %.1f MB, 20 consoles open, queue idle", cpu,
                  megabytes);
    report("console idle", figure, "<= 0.5 % CPU, <= 30 MB", cpu <= 0.5 && megabytes <= 30);
    std::snprintf(figure, sizeof figure, "%d pages/s with 20 consoles open, %.2fx the %d/s without",
                  static_cast<int>(with), without > 0 ? with / without : 0.0, static_cast<int>(without));
    report("console intake", figure, ">= 0.9x without", without > 0 && with >= 0.9 * without);
}

void ListingFigures(const std::string& binDir, const std::filesystem::path& folder, const Reporter& report) {
    // Intake while a client lists the largest listing all the time (no device: the queue only grows,
    // so each listing has a thousand pages to read), beside intake with nobody listing.
    const std::string missing = (folder / "no-such-port").string();
    Gateway gateway(binDir, missing, (folder / "listing.db").string());
    HttpRate(gateway.Http(), 4, 500);
    const double quiet = Percentile(HttpLatencies(gateway.Http(), 4, 300), 0.99);
    std::atomic<bool> done{false};
    std::atomic<int> listings{0};
    std::thread lister([&] {
        httplib::Client client("127.0.0.1", gateway.Http());
        client.set_keep_alive(true);
        client.set_read_timeout(10);
        while (!done) {
            if (client.Get("/v1/pages?limit=1000")) {
                ++listings;
            }
        }
    });
    const std::vector<double> during = HttpLatencies(gateway.Http(), 4, 300);
    done = true;
    lister.join();
    const double listed = Percentile(during, 0.99);
    char figure[160];
    std::snprintf(figure, sizeof figure, "p99 %.2f ms while %d listings of 1000 pages ran (%.2f ms without)",
                  listed, listings.load(), quiet);
    report("gateway intake during listings", figure, "p99 <= 2x without + 5 ms",
           during.size() == 1200 && listings > 0 && listed <= 2 * quiet + 5);
}

// The memory of ten thousand queued pages.
void MemoryFigure(const std::string& binDir, const std::filesystem::path& folder, const Reporter& report) {
    // No device: every page waits in the queue.
    const std::string missing = (folder / "no-such-port").string();
    Gateway gateway(binDir, missing, (folder / "memory.db").string());
    HttpRate(gateway.Http(), 4, 2500);
    const int64_t depth = gateway.QueueDepth();
    const double megabytes = gateway.ResidentMegabytes();
    char figure[128];
    std::snprintf(figure, sizeof figure, "%.1f MB resident with %lld pages queued", megabytes,
                  static_cast<long long>(depth));
    report("gateway memory", figure, "<= 60 MB at 10 000",
           depth >= 10000 && megabytes > 0 && megabytes <= 60);
}

void KillFigure(const std::string& binDir, const std::filesystem::path& folder, const Reporter& report) {
    // SIGKILL at a random moment under load, then started again: every acknowledged page goes out.
    Wire wire;
    const std::string database = (folder / "kill.db").string();
    std::set<std::string> acknowledged;
    {
        // A gap of 5 ms: pages come in faster than they leave, so a backlog is queued when the kill
        // comes.
        Gateway gateway(binDir, wire.Port(), database, 5);
        std::thread load([&] { HttpRate(gateway.Http(), 2, 5000, &acknowledged, "k"); });
        std::mt19937 random(std::random_device{}());
        std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 1500));
        gateway.Kill(SIGKILL);
        load.join();
    }
    Gateway again(binDir, wire.Port(), database);
    again.WaitForEmptyQueue(60s);
    std::this_thread::sleep_for(200ms);
    std::set<std::string> onWire;
    for (const std::string& text : wire.Texts()) {
        onWire.insert(text);
    }
    std::size_t lost = 0;
    for (const std::string& text : acknowledged) {
        lost += onWire.contains(text) ? 0 : 1;
    }
    report("gateway SIGKILL",
           std::to_string(lost) + " of " + std::to_string(acknowledged.size()) + " acknowledged pages lost",
           "none lost", lost == 0 && !acknowledged.empty());
}

// A thousand pages repeating until acknowledged, answered one by one while their rounds go out: from each
// answer's request to the last byte of that page's frames on the wire (a frame already begun finishes;
// none may begin once the answer is stored).
void AckFigure(const std::string& binDir, const std::filesystem::path& folder, const Reporter& report) {
    constexpr int PAGES = 1000;
    constexpr int ANSWERED = 100;
    Wire wire;
    Gateway gateway(binDir, wire.Port(), (folder / "ack.db").string());
    httplib::Client client("127.0.0.1", gateway.Http());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    std::vector<int64_t> ids;
    for (int i = 0; i < PAGES; ++i) {
        const std::string body = "{\"to\":\"" + std::to_string(i + 1) + "\",\"text\":\"a" +
                                 std::to_string(i) +
                                 "\",\"repeat\":{\"every\":5,\"until\":\"acknowledged\"},\"ttl\":600}";
        auto result = client.Post("/v1/pages", body, "application/json");
        if (!result || result->status != 202) {
            report("gateway ack to the last frame", "a repeating page was refused", "<= 50 ms", false);
            return;
        }
        ids.push_back(std::atoll(result->body.c_str() + 6)); // {"id":N,...
    }
    // Answered once every page is on the wire, at moments spread over the next two rounds.
    if (!Eventually([&wire] { return wire.Frames().size() >= PAGES; }, 60s, 100ms)) {
        report("gateway ack to the last frame", "the first round did not go out", "<= 50 ms", false);
        return;
    }
    std::mt19937 random(7);
    std::vector<int> order(PAGES);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), random);
    std::map<std::string, Clock::time_point> answered; // a page's text: when its answer was asked
    for (int n = 0; n < ANSWERED; ++n) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 200));
        const int page = order[static_cast<std::size_t>(n)];
        const auto asked = Clock::now();
        auto result = client.Post("/v1/pages/" + std::to_string(ids[static_cast<std::size_t>(page)]) + "/ack",
                                  "", "text/plain");
        if (!result || result->status != 200) {
            report("gateway ack to the last frame", "an answer was refused", "<= 50 ms", false);
            return;
        }
        answered["a" + std::to_string(page)] = asked;
    }
    std::this_thread::sleep_for(6s); // longer than a round: a repeat after an answer would show
    std::vector<double> delays;
    std::map<std::string, double> last; // ms after its answer of a page's last frame; 0: none after
    for (const auto& [text, asked] : answered) {
        last[text] = 0;
    }
    std::map<std::string, int> before; // a page's rounds on the wire before its answer
    for (const Wire::Frame& frame : wire.Frames()) {
        const auto found = answered.find(frame.text);
        if (found != answered.end() && frame.end > found->second) {
            last[frame.text] = std::chrono::duration<double, std::milli>(frame.end - found->second).count();
        } else if (found != answered.end()) {
            ++before[frame.text];
        }
    }
    int fewest = std::numeric_limits<int>::max();
    int most = 0;
    for (const auto& [text, asked] : answered) {
        fewest = std::min(fewest, before[text]);
        most = std::max(most, before[text]);
    }
    for (const auto& [text, ms] : last) {
        delays.push_back(ms);
    }
    const double worst = *std::max_element(delays.begin(), delays.end());
    char figure[200];
    std::snprintf(figure, sizeof figure,
                  "p50 %.2f ms, p99 %.2f ms, worst %.2f ms (%d of %d repeating pages answered after %d to %d "
                  "rounds each)",
                  Percentile(delays, 0.5), Percentile(delays, 0.99), worst, ANSWERED, PAGES, fewest, most);
    // Each answered page must have been seen repeating, or the figure would say nothing.
    report("gateway ack to the last frame", figure, "<= 50 ms", worst <= 50 && fewest >= 1);
}

} // namespace

void GatewayBench(const std::string& binDir, const Reporter& report) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("velkor-bench-gateway-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    IntakeFigures(binDir, folder, report);
    ConsoleFigures(binDir, folder, report);
    ListingFigures(binDir, folder, report);
    MemoryFigure(binDir, folder, report);
    KillFigure(binDir, folder, report);
    AckFigure(binDir, folder, report);
    std::filesystem::remove_all(folder);
}
