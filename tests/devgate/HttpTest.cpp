// The HTTP face's own pieces: the history rings' bounds and thinning, values
// for channels and commands taken from JSON, feed events as the page reads
// them, and an event stream that drops changes catching up.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <limits>

#include "SiteFiles.h"
#include "gateway/History.h"
#include "gateway/HttpAuth.h"
#include "gateway/HttpFace.h"
#include "gateway/HttpJson.h"

namespace {

using namespace std::chrono_literals;

struct Add {
    int64_t ms;
    bool null;
    int value;
};

struct HistoryCase {
    const char* name;
    size_t points;
    std::chrono::milliseconds spacing, keep;
    std::vector<Add> adds;
    int64_t from;
    std::vector<Add> expected;  // oldest first
};

std::vector<Add> Ramp(int64_t from, int64_t to) {
    std::vector<Add> out;
    for (int64_t ms = from; ms < to; ++ms) out.push_back({ms, false, static_cast<int>(ms)});
    return out;
}

std::vector<Add> Join(std::vector<Add> a, const std::vector<Add>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(History, KeepsTheNewestPointsWithinItsCountAgeAndSpacing) {
    const HistoryCase cases[] = {
        {"a full ring drops the oldest", 4, 0ms, 1000ms, Ramp(0, 10), 0, Ramp(6, 10)},
        {"points older than the age go", 100, 0ms, 5ms, Ramp(0, 10), 0, Ramp(4, 10)},
        {"the query starts at its time", 100, 0ms, 1000ms, Ramp(0, 10), 7, Ramp(7, 10)},
        // 16 points, 10 aged out, 11 more at one time: the ring grows past a wrapped head.
        {"growing keeps the order", 64, 0ms, 100ms, Join(Ramp(0, 16), std::vector<Add>(11, {110, false, 110})), 0,
         Join(Ramp(10, 16), std::vector<Add>(11, {110, false, 110}))},
        {"values within the spacing replace the newest",
         100,
         10ms,
         1000ms,
         Ramp(0, 25),
         0,
         {{0, false, 0}, {10, false, 10}, {20, false, 20}, {24, false, 24}}},
        {"a failure always takes a point",
         100,
         10ms,
         1000ms,
         {{0, false, 1}, {1, false, 2}, {2, true, 0}, {3, false, 4}, {4, false, 5}},
         0,
         {{0, false, 1}, {1, false, 2}, {2, true, 0}, {4, false, 5}}},
    };
    for (const HistoryCase& c : cases) {
        gateway::History h({{DATATYPE_INT}}, c.points, c.spacing, c.keep);
        for (const Add& a : c.adds) h.Add(0, 0, a.ms, a.null, toolkit::Value{DATATYPE_INT, a.value, 0.0, ""});
        std::vector<gateway::History::Point> got = h.Since(0, 0, c.from);
        ASSERT_EQ(got.size(), c.expected.size()) << c.name;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].ms, c.expected[i].ms) << c.name << " #" << i;
            EXPECT_EQ(got[i].null, c.expected[i].null) << c.name << " #" << i;
            if (!got[i].null) {
                EXPECT_EQ(got[i].value.i, c.expected[i].value) << c.name << " #" << i;
            }
        }
    }
}

TEST(History, StringPointsKeepTheirTextAcrossTheWrapAndUnknownChannelsHaveNone) {
    gateway::History h({{DATATYPE_STRING, DATATYPE_DOUBLE}}, 3, 0ms, 1000ms);
    for (int i = 0; i < 5; ++i) h.Add(0, 0, i, false, toolkit::Value{DATATYPE_STRING, 0, 0.0, std::to_string(i)});
    h.Add(0, 1, 0, false, toolkit::Value{DATATYPE_DOUBLE, 0, std::numeric_limits<double>::quiet_NaN(), ""});
    h.Add(5, 0, 5, false, toolkit::Value{});  // out of range: ignored
    std::vector<gateway::History::Point> got = h.Since(0, 0, 0);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].value.s + got[1].value.s + got[2].value.s, "234");
    EXPECT_TRUE(h.Since(0, 1, 0).at(0).null) << "a double that is no number is a gap";
    EXPECT_TRUE(h.Since(1, 0, 0).empty());
}

