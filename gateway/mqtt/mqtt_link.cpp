#include "gateway/mqtt/mqtt_link.h"

#include "frames/strict_text.h"
#include "frames/utf8.h"
#include "gateway/intake/page_json.h"
#include "gateway/log/log.h"
#include "gateway/net/listen_address.h"
#include "gateway/queue/clock.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace velkor::gateway {
namespace {

constexpr int QOS = 1;

// FNV-1a of the topic and the payload: which message a delivery was, to recognise it delivered again.
std::string Digest(std::string_view topic, std::string_view payload) {
    uint64_t hash = 14695981039346656037ULL;
    auto add = [&hash](std::string_view bytes) {
        for (unsigned char byte : bytes) {
            hash ^= byte;
            hash *= 1099511628211ULL;
        }
    };
    add(topic);
    add(std::string_view("\0", 1));
    add(payload);
    char text[24];
    std::snprintf(text, sizeof text, "%016llx:%zu", static_cast<unsigned long long>(hash), payload.size());
    return text;
}

std::string ErrorText(int result) {
    if (result == MOSQ_ERR_ERRNO) {
        return std::strerror(errno);
    }
    std::string text = mosquitto_strerror(result);
    if (text.ends_with('.')) {
        text.pop_back();
    }
    return text;
}

bool Readable(const std::string& path, std::string* error) {
    if (path.empty() || ::access(path.c_str(), R_OK) == 0) {
        return true;
    }
    *error = path + ": " + std::strerror(errno);
    return false;
}

void InitialiseLibrary() {
    static const int once = mosquitto_lib_init();
    (void)once;
}

} // namespace

bool ParseBrokerUrl(std::string_view url, MqttSettings* settings, std::string* error) {
    const std::string_view plain = "mqtt://";
    const std::string_view secure = "mqtts://";
    std::string_view rest;
    if (url.starts_with(plain)) {
        rest = url.substr(plain.size());
        settings->tls = false;
        settings->port = 1883;
    } else if (url.starts_with(secure)) {
        rest = url.substr(secure.size());
        settings->tls = true;
        settings->port = 8883;
    } else {
        *error = "--mqtt: mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not \"" + std::string(url) + "\"";
        return false;
    }
    if (rest.ends_with('/')) {
        rest.remove_suffix(1);
    }
    const std::optional<HostPort> split = SplitHostPort(rest);
    if (!split) {
        *error = "--mqtt: \"" + std::string(url) + "\": [IPv6] needs its ], and only :PORT may follow it";
        return false;
    }
    const std::string_view host = split->host;
    const std::string_view port = split->port;
    if (host.empty() || host.find_first_of("/@ ") != std::string_view::npos) {
        *error = "--mqtt: no broker host in \"" + std::string(url) + "\"";
        return false;
    }
    if (split->hasPort) {
        std::optional<uint32_t> number = ParseUnsigned(port, 1, 65535);
        if (!number) {
            *error = "--mqtt: the port in \"" + std::string(url) + "\" is not 1 to 65535";
            return false;
        }
        settings->port = static_cast<int>(*number);
    }
    settings->host = std::string(host);
    settings->url = std::string(url);
    return true;
}

bool ParseGatewayTopic(std::string_view topic, MqttSettings* settings, std::string* error) {
    const std::size_t slash = topic.rfind('/');
    const auto fail = [&](const std::string& why) {
        *error = "--mqtt-topic: PREFIX/NAME, " + why + ": \"" + std::string(topic) + "\"";
        return false;
    };
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == topic.size()) {
        return fail("a prefix and this gateway's name");
    }
    if (topic.find_first_of("+#") != std::string_view::npos || topic.find("//") != std::string_view::npos ||
        topic.starts_with('/')) {
        return fail("without + or # or empty levels");
    }
    if (std::any_of(topic.begin(), topic.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        return fail("without control characters");
    }
    settings->prefix = std::string(topic.substr(0, slash));
    settings->name = std::string(topic.substr(slash + 1));
    if (settings->name == "all") {
        return fail("\"all\" is the topic every gateway takes, not a gateway's name");
    }
    return true;
}

