#pragma once
// The gateway's end-to-end tests: the real daemon in a folder of the test's own, and the frames velkor-sim
// saw.

#include "support/child_process.h"
#include "support/eventually.h"
#include "support/gateway_process.h"
#include "support/loopback.h"
#include "support/sim_process.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace velkor {

using namespace std::chrono_literals;
using Json = nlohmann::json;

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// A folder of the test's own for the database, the log and the files the gateway reads.
class Folder {
public:
    // `suffix` tells apart the folders of one test.
    explicit Folder(const std::string& suffix = "") {
        m_path = std::filesystem::temp_directory_path() /
                 ("velkor-gateway-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + suffix);
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~Folder() { std::filesystem::remove_all(m_path); }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }
    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(m_path / name) << text;
    }

private:
    std::filesystem::path m_path;
};

// libfaketime's wall clock for the gateways started while this lives; their monotonic clock is left as it
// is, as a stepped wall clock leaves it. `settings`: FAKETIME, or FAKETIME_TIMESTAMP_FILE, TZ and the like.
class FakeClock {
public:
    static constexpr const char* LIBRARY = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
    static constexpr const char* MISSING =
        "needs libfaketime (Debian's faketime), in a build without a sanitizer's runtime";
    static bool Available() { return std::filesystem::exists(LIBRARY) && !VELKOR_SANITIZED; }

    explicit FakeClock(std::vector<std::pair<std::string, std::string>> settings)
        : m_settings(std::move(settings)) {
        m_settings.emplace_back("LD_PRELOAD", LIBRARY);
        m_settings.emplace_back("FAKETIME_DONT_FAKE_MONOTONIC", "1");
        for (const auto& [name, value] : m_settings) {
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~FakeClock() {
        for (const auto& [name, value] : m_settings) {
            unsetenv(name.c_str());
        }
    }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

private:
    std::vector<std::pair<std::string, std::string>> m_settings;
};

// The daemon (the launcher the benchmark uses too), its log in the folder.
class Gateway {
public:
    // `database`: the queue's file, when not the folder's gateway.db.
    Gateway(const Folder& folder, const std::string& port, std::vector<std::string> extra = {},
            const std::string& database = "")
        : m_folder(folder),
          m_process(std::make_unique<GatewayProcess>(
              GatewaySetup{VELKOR_GATEWAY_PATH, port, database.empty() ? folder / "gateway.db" : database,
                           std::move(extra), folder / "gateway.log", folder / "sequence"})),
          m_http(m_process->HttpPort()), m_snpp(m_process->SnppPort()),
          m_client(std::make_unique<httplib::Client>("127.0.0.1", m_http)) {
        m_client->set_connection_timeout(1);
        m_client->set_read_timeout(10);
    }
    // A gateway still running at the end must stop cleanly, and no sanitizer may have spoken in its log.
    ~Gateway() {
        if (m_process) {
            const int status = Stop();
            EXPECT_EQ(status, 0) << Log();
        }
        const std::string log = Log();
        for (const char* report : {"Sanitizer", "runtime error"}) {
            EXPECT_EQ(log.find(report), std::string::npos) << log;
        }
    }
    httplib::Client& Client() { return *m_client; }
    // Kept apart from the process: a test's clients still ask for them while the gateway is being stopped.
    int SnppPort() const { return m_snpp; }
    int HttpPort() const { return m_http; }
    std::string Log() const { return ReadFile(m_folder / "gateway.log"); }
    void Signal(int signal) const { m_process->Signal(signal); }
    // The gateway's own PID (the shell that starts it execs it).
    pid_t Pid() const { return m_process->Pid(); }
    // The exit status after `signal`.
    int Stop(int signal = SIGTERM) {
        const int status = m_process->Stop(signal);
        m_process.reset();
        return status;
    }

    // POSTs `body` as JSON; the status and the answer.
    std::pair<int, Json> Post(const std::string& path, const Json& body) {
        auto result = Client().Post(path.c_str(), body.dump(), "application/json");
        if (!result) {
            return {0, Json()};
        }
        return {result->status, Json::parse(result->body, nullptr, false)};
    }
    Json Get(const std::string& path) {
        auto result = Client().Get(path.c_str());
        return result ? Json::parse(result->body, nullptr, false) : Json();
    }
    // Waits until page `id` is in `state`; its record then (or as last seen).
    Json WaitForState(int64_t id, const std::string& state, std::chrono::milliseconds timeout = 10s) {
        Json page;
        Eventually(
            [&] {
                page = Get("/v1/pages/" + std::to_string(id));
                return page.is_object() && page.value("state", "") == state;
            },
            timeout, 50ms);
        return page;
    }

private:
    const Folder& m_folder;
    std::unique_ptr<GatewayProcess> m_process;
    int m_http;
    int m_snpp;
    std::unique_ptr<httplib::Client> m_client;
};

// A small file system of the test's own, filled and freed at will (root only: it mounts a tmpfs).
class SmallDisk {
public:
    explicit SmallDisk(const std::string& path) : m_path(path) {
        std::filesystem::create_directories(path);
        m_mounted = geteuid() == 0 &&
                    ChildProcess({"/bin/mount", "-t", "tmpfs", "-o", "size=64m,mode=0700", "tmpfs", path})
                            .Wait(10s) == 0;
    }
    ~SmallDisk() {
        if (m_mounted) {
            ChildProcess({"/bin/umount", "-l", m_path}).Wait(10s);
        }
    }
    bool Mounted() const { return m_mounted; }
    void Fill() const {
        ChildProcess({"/bin/dd", "if=/dev/zero", "of=" + m_path + "/filler", "bs=4096"}).Wait(30s);
    }
    void Free() const { std::filesystem::remove(m_path + "/filler"); }

private:
    std::string m_path;
    bool m_mounted = false;
};

// The sim's lines for text frames, until `count` came or a quiet `quiet`.
inline std::vector<Json> TextFrames(SimProcess& sim, std::size_t count,
                                    std::chrono::milliseconds quiet = 3s) {
    std::vector<Json> frames;
    while (frames.size() < count) {
        const std::string line = sim.WaitForLine("\"command\":\"", quiet);
        if (line.empty()) {
            break;
        }
        frames.push_back(Json::parse(line));
    }
    return frames;
}

} // namespace velkor
