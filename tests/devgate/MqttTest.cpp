// devgate's MQTT face against a real broker (mosquitto on 127.0.0.1, a free
// port, no persistence) with mosquitto_sub and mosquitto_pub as the clients:
// retained values, writes reaching the simulated PLC, refusals, and the
// state coming back after the broker restarts.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>

#include "DeviceDescription.h"
#include "SiteFiles.h"
#include "gateway/HistoryDb.h"
#include "gateway/HostPort.h"
#include "gateway/Json.h"
#include "gateway/MqttFace.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A child process whose standard output is read line by line; killed at the end.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv) {
        int out[2];
        if (pipe(out) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        m_fd = out[0];
    }
    ~Child() { Kill(SIGTERM); }
    void Kill(int signal) {
        if (m_pid > 0) {
            kill(m_pid, signal);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    // The next line, or false at the deadline or the end of the output.
    bool ReadLine(std::string& line, Clock::time_point deadline) {
        for (;;) {
            size_t nl = m_buffer.find('\n');
            if (nl != std::string::npos) {
                line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{m_fd, POLLIN, 0};
            if (m_fd < 0 || left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char chunk[4096];
            ssize_t n = read(m_fd, chunk, sizeof chunk);
            if (n <= 0) return false;
            m_buffer.append(chunk, static_cast<size_t>(n));
        }
    }

private:
    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_buffer;
};

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

class MqttTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/sbin/mosquitto", X_OK) != 0 || access("/usr/bin/mosquitto_sub", X_OK) != 0)
            GTEST_SKIP() << "mosquitto and mosquitto-clients are not installed";
        port = std::to_string(FreePort());
        conf = folder.Write("broker.conf", "listener " + port +
                                               " 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest "
                                               "stderr\n");
        StartBroker();
        folder.Write("a.toml",
                     "[device]\nstation = 1\nwait_ms = 100\n[simulator]\nset = [\"D100=11,12\", \"D200=7\"]\n"
                     "[[channel]]\naddress = \"D100\"\ntype = \"WUB\"\ncount = 2\n"
                     "[[channel]]\naddress = \"D200\"\ntype = \"WUB\"\nrw = \"r\"\n");
        folder.Device("b.toml", 2, "");  // keeps the line up while a is silent
        std::string site =
            "[[line]]\nname = \"sim\"\nsimulate = true\n"
            "[[line.device]]\nname = \"a\"\ndescription = \"a.toml\"\ninterval_ms = 20\n"
            "[[line.device]]\nname = \"b\"\ndescription = \"b.toml\"\ninterval_ms = 20\n";
        gateway::Options options;
        options.plugin = QUORLAN_PLUGIN_PATH;
        gw = std::make_unique<gateway::Gateway>(gateway::LoadSite(folder.Write("site.toml", site)), options);
        feed = gw->Subscribe();
        gw->Start();
        mo.port = std::stoi(port);
        mo.prefix = "t";
        mo.clientId = "devgate-test-" + port;
        mo.log = false;
        face = std::make_unique<gateway::MqttFace>(*gw, mo);
        face->Start();
        ASSERT_TRUE(face->AwaitConnected(true, 10s));
        for (const gateway::ChannelModel& c : gw->Devices()[0].channels) names.push_back(c.name);
        ASSERT_EQ(names.size(), 3u);
    }
    void TearDown() override {
        face.reset();
        gw.reset();
    }

    // Waits for the broker's "running" line.
    void StartBroker() {
        broker = std::make_unique<Child>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", conf});
        std::string line;
        auto end = Clock::now() + 10s;
        while (broker->ReadLine(line, end))
            if (line.find(" running") != std::string::npos) return;
        FAIL() << "the broker did not start";
    }

    // mosquitto_sub on the topics until every expected topic has carried its
    // payload (10 s at most); what was seen last on each topic.
    std::map<std::string, std::string> AwaitMessages(const std::vector<std::string>& topics,
                                                     const std::map<std::string, std::string>& expected) {
        std::vector<std::string> argv{"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", port, "-v", "-W", "10"};
        for (const std::string& t : topics) argv.insert(argv.end(), {"-t", t});
        Child sub(argv);
        std::map<std::string, std::string> seen;
        std::string line;
        auto end = Clock::now() + 10s;
        auto done = [&] {
            for (const auto& [topic, payload] : expected)
                if (seen.count(topic) == 0 || seen[topic].find(payload) == std::string::npos) return false;
            return true;
        };
        while (!done() && sub.ReadLine(line, end)) {
            size_t space = line.find(' ');
            if (space != std::string::npos) seen[line.substr(0, space)] = line.substr(space + 1);
        }
        return seen;
    }

    // mosquitto_sub on the topic, subscribed: the gateway's retained online,
    // asked for in the same request, has come.
    std::unique_ptr<Child> Subscribed(const std::string& topic) {
        auto sub =
            std::make_unique<Child>(std::vector<std::string>{"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", port,
                                                             "-v", "-W", "10", "-t", topic, "-t", "t/$gateway"});
        std::string line;
        auto end = Clock::now() + 10s;
        while (sub->ReadLine(line, end) && line != "t/$gateway online") {
        }
        EXPECT_EQ(line, "t/$gateway online");
        return sub;
    }

    void Publish(const std::string& topic, const std::string& payload) {
        Child pub({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", port, "-q", "1", "-t", topic, "-m", payload});
        std::string line;
        while (pub.ReadLine(line, Clock::now() + 10s)) {
        }
    }

    // Takes changes from the gateway's feed until the channel holds the value (10 s at most).
    bool AwaitValue(int channel, int value) {
        auto end = Clock::now() + 10s;
        gateway::Change c;
        while (Clock::now() < end)
            if (feed->Pop(c, 100ms) && c.channel == channel && c.reading.status == gateway::Status::Ok &&
                c.reading.value.i == value)
                return true;
        return false;
    }

    plcsim::Plc& Plc() { return *gw->Simulator("sim")->Station(1); }
    std::string Topic(size_t channel) { return "t/a/" + names[channel]; }

    SiteFolder folder;
    std::string port, conf;
    std::unique_ptr<Child> broker;
    std::unique_ptr<gateway::Gateway> gw;
    std::shared_ptr<gateway::Subscription> feed;
    gateway::MqttOptions mo;
    std::unique_ptr<gateway::MqttFace> face;
    std::vector<std::string> names;
};

}  // namespace

TEST_F(MqttTest, RetainedValuesStateAndOnlineArriveWithTheSimulatorsValues) {
    auto seen = AwaitMessages({"t/#", "t/$gateway", "t/a/$state"}, {{Topic(0), "\"value\":11,"},
                                                                    {Topic(1), "\"value\":12,"},
                                                                    {Topic(2), "\"value\":7,"},
                                                                    {"t/a/$state", "\"state\":\"up\""},
                                                                    {"t/$gateway", "online"}});
    EXPECT_NE(seen[Topic(0)].find("\"status\":\"ok\""), std::string::npos) << seen[Topic(0)];
    EXPECT_EQ(seen[Topic(0)].rfind("{\"value\":11,\"time\":\"20", 0), 0u) << seen[Topic(0)];
    EXPECT_NE(seen["t/a/$state"].find("\"line\":\"sim\""), std::string::npos) << seen["t/a/$state"];
    EXPECT_EQ(seen["t/$gateway"], "online");
}

TEST_F(MqttTest, AWriteFromMosquittoPubReachesTheSimulatedPlc) {
    Publish(Topic(0) + "/set", "77");
    EXPECT_TRUE(AwaitValue(0, 77));
    EXPECT_EQ(Plc().Get("D", 100), 77);
    EXPECT_EQ(AwaitMessages({Topic(0)}, {{Topic(0), "\"value\":77,"}})[Topic(0)].find("\"value\":77,"), 1u);
}

TEST_F(MqttTest, RefusedWritesAndCommandsAreAnsweredOnErrorAndNotCarriedOut) {
    struct Case {
        std::string topic, payload, errorTopic, reason;
    };
    const std::vector<Case> cases = {
        {Topic(2) + "/set", "99", "t/a/$error", "read only"},
        {Topic(0) + "/set", "abc", "t/a/$error", "takes a number, not \\\"abc\\\""},
        {Topic(0) + "/set", "70000", "t/a/$error", "holds whole numbers 0..65535, not 70000"},
        {"t/a/$ioctl", "[\"WRITE(D,100,WUB=V)\"]", "t/a/$error", "unknown command keyword"},
        {"t/a/$ioctl", "WRITE(D,100,WUB=V)", "t/a/$error", "V is neither a variable of the command nor a number"},
        {Topic(0) + "/set", "\"unterminated", "t/a/$error", "malformed JSON string"},
        {Topic(0) + "/set", std::string(5000, '1'), "t/a/$error", "longer than 4096 bytes"},
        {"t/a/nosuch/set", "1", "t/a/$error", "no such channel"},
        {"t/zz/" + names[0] + "/set", "1", "t/zz/$error", "no such device"},
        {"t/a/$ioctl", "{\"command\":5}", "t/a/$error", "malformed command"},
        {"t/a/$ioctl", "{\"command\":\"READ(D,100,WUB=V)\",\"variables\":{\"V\":[1]}}", "t/a/$error", "variable V"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.topic + " " + c.payload.substr(0, 20));
        std::unique_ptr<Child> sub = Subscribed(c.errorTopic);
        std::string line;
        auto end = Clock::now() + 10s;
        Publish(c.topic, c.payload);
        bool answered = false;
        while (!answered && sub->ReadLine(line, end))
            answered = line.rfind(c.errorTopic + " {", 0) == 0 && line.find(c.reason) != std::string::npos &&
                       line.find(devdesc::Quote(c.topic)) != std::string::npos;
        EXPECT_TRUE(answered) << line;
    }
    // A write queued after them is carried out; none of them was.
    Publish(Topic(1) + "/set", "\"13\"");
    EXPECT_TRUE(AwaitValue(1, 13));
    EXPECT_EQ(Plc().Get("D", 200), 7);
    EXPECT_EQ(Plc().Get("D", 100), 11);
}

TEST_F(MqttTest, ACommandAnswersWithItsCodeAndVariablesOnTheResultTopic) {
    ASSERT_TRUE(AwaitValue(0, 11));  // the line is up
    std::unique_ptr<Child> sub = Subscribed("t/a/$ioctl/result");
    std::string line;
    auto end = Clock::now() + 10s;
    Publish("t/a/$ioctl", "{\"command\":\"READ(D,100,WUB=Level)\",\"variables\":{\"Level\":0}}");
    bool answered = false;
    while (!answered && sub->ReadLine(line, end)) answered = line.rfind("t/a/$ioctl/result {", 0) == 0;
    EXPECT_EQ(line,
              "t/a/$ioctl/result {\"command\":\"READ(D,100,WUB=Level)\",\"code\":0,\"meaning\":\"success\","
              "\"variables\":{\"Level\":11}}");
}

TEST_F(MqttTest, AfterTheBrokerIsKilledAndRestartedTheGatewayIsOnlineAndTheRetainedStateIsBack) {
    ASSERT_EQ(AwaitMessages({"t/#"}, {{Topic(0), "\"value\":11,"}}).count(Topic(0)), 1u);
    broker->Kill(SIGKILL);
    ASSERT_TRUE(face->AwaitConnected(false, 10s));
    Plc().Set("D", 101, 55);  // changed while the broker is away
    EXPECT_TRUE(AwaitValue(1, 55));
    StartBroker();  // same port, no persistence: nothing retained but what the gateway publishes again
    ASSERT_TRUE(face->AwaitConnected(true, 10s));
    auto seen = AwaitMessages({"t/#", "t/$gateway", "t/a/$state"}, {{Topic(0), "\"value\":11,"},
                                                                    {Topic(1), "\"value\":55,"},
                                                                    {Topic(2), "\"value\":7,"},
                                                                    {"t/a/$state", "\"state\":\"up\""},
                                                                    {"t/$gateway", "online"}});
    EXPECT_EQ(seen["t/$gateway"], "online");
    EXPECT_NE(seen[Topic(1)].find("\"value\":55,"), std::string::npos) << seen[Topic(1)];
}

TEST_F(MqttTest, AWriteSentWhileTheGatewayWasAwayIsCarriedOutWhenItComesBackUnderItsId) {
    face.reset();  // a clean stop: the broker keeps the session
    Publish(Topic(0) + "/set", "88");
    face = std::make_unique<gateway::MqttFace>(*gw, mo);
    face->Start();
    EXPECT_TRUE(AwaitValue(0, 88));
    EXPECT_EQ(Plc().Get("D", 100), 88);
}

TEST_F(MqttTest, AFaceWhoseQueueDropsEverythingStillShowsTheSilentDeviceAsTheGatewayDoes) {
    face.reset();
    mo.feedCapacity = 0;  // every change is dropped: the face only ever catches up
    face = std::make_unique<gateway::MqttFace>(*gw, mo);
    face->Start();
    ASSERT_TRUE(face->AwaitConnected(true, 10s));
    ASSERT_TRUE(AwaitValue(0, 11));
    Plc().AddFault(plcsim::FaultRule{});  // never answers again
    gateway::Change c;
    for (auto end = Clock::now() + 10s; gw->Stats("a").online && Clock::now() < end;) feed->Pop(c, 100ms);
    ASSERT_FALSE(gw->Stats("a").online);
    std::map<std::string, std::string> expected{{"t/a/$state", "\"device\":{\"device\":\"a\",\"state\":\"offline\""}};
    std::vector<gateway::Reading> readings = gw->Readings("a");
    for (size_t i = 0; i < names.size(); ++i) expected[Topic(i)] = "{" + gateway::ReadingMembers(readings[i]) + "}";
    auto seen = AwaitMessages({"t/#"}, expected);
    for (const auto& [topic, payload] : expected) EXPECT_NE(seen[topic].find(payload), std::string::npos) << topic;
    EXPECT_NE(seen[Topic(0)].find("\"status\":\"failed\",\"code\":2}"), std::string::npos) << seen[Topic(0)];
}

TEST_F(MqttTest, AStoppedFaceLeavesOfflineRetained) {
    face->Stop();
    EXPECT_EQ(AwaitMessages({"t/$gateway"}, {{"t/$gateway", "offline"}})["t/$gateway"], "offline");
}

TEST_F(MqttTest, TheBacklogSendsTheSamplesAfterItsPositionInOrderWithEachGapOnce) {
    // A history of one channel: samples 1 to 6 at 1 s, 2 s, ... 6 s, a gap
    // the recorder wrote before sample 6, samples 1 and 2 pruned; the
    // position kept says sample 1 (at 1 s) was the last the broker took.
    std::string path = folder.Write("h.db", "");
    std::remove(path.c_str());
    gateway::MqttOptions bo = mo;
    bo.prefix = "h";
    bo.clientId = "devgate-backlog-" + port;
    bo.historyPath = path;
    {
        gateway::HistoryDb db(path, gateway::HistoryDb::Mode::Write, true);
        int channel = db.Register("a", "x", "D1", DATATYPE_INT);
        std::vector<gateway::HistoryDb::Row> rows;
        for (int i = 1; i <= 5; ++i)
            rows.push_back({channel, i * 1000, gateway::Status::Ok, 0, true, {DATATYPE_INT, i, 0.0, ""}});
        db.Append(rows, {});
        db.Append({{channel, 6000, gateway::Status::Ok, 0, true, {DATATYPE_INT, 6, 0.0, ""}}}, {{5500, 5600, 3}});
        ASSERT_EQ(db.Prune(2500, 100), 2u);
        db.SetMeta(gateway::BacklogKey(bo), "1 0 1000");
    }
    auto sub = Subscribed("h/#");
    gateway::MqttFace backlog(*gw, bo);
    backlog.Start();
    const std::vector<std::string> expected{
        "h/$gateway/gap {\"from\":\"1970-01-01T00:00:01.000Z\",\"to\":\"1970-01-01T00:00:03.000Z\",\"count\":1,"
        "\"reason\":\"retention\"}",
        "h/a/x {\"value\":3,\"time\":\"1970-01-01T00:00:03.000Z\",\"status\":\"ok\",\"code\":0}",
        "h/a/x {\"value\":4,\"time\":\"1970-01-01T00:00:04.000Z\",\"status\":\"ok\",\"code\":0}",
        "h/a/x {\"value\":5,\"time\":\"1970-01-01T00:00:05.000Z\",\"status\":\"ok\",\"code\":0}",
        "h/$gateway/gap {\"from\":\"1970-01-01T00:00:05.500Z\",\"to\":\"1970-01-01T00:00:05.600Z\",\"count\":3,"
        "\"reason\":\"not recorded\"}",
        "h/a/x {\"value\":6,\"time\":\"1970-01-01T00:00:06.000Z\",\"status\":\"ok\",\"code\":0}"};
    std::vector<std::string> seen;
    std::string line;
    for (auto end = Clock::now() + 10s; seen.size() < expected.size() && sub->ReadLine(line, end);)
        if (line.rfind("h/a/x ", 0) == 0 || line.rfind("h/$gateway/gap ", 0) == 0) seen.push_back(line);
    EXPECT_EQ(seen, expected);
    backlog.Stop();  // keeps the position: every message acknowledged
    std::string position;
    EXPECT_TRUE(gateway::HistoryDb(path, gateway::HistoryDb::Mode::Follow).Meta(gateway::BacklogKey(bo), position));
    EXPECT_EQ(position, "6 1 6000");
}

TEST(MqttNames, ADeviceNameThatCannotBeATopicLevelIsRefusedAtStart) {
    SiteFolder folder;
    folder.Device("a.toml", 1, "");
    for (const char* name : {"a+b", "a#", "a/b"}) {
        std::string site = "[[line]]\nname = \"sim\"\nsimulate = true\n[[line.device]]\nname = \"" + std::string(name) +
                           "\"\ndescription = \"a.toml\"\n";
        gateway::Options options;
        options.plugin = QUORLAN_PLUGIN_PATH;
        gateway::Gateway gw(gateway::LoadSite(folder.Write("site.toml", site)), options);
        try {
            gateway::MqttFace face(gw, gateway::MqttOptions{});
            ADD_FAILURE() << name << " was taken";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("cannot be a topic level"), std::string::npos) << e.what();
        }
    }
}

TEST(MqttText, HostPortAndPrefixAreCheckedAsTheCommandLineNeeds) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
    };
    for (const Case& c : {Case{"127.0.0.1:1883", true, "127.0.0.1", 1883}, Case{"broker:65535", true, "broker", 65535},
                          Case{"[::1]:8883", true, "::1", 8883}, Case{"broker", false, "", 0},
                          Case{"broker:0", false, "", 0}, Case{":1883", false, "", 0}, Case{"b:1883x", false, "", 0},
                          Case{"b:70000", false, "", 0}, Case{"::1:1883", false, "", 0}}) {
        std::string host;
        int port = 0;
        EXPECT_EQ(gateway::ParseHostPort(c.text, host, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host + ":" + std::to_string(port), std::string(c.host) + ":" + std::to_string(c.port));
        }
    }
    for (const char* bad : {"", "a/+", "#", "/a", "a/"}) EXPECT_FALSE(gateway::PrefixFault(bad).empty()) << bad;
    EXPECT_TRUE(gateway::PrefixFault("site/devgate").empty());
}