MqttLink::MqttLink(Intake& intake, MqttSettings settings)
    : m_intake(intake), m_settings(std::move(settings)),
      m_statusTopic(m_settings.prefix + "/" + m_settings.name + "/status") {
    InitialiseLibrary();
    std::string error;
    if (!Readable(m_settings.caFile, &error) || !Readable(m_settings.certFile, &error) ||
        !Readable(m_settings.keyFile, &error)) {
        throw std::runtime_error("mqtt: " + error);
    }
    if (m_settings.certFile.empty() != m_settings.keyFile.empty()) {
        throw std::runtime_error("mqtt: a client certificate needs its key (--mqtt-cert with --mqtt-key)");
    }
    // Clean session off: the broker keeps the subscriptions and queues the pages while the gateway is away.
    m_client = mosquitto_new(m_settings.name.c_str(), false, this);
    if (!m_client) {
        throw std::runtime_error(std::string("mqtt: ") + std::strerror(errno));
    }
    // Our loop thread is the only writer: see the header.
    mosquitto_threaded_set(m_client, true);
    mosquitto_int_option(m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_will_set(m_client, m_statusTopic.c_str(), 7, "offline", QOS, true);
    if (!m_settings.user.empty()) {
        mosquitto_username_pw_set(m_client, m_settings.user.c_str(),
                                  m_settings.password.empty() ? nullptr : m_settings.password.c_str());
    }
    if (m_settings.tls) {
        const int result =
            mosquitto_tls_set(m_client, m_settings.caFile.empty() ? nullptr : m_settings.caFile.c_str(),
                              m_settings.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                              m_settings.certFile.empty() ? nullptr : m_settings.certFile.c_str(),
                              m_settings.keyFile.empty() ? nullptr : m_settings.keyFile.c_str(), nullptr);
        if (result != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(m_client);
            throw std::runtime_error("mqtt: TLS: " + ErrorText(result));
        }
    }
    mosquitto_connect_with_flags_callback_set(m_client, &MqttLink::OnConnect);
    mosquitto_message_callback_set(m_client, &MqttLink::OnMessage);
    mosquitto_subscribe_callback_set(m_client, &MqttLink::OnSubscribe);
    m_health.broker = HostPortText(m_settings.host, m_settings.port);
    m_health.since = WallNow();
    m_health.problem = "not connected yet";
}

MqttLink::~MqttLink() {
    mosquitto_destroy(m_client);
}

void MqttLink::Run() {
    int backoff = 1;
    bool first = true;
    while (!m_stopping) {
        {
            std::lock_guard lock(m_mutex);
            m_refused = false;
        }
        int result = first ? mosquitto_connect_async(m_client, m_settings.host.c_str(), m_settings.port,
                                                     KEEP_ALIVE_SECONDS)
                           : mosquitto_reconnect_async(m_client);
        if (result == MOSQ_ERR_SUCCESS) {
            first = false;
            while (!m_stopping) {
                result = mosquitto_loop(m_client, 200, 1);
                if (result != MOSQ_ERR_SUCCESS) {
                    break;
                }
                if (m_connected) {
                    backoff = 1;
                }
            }
        } else if (result == MOSQ_ERR_INVAL) {
            // A host the resolver does not know, for one.
            first = true;
        }
        if (m_stopping) {
            break;
        }
        NotConnected(result == MOSQ_ERR_SUCCESS ? "connection lost" : ErrorText(result));
        Pause(backoff);
        backoff = std::min(backoff * 2, LONGEST_BACKOFF_SECONDS);
    }
    if (m_connected) {
        Publish(m_statusTopic, "offline", true);
        mosquitto_disconnect(m_client);
        // The last publication and the DISCONNECT written, or a second at most.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < until &&
               mosquitto_loop(m_client, 100, 1) == MOSQ_ERR_SUCCESS) {
        }
        m_connected = false;
    }
}

void MqttLink::Stop() {
    m_stopping = true;
    std::lock_guard lock(m_mutex);
    m_wake.notify_all();
}

void MqttLink::Pause(int seconds) {
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_stopping.load(); });
}

MqttHealth MqttLink::CurrentHealth() {
    std::lock_guard lock(m_mutex);
    return m_health;
}

void MqttLink::NotConnected(const std::string& problem) {
    const bool was = m_connected.exchange(false);
    bool say = false;
    {
        std::lock_guard lock(m_mutex);
        if (was) {
            m_health.since = WallNow();
        }
        if (m_refused) {
            return; // the broker's own reason stays
        }
        say = was || m_health.problem != problem;
        m_health.connected = false;
        m_health.problem = problem;
    }
    if (say) { // not under the lock: the log's reader may be slow
        LogError("broker " + m_health.broker + ": " + problem + "; connecting again, HTTP and SNPP go on");
    }
}

void MqttLink::OnConnect(mosquitto*, void* self, int result, int flags) {
    static_cast<MqttLink*>(self)->Connected(result, flags);
}

void MqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    static_cast<MqttLink*>(self)->Received(*message);
}

void MqttLink::OnSubscribe(mosquitto*, void* self, int, int count, const int* granted) {
    auto* link = static_cast<MqttLink*>(self);
    for (int i = 0; i < count; ++i) {
        if (granted[i] > 2) {
            LogError("broker " + link->m_health.broker + " refused a subscription of " +
                     link->m_settings.prefix + "/" + link->m_settings.name +
                     ": no pages come through it (see the broker's ACL)");
        }
    }
}

