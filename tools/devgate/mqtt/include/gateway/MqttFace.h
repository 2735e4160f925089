// devgate's MQTT face: publishes every channel of the site to a broker and
// carries out writes and commands that come in from it.
//
//   PREFIX/DEVICE/CHANNEL          the channel's value on change (retained, QoS 1):
//                                  {"value":..,"time":"..","status":"ok","code":0}
//   PREFIX/DEVICE/$state           the device's line and its own state (retained):
//                                  {"line":..,"state":"up"|"down","time":..,"code":..,"message":..,
//                                   "device":{"device":..,"state":"online"|"offline","since":..,"code":..,"reason":..}}
//   PREFIX/$gateway                online / offline (retained; offline is also the will)
//   PREFIX/DEVICE/CHANNEL/set      in: a value as text (or a JSON string)
//   PREFIX/DEVICE/$ioctl           in: the command text, or {"command":..,"variables":{..}}
//   PREFIX/DEVICE/$ioctl/result    out: {"command":..,"code":..,"meaning":..,"variables":{..}}
//   PREFIX/DEVICE/$error           out: {"topic":..,"reason":..,"time":..} for what is refused or failed
//   PREFIX/$gateway/backlog        with a backlog (retained): {"behind":N,"oldest":"..",
//                                  "rate":R,"limit":L}
//   PREFIX/$gateway/gap            with a backlog: {"from":..,"to":..,"count":N,"reason":..}, once a gap
//
// With a backlog (MqttOptions::historyPath), the channels' values come from
// the history on disk instead of the change feed: every recorded sample in
// the order written, with its own time, at most backlogRate a second. The
// position (the last sample the broker acknowledged, and before it every
// other) is kept in the database, so that a broker outage or a restart
// resumes where the broker stopped taking; the retained value of each topic
// ends as its newest sample because the order is the history's.
//
// The change feed is read by a thread of its own that keeps each channel's
// latest reading for the publisher: a broker that is slow or gone never holds
// up a line, and an overloaded face publishes the newest values. Writes and
// commands go to one worker a line, so that they keep their order per device
// and a slow line delays no other. A network thread runs the connection and
// reconnects with a growing pause; after every connection, and after the
// face's queue on the feed overflowed, the whole state is published again.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "gateway/Face.h"
#include "gateway/Gateway.h"

namespace gateway {

struct MqttOptions {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string prefix = "devgate";
    std::string clientId;          // empty: devgate-HOSTNAME-PID
    std::string authFile;          // empty: no user name; else its first line is user:password
    std::string caFile;            // empty: no TLS; else TLS checked against this CA file
    size_t payloadLimit = 4096;    // of a set or command payload
    size_t feedCapacity = 16384;   // the face's queue on the change feed
    size_t pendingPerLine = 256;   // writes and commands waiting for a line
    size_t unacknowledged = 2000;  // messages sent and not yet acknowledged before the feed waits
    unsigned reconnectMinS = 1, reconnectMaxS = 30;
    bool log = true;             // connection changes on standard error
    std::string historyPath;     // not empty: publish the backlog from this history database
    unsigned backlogRate = 500;  // samples a second at most
    size_t backlogWindow = 256;  // samples sent and not yet acknowledged at most
};

// The meta key of the backlog's position: one for every broker and prefix.
std::string BacklogKey(const MqttOptions& options);

// A topic prefix: not empty, no '+' or '#', no '/' at either end; the reason
// when not, empty when it is fine.
std::string PrefixFault(const std::string& prefix);
// The user and password of an auth file: its first line, "user:password"
// (the password is everything after the first ':'). Throws
// std::runtime_error when the file cannot be read or the line has no user.
void ReadMqttAuth(const std::string& path, std::string& user, std::string& password);

// Incoming messages seen lately, by message id, topic and payload: a message
// the broker delivers again (after a connection broke before it had our
// acknowledgement) is recognised and not carried out twice. Entries older
// than the window or beyond the capacity are forgotten.
class RecentMessages {
public:
    using Clock = std::chrono::steady_clock;
    RecentMessages(Clock::duration window, size_t capacity) : m_window(window), m_capacity(capacity) {}

    // True when the same message was seen within the window; otherwise it is
    // remembered and false returned.
    bool Seen(int mid, const std::string& topic, const std::string& payload, Clock::time_point now);
    // A new session on the broker: nothing can be delivered again.
    void Clear();

private:
    struct Entry {
        Clock::time_point at;
        std::string key;
    };
    Clock::duration m_window;
    size_t m_capacity;
    std::deque<Entry> m_order;
    std::map<std::string, Clock::time_point> m_seen;
};

class MqttFace : public Face {
public:
    // Checks the names (a device or channel name with '+', '#' or '/' cannot
    // be a topic level), reads the auth file and sets up the client; throws
    // std::runtime_error with the reason.
    MqttFace(Gateway& gateway, MqttOptions options);
    ~MqttFace();
    MqttFace(const MqttFace&) = delete;
    MqttFace& operator=(const MqttFace&) = delete;

    // Starts connecting; a broker that is not there yet is no error (the
    // face keeps trying). Throws std::runtime_error when the client cannot
    // start at all.
    void Start() override;
    // Publishes offline, disconnects and joins every thread.
    void Stop() override;
    std::string Name() const override { return "mqtt"; }
    // Connected, the publisher's queue, reconnects, feed drops.
    std::vector<HealthItem> Health() const override;
    // "mqtt to HOST:PORT as ID"
    std::string Announcement() const override;

    bool Connected() const;
    // Waits until the face is connected (or not); false after the timeout.
    bool AwaitConnected(bool state, std::chrono::milliseconds timeout);
    // "127.0.0.1:1883 as devgate-host-123"
    std::string Describe() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace gateway