TEST(MqttText, ADeliveredAgainMessageIsSeenOnlyWithinItsWindow) {
    gateway::RecentMessages recent(std::chrono::seconds(60), 3);
    auto t0 = gateway::RecentMessages::Clock::now();
    EXPECT_FALSE(recent.Seen(7, "t/a/x/set", "5", t0));
    EXPECT_TRUE(recent.Seen(7, "t/a/x/set", "5", t0 + std::chrono::seconds(1)));    // delivered again
    EXPECT_FALSE(recent.Seen(7, "t/a/x/set", "6", t0 + std::chrono::seconds(1)));   // another payload
    EXPECT_FALSE(recent.Seen(8, "t/a/x/set", "5", t0 + std::chrono::seconds(1)));   // another message
    EXPECT_FALSE(recent.Seen(7, "t/a/x/set", "5", t0 + std::chrono::seconds(61)));  // window over
    recent.Clear();
    EXPECT_FALSE(recent.Seen(8, "t/a/x/set", "5", t0 + std::chrono::seconds(62)));
    for (int mid = 100; mid < 104; ++mid) recent.Seen(mid, "t", "p", t0 + std::chrono::seconds(62));
    EXPECT_FALSE(recent.Seen(100, "t", "p", t0 + std::chrono::seconds(62)));  // beyond the capacity
}

TEST(MqttCommandLine, MalformedMqttOptionsAreCommandLineErrors) {
    SiteFolder folder;
    folder.Device("a.toml", 1, "");
    std::string site = folder.Write("site.toml",
                                    "[[line]]\nname = \"l\"\nsimulate = true\n[[line.device]]\n"
                                    "name = \"a\"\ndescription = \"a.toml\"\n");
    for (const char* options : {"--mqtt broker", "--mqtt broker:0", "--mqtt 127.0.0.1:1 --mqtt-prefix 'a/#'",
                                "--mqtt 127.0.0.1:1 --mqtt-auth /nonexistent/auth", "--mqtt-backlog --history h.db",
                                "--mqtt 127.0.0.1:1 --mqtt-backlog --mqtt-backlog-rate 0 --history h.db"}) {
        std::string command = std::string(DEVGATE_PATH) + " run " + site + " --seconds 1 " + options + " 2>/dev/null";
        int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << options;
    }
}