void MqttLink::Connected(int result, int flags) {
    if (result != 0) {
        const std::string problem = std::string("refused: ") + mosquitto_connack_string(result);
        bool changed = false;
        {
            std::lock_guard lock(m_mutex);
            changed = m_health.problem != problem;
            m_health.problem = problem;
            m_refused = true;
        }
        if (changed) {
            LogError("broker " + m_health.broker + " " + problem + "; trying again, HTTP and SNPP go on");
        }
        return;
    }
    const bool sessionKept = (flags & 1) != 0;
    // A kept session: what the broker has not seen acknowledged (a PUBACK queued or written but lost with
    // the connection or the process) it sends again now, before anything new.
    m_resending = sessionKept;
    if (!sessionKept) {
        // A new session: nothing delivered before comes again.
        try {
            m_intake.Store().ForgetDeliveries();
        } catch (const StoreError& error) {
            LogError(std::string("broker: ") + error.what());
        }
    }
    // Subscribed again on every connection: a broker that lost or changed the session still sends.
    const std::string own = m_settings.prefix + "/" + m_settings.name + "/pages";
    const std::string all = m_settings.prefix + "/all/pages";
    // Acknowledgements of its pages, PREFIX/NAME/pages/ID/ack.
    const std::string acks = own + "/+/ack";
    // Its own status too: a retained "offline" someone else leaves there while it runs is put right.
    char* topics[] = {const_cast<char*>(own.c_str()), const_cast<char*>(all.c_str()),
                      const_cast<char*>(m_statusTopic.c_str()), const_cast<char*>(acks.c_str())};
    mosquitto_subscribe_multiple(m_client, nullptr, 4, topics, QOS, 0, nullptr);
    m_connected = true;
    Publish(m_statusTopic, "online", true);
    {
        std::lock_guard lock(m_mutex);
        m_health.connected = true;
        m_health.since = WallNow();
        m_health.problem.clear();
    }
    LogLine("broker " + m_health.broker + " connected (" + (m_settings.tls ? "TLS, " : "") +
            (sessionKept ? "session kept" : "new session") + "): pages from " + own + " and " + all);
}

void MqttLink::Received(const mosquitto_message& message) {
    const std::string topic = ValidUtf8(message.topic ? message.topic : "");
    const std::string_view payload(static_cast<const char*>(message.payload),
                                   message.payload ? static_cast<std::size_t>(message.payloadlen) : 0);
    if (topic == m_statusTopic) {
        if (payload != "online" && m_connected && !m_stopping) { // not its own last word
            LogWarning("status " + topic + ": \"" + ValidUtf8(std::string(payload.substr(0, 64))) +
                       "\" is not this gateway's, which runs: online published again");
            Publish(m_statusTopic, "online", true);
        }
        return;
    }
    if (const std::optional<int64_t> id = AckedPage(topic); id && !message.retain) {
        Acknowledge(*id, topic, payload);
        return;
    }
    if (message.retain) {
        // The broker's retained copy, handed to every new subscription: an old message, not a page now (a
        // retained message published while the gateway is subscribed comes live, without the flag, and is
        // paged). Said once a run for each message, not at every reconnection.
        if (m_retainedSeen.size() > 100) {
            m_retainedSeen.clear(); // the two topics hold two retained messages at most; this is a storm
        }
        if (m_retainedSeen.insert(Digest(topic, payload)).second) {
            LogWarning(
                "retained message on " + topic +
                " not paged: a retained copy is an old message (clear it: mosquitto_pub -r -n -t TOPIC)");
        }
        return;
    }
    if (payload.size() > MAX_MESSAGE) {
        Reject(topic, "the message is larger than " + std::to_string(MAX_MESSAGE / 1024) + " kB (" +
                          std::to_string(payload.size()) + " bytes)");
        return;
    }
    NewPage page;
    page.source = "mqtt " + topic;
    std::variant<ReadPage, PageRefusal> read = PageFromJson(payload, std::move(page), m_intake);
    if (auto* refusal = std::get_if<PageRefusal>(&read)) {
        Reject(topic, refusal->message);
        return;
    }
    const NewPage& accepted = std::get<ReadPage>(read).page;
    std::string failure;
    bool duplicate = false;
    if (message.qos == 0) {
        // Sent at most once by its publisher: no acknowledgement to wait for, nothing delivered again.
        std::variant<int64_t, std::string> id = m_intake.Submit(accepted);
        if (auto* reason = std::get_if<std::string>(&id)) {
            failure = *reason;
        }
    } else {
        const Delivery delivery{message.mid, Digest(topic, payload), m_resending};
        std::variant<Submitted, std::string> submitted = m_intake.SubmitDelivered(accepted, delivery);
        if (auto* reason = std::get_if<std::string>(&submitted)) {
            failure = *reason;
        } else {
            duplicate = std::get<Submitted>(submitted).duplicate;
            if (!duplicate) {
                m_resending = false; // a new message: the broker's resending is over
            }
        }
    }
    if (!failure.empty()) {
        // Not stored, so not acknowledged: cutting the connection before the queued PUBACK is written makes
        // the broker deliver the message again after the reconnection. Every record stays, since the
        // PUBACKs handed to the socket before the cut may never have reached the broker.
        ::shutdown(mosquitto_socket(m_client), SHUT_RDWR);
        return;
    }
    std::lock_guard lock(m_mutex);
    ++(duplicate ? m_health.duplicates : m_health.accepted);
}

