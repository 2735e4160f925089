// The metrics' text: label values escaped, a face's number under one family
// for every face, and the latency histogram's buckets, sum and count.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "SiteFiles.h"
#include "gateway/Metrics.h"

TEST(Metrics, LabelValuesEscapeBackslashQuoteAndLineFeedOnly) {
    struct Case {
        const char* value;
        const char* label;
    } cases[] = {
        {"press1", "press1"},          {"a\"b", "a\\\"b"},         {"c:\\d", "c:\\\\d"},
        {"two\nlines", "two\\nlines"}, {"tab\there", "tab\there"}, {"\xe7\x82\x89", "\xe7\x82\x89"},
    };
    for (const Case& c : cases) EXPECT_EQ(gateway::MetricLabel(c.value), c.label) << c.value;
}

TEST(Metrics, EachFamilyIsDeclaredOnceWithItsSamplesAfterIt) {
    SiteFolder folder;
    folder.Device("a.toml", 1, "\"D100=1\"");
    gateway::Options options;
    options.plugin = QUORLAN_PLUGIN_PATH;
    gateway::Gateway g(gateway::LoadSite(folder.Write("site.toml",
                                                      "[[line]]\nname = \"l\"\nsimulate = true\n"
                                                      "[[line.device]]\nname = \"a\"\n"
                                                      "description = \"a.toml\"\n")),
                       options);
    using K = gateway::HealthItem::Kind;
    gateway::FaceHealth faces = {{"http", {{"clients", K::Gauge, 3, "Clients."}}},
                                 {"modbus", {{"clients", K::Gauge, 2, "Clients."}}}};
    std::ostringstream out;
    gateway::WriteMetrics(out, g, faces);
    std::string text = out.str();
    EXPECT_NE(text.find("# TYPE devgate_clients gauge\ndevgate_clients{face=\"http\"} 3\n"
                        "devgate_clients{face=\"modbus\"} 2\n"),
              std::string::npos)
        << text;
    // 12 bounds from 1 ms to 5 s, then +Inf; nothing measured before polling.
    const std::string h = "devgate_device_request_duration_seconds";
    EXPECT_NE(text.find("# TYPE " + h + " histogram\n" + h + "_bucket{line=\"l\",device=\"a\",le=\"0.001\"} 0\n"),
              std::string::npos);
    EXPECT_NE(text.find(h + "_bucket{line=\"l\",device=\"a\",le=\"5\"} 0\n" + h +
                        "_bucket{line=\"l\",device=\"a\",le=\"+Inf\"} 0\n" + h + "_sum{line=\"l\",device=\"a\"} 0\n" +
                        h + "_count{line=\"l\",device=\"a\"} 0\n"),
              std::string::npos);
    // No family twice: a family's samples stay together.
    std::istringstream lines(text);
    std::set<std::string> declared;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_TRUE(declared.insert(line.substr(7, line.find(' ', 7) - 7)).second) << line;
        }
    }
}