TEST(HttpJson, ValuesAreTakenAsSentWholeNumbersExactly) {
    struct Case {
        const char* json;
        bool ok, isText, exact;
        const char* text;  // as asked
    };
    const Case cases[] = {
        {"12", true, false, true, "12"},
        {"-9007199254740992", true, false, true, "-9007199254740992"},
        {"9007199254740993", true, false, false, "9007199254740993"},
        {"18446744073709551615", true, false, false, "18446744073709551615"},
        {"2.5", true, false, true, "2.5"},
        {"\"0x10\"", true, true, true, "0x10"},
        {"true", false, false, false, ""},
        {"[1]", false, false, false, ""},
        {"null", false, false, false, ""},
    };
    for (const Case& c : cases) {
        toolkit::Asked v;
        std::string why;
        ASSERT_EQ(gateway::AskedFromJson(nlohmann::json::parse(c.json), v, why), c.ok) << c.json;
        if (!c.ok) continue;
        EXPECT_EQ(v.isText, c.isText) << c.json;
        EXPECT_EQ(v.exact, c.exact) << c.json;
        EXPECT_EQ(v.text, c.text) << c.json;
    }
}

TEST(HttpJson, CommandVariablesTakeTheirTypeFromTheJson) {
    struct JsonCase {
        const char* json;
        DATATYPE type;
        bool ok;
        toolkit::Value expected;
    };
    const JsonCase cases[] = {
        {"7", DATATYPE_INT, true, {DATATYPE_INT, 7, 0.0, ""}},
        {"-2147483648", DATATYPE_INT, true, {DATATYPE_INT, INT32_MIN, 0.0, ""}},
        {"1.0", DATATYPE_DOUBLE, true, {DATATYPE_DOUBLE, 0, 1.0, ""}},
        {"\"s\"", DATATYPE_STRING, true, {DATATYPE_STRING, 0, 0.0, "s"}},
        {"3000000000", DATATYPE_INT, false, {}},
        {"false", DATATYPE_INT, false, {}},
        {"{}", DATATYPE_INT, false, {}},
    };
    for (const JsonCase& c : cases) {
        toolkit::Value v;
        std::string why;
        ASSERT_EQ(gateway::VariableFromJson(nlohmann::json::parse(c.json), v, why), c.ok) << c.json;
        if (!c.ok) continue;
        EXPECT_EQ(v.type, c.expected.type) << c.json;
        EXPECT_EQ(v.i, c.expected.i) << c.json;
        EXPECT_EQ(v.d, c.expected.d) << c.json;
        EXPECT_EQ(v.s, c.expected.s) << c.json;
    }
}

TEST(HttpJson, FeedEventsCarryTheFieldsThePageReads) {
    SiteFolder folder;
    folder.Device("a.toml", 1, "");
    gateway::Options options;
    options.plugin = QUORLAN_PLUGIN_PATH;
    gateway::Gateway g(gateway::LoadSite(folder.Write("site.toml",
                                                      "[[line]]\nname = \"l\"\nsimulate = true\n[[line.device]]\n"
                                                      "name = \"a\"\ndescription = \"a.toml\"\n")),
                       options);
    gateway::Change line;
    line.kind = gateway::Change::Kind::Line;
    line.line = "l";
    line.event = "down";
    line.code = -2;
    line.message = "no \"port\"";
    gateway::Change value;
    value.device = "a";
    value.deviceIndex = 0;
    value.channel = 1;
    value.reading.status = gateway::Status::Failed;
    value.reading.code = 2;
    EXPECT_EQ(gateway::EventText(g, line),
              "event: line\ndata: {\"line\":\"l\",\"event\":\"down\",\"code\":-2,\"message\":\"no \\\"port\\\"\","
              "\"time\":\"1970-01-01T00:00:00.000Z\"}\n\n");
    EXPECT_EQ(gateway::EventText(g, value),
              "event: value\ndata: {\"device\":\"a\",\"channel\":\"" + g.Devices()[0].channels[1].name +
                  "\",\"value\":null,\"time\":null,\"status\":\"failed\",\"code\":2}\n\n");
    value.channel = 2;  // beyond the device's two channels
    EXPECT_EQ(gateway::EventText(g, value), "");
    gateway::Change device = value;
    device.kind = gateway::Change::Kind::Device;
    device.event = "offline";
    device.message = "no answer";
    EXPECT_EQ(gateway::EventText(g, device),
              "event: device\ndata: {\"device\":\"a\",\"state\":\"offline\",\"since\":\"1970-01-01T00:00:00.000Z\","
              "\"code\":0,\"reason\":\"no answer\"}\n\n");
}

// GET path from the face at url ("http://127.0.0.1:PORT/"): the connected
// socket, the request sent; -1 when it cannot connect.
int Get(const std::string& url, const std::string& path) {
    int port = std::stoi(url.substr(url.rfind(':') + 1));
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(s, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
        close(s);
        return -1;
    }
    return s;
}