std::optional<int64_t> MqttLink::AckedPage(const std::string& topic) const {
    const std::string pages = m_settings.prefix + "/" + m_settings.name + "/pages/";
    if (!topic.starts_with(pages) || !topic.ends_with("/ack")) {
        return std::nullopt;
    }
    const std::string id = topic.substr(pages.size(), topic.size() - pages.size() - 4);
    if (id.empty() || id.size() > 18 || id.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoll(id);
}

void MqttLink::Acknowledge(int64_t id, const std::string& topic, std::string_view payload) {
    // Who answered: {"by": "nurse-3"} in the message, else the broker's client.
    std::string by = "mqtt";
    const Json body = Json::parse(payload, nullptr, false);
    if (body.is_object() && body.contains("by") && body["by"].is_string() &&
        !body["by"].get<std::string>().empty()) {
        by = ValidUtf8(body["by"].get<std::string>().substr(0, 64));
    }
    Answered answered;
    try {
        answered = m_intake.Store().AnswerPage(id, Answer{"acknowledged", by, "mqtt"}, QueueNow());
    } catch (const StoreError& error) {
        Reject(topic, std::string("not stored: ") + error.what());
        return;
    }
    switch (answered.outcome) {
    case Answered::Outcome::Answered:
        LogLine("page " + std::to_string(id) + " acknowledged by " + by + " (mqtt " + topic + ")");
        return;
    case Answered::Outcome::AnsweredBefore:
        return;
    case Answered::Outcome::NoSuchPage:
        Reject(topic, "no page " + std::to_string(id));
        return;
    case Answered::Outcome::NotAsked:
        Reject(topic, "page " + std::to_string(id) + " asks for no answer");
        return;
    case Answered::Outcome::Ended:
        Reject(topic,
               "page " + std::to_string(id) + " is " + answered.page->state + ": nothing to acknowledge");
        return;
    }
}

void MqttLink::Reject(const std::string& topic, const std::string& reason) {
    LogWarning("message on " + topic + " rejected: " + reason);
    {
        // Counted before it is told, so that whoever saw the rejection finds it counted.
        std::lock_guard lock(m_mutex);
        ++m_health.rejected;
    }
    const Json answer = {{"topic", topic}, {"error", reason}, {"time", IsoTime(WallNow())}};
    Publish(m_settings.prefix + "/" + m_settings.name + "/rejected", JsonText(answer), false);
}

void MqttLink::Publish(const std::string& topic, const std::string& payload, bool retain) {
    const int result = mosquitto_publish(m_client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                         payload.data(), QOS, retain);
    if (result != MOSQ_ERR_SUCCESS && result != MOSQ_ERR_NO_CONN) {
        LogError("broker: not published on " + topic + ": " + ErrorText(result));
    }
}

void MqttLink::PageChanged(int64_t id) {
    // While the broker is away the changes are not kept for it: the page's record has its state.
    if (!m_connected) {
        return;
    }
    std::optional<PageRecord> page;
    try {
        page = m_intake.Store().Get(id);
    } catch (const StoreError&) {
        return;
    }
    if (!page) {
        return;
    }
    Json state = {{"id", page->id}, {"state", page->state}};
    if (!page->reason.empty()) {
        state["reason"] = page->reason;
    }
    if (page->kind == PageKind::Text) {
        state["text"] = page->text;
    }
    state["source"] = page->source;
    if (page->answered > 0) {
        state["answered"] = {{"by", page->answeredBy}, {"via", page->answeredVia}};
    }
    state["time"] = IsoTime(page->finished > 0 ? page->finished : page->created);
    Publish(m_settings.prefix + "/" + m_settings.name + "/pages/" + std::to_string(id) + "/state",
            JsonText(state), false);
}

} // namespace velkor::gateway
