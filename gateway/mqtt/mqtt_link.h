#pragma once
// The gateway on a site's MQTT broker: pages for this transmitter (PREFIX/NAME/pages) and for every
// transmitter of the site (PREFIX/all/pages) come in; a refused message is answered on PREFIX/NAME/rejected,
// each page's state changes go out on PREFIX/NAME/pages/ID/state, and PREFIX/NAME/status says "online" or,
// as the gateway's last will, "offline" (both retained).
//
// A message is acknowledged only once its page is committed. libmosquitto queues the PUBACK of a QoS 1
// message before it hands us the message, and writes it at once unless told the application runs the
// threads; told so, only our loop writes, and the loop calls us and writes after we return. A delivery the
// broker makes again because the acknowledgement was lost is recognised by the store (PageStore::
// SubmitDelivered) and not queued twice: it comes first on the next connection of the same session, and
// only then is a message compared with the records.
//
// A retained message the broker hands over on subscribing (flag set) is an old message: not paged, said
// once a run in the log. A retained message published while the gateway is subscribed arrives live (flag
// cleared) and is paged like any other.
//
// Threads: Run on a thread of its own; Stop, CurrentHealth and PageChanged from any thread.

#include "gateway/intake/intake.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace velkor::gateway {

struct MqttSettings {
    std::string url; // as given, for the log
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string prefix; // PREFIX of PREFIX/NAME
    std::string name;   // this gateway: its topics and its client id
    std::string user;
    std::string password;
    std::string caFile; // empty with TLS: the system's certificates
    std::string certFile;
    std::string keyFile;
};

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883) into `settings`; false with the reason.
bool ParseBrokerUrl(std::string_view url, MqttSettings* settings, std::string* error);
// PREFIX/NAME into `settings`: levels not empty, no wildcards, NAME not "all"; false with the reason.
bool ParseGatewayTopic(std::string_view topic, MqttSettings* settings, std::string* error);

struct MqttHealth {
    std::string broker;
    bool connected = false;
    double since = 0;    // connected since, or not connected since
    std::string problem; // why it is not connected
    uint64_t accepted = 0;
    uint64_t rejected = 0;
    uint64_t duplicates = 0; // deliveries made again, not queued twice
};

class MqttLink {
public:
    static constexpr std::size_t MAX_MESSAGE = 16 * 1024; // as an HTTP body
    static constexpr int KEEP_ALIVE_SECONDS = 30;
    static constexpr int LONGEST_BACKOFF_SECONDS = 30;

    // Checks the TLS files; throws std::runtime_error with the reason.
    MqttLink(Intake& intake, MqttSettings settings);
    ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // Connects, and again after each loss (1 s, doubling to 30 s), until Stop; then says "offline".
    void Run();
    void Stop();
    MqttHealth CurrentHealth();
    // Publishes the page's state, while connected (the page's record holds it in any case).
    void PageChanged(int64_t id);

private:
    static void OnConnect(mosquitto* client, void* self, int result, int flags);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
    static void OnSubscribe(mosquitto* client, void* self, int mid, int count, const int* granted);

    void Connected(int result, int flags);
    void Received(const mosquitto_message& message);
    // The page an acknowledgement's topic names (PREFIX/NAME/pages/ID/ack); nullopt for another topic.
    std::optional<int64_t> AckedPage(const std::string& topic) const;
    void Acknowledge(int64_t id, const std::string& topic, std::string_view payload);
    void Reject(const std::string& topic, const std::string& reason);
    void Publish(const std::string& topic, const std::string& payload, bool retain);
    void NotConnected(const std::string& problem);
    // Waits `seconds` or until Stop.
    void Pause(int seconds);

    Intake& m_intake;
    const MqttSettings m_settings;
    const std::string m_statusTopic;
    mosquitto* m_client = nullptr;

    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_connected{false};
    std::mutex m_mutex; // guards m_health and the pausing
    std::condition_variable m_wake;
    MqttHealth m_health;
    bool m_refused = false; // the broker refused this attempt, and said why

    // The loop thread's own: whether the broker may still be resending what an earlier connection left
    // unacknowledged (see PageStore::SubmitDelivered), and the retained copies already said in the log.
    bool m_resending = false;
    std::set<std::string> m_retainedSeen;
};

} // namespace velkor::gateway