// Reads from the socket until the text holds what (10 s at most); the text read.
std::string ReadUntil(int s, const std::string& what) {
    std::string text;
    auto end = std::chrono::steady_clock::now() + 10s;
    char chunk[4096];
    while (text.find(what) == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = read(s, chunk, sizeof chunk);
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

TEST(HttpEvents, AStreamThatDropsChangesTellsThePageToReadTheValuesAgainWhichShowTheSilentDevice) {
    SiteFolder folder;
    folder.Device("a.toml", 1, "\"D100=11,12\"");
    folder.Device("b.toml", 2, "");  // keeps the line up while a is silent
    gateway::Options options;
    options.plugin = QUORLAN_PLUGIN_PATH;
    options.probeFirst = 1h;
    gateway::Gateway g(gateway::LoadSite(folder.Write("site.toml",
                                                      "[[line]]\nname = \"l\"\nsimulate = true\n[[line.device]]\n"
                                                      "name = \"a\"\ndescription = \"a.toml\"\n[[line.device]]\n"
                                                      "name = \"b\"\ndescription = \"b.toml\"\n")),
                       options);
    gateway::HttpOptions ho;
    ho.listen = "127.0.0.1:0";
    ho.eventQueue = 0;  // every change is dropped
    gateway::HttpFace face(g, ho);
    face.Start();
    int stream = Get(face.Url(), "/api/events");
    ASSERT_GE(stream, 0);
    ASSERT_NE(ReadUntil(stream, "text/event-stream").find("200 OK"), std::string::npos);
    auto feed = g.Subscribe();
    g.Simulator("l")->Station(1)->AddFault(plcsim::FaultRule{});  // never answers
    g.Start();
    gateway::Change c;
    for (auto end = std::chrono::steady_clock::now() + 10s;
         g.Stats("a").online && std::chrono::steady_clock::now() < end;)
        feed->Pop(c, 100ms);
    ASSERT_FALSE(g.Stats("a").online);
    std::string events = ReadUntil(stream, "event: resync\ndata: {\"dropped\":");
    close(stream);
    EXPECT_NE(events.find("event: resync"), std::string::npos) << events;
    EXPECT_EQ(events.find("event: value"), std::string::npos) << events;
    int values = Get(face.Url(), "/api/values");
    std::string body = ReadUntil(values, std::string(1, '\0'));  // all, to the server's close
    close(values);
    std::vector<gateway::Reading> readings = g.Readings("a");
    for (size_t i = 0; i < readings.size(); ++i)
        EXPECT_NE(body.find(gateway::ReadingJson("a", g.Devices()[0].channels[i].name, readings[i])), std::string::npos)
            << body;
    int site = Get(face.Url(), "/api/site");
    body = ReadUntil(site, std::string(1, '\0'));
    close(site);
    EXPECT_NE(body.find("\"state\":\"offline\",\"since\":"), std::string::npos) << body;
    face.Stop();
    g.Stop();
}

TEST(HttpAuth, ReadsAreOpenOnlyForAHostThatIsExactlyALoopbackName) {
    const std::pair<const char*, bool> cases[] = {
        {"localhost", true},
        {"LocalHost:8080", true},
        {"127.0.0.1", true},
        {"127.255.0.9:65535", true},
        {"[::1]", true},
        {"[::1]:80", true},
        {"", false},
        {"::1", false},  // an IPv6 address without brackets is no Host
        {"127.0.0.1.evil.example", false},
        {"127.evil.example", false},
        {"127.0.0.1evil.example", false},
        {"127.0.0.1:8080.evil.example", false},
        {"127.0.0.256", false},
        {"127.0.0", false},
        {"127.0.0.1.", false},
        {"localhost.evil.example", false},
        {"localhost:", false},
        {"localhost:123456", false},
        {"[::1].evil.example", false},
        {"[::1", false},
        {"10.0.0.1", false},
    };
    for (const auto& [host, open] : cases) EXPECT_EQ(gateway::LoopbackHost(host), open) << '"' << host << '"';
}

TEST(HttpAuth, TheTokenIsComparedByteForByteAsTheHeaderCarriesIt) {
    const std::string token = "a1b2";
    const std::pair<std::string, bool> cases[] = {
        {"Bearer a1b2", true},
        {"bearer a1b2", true},
        {"Bearer a1b2\n", false},
        {"Bearer a1b2%0A", false},
        {std::string("Bearer a1b2\0junk", 16), false},
        {"Bearer %61%31%62%32", false},  // the token percent-encoded
        {"Bearer  a1b2", false},
        {"Bearer a1b", false},
        {"Bearer a1b2a", false},
        {"Basic a1b2", false},
        {"a1b2", false},
        {"Bearer ", false},
    };
    for (const auto& [header, ok] : cases) EXPECT_EQ(gateway::BearerMatches(header, token), ok) << header;
    EXPECT_FALSE(gateway::BearerMatches("Bearer ", "")) << "an empty secret matches nothing";
}

}  // namespace
