// devgate run as a child process: JSON lines with every field, catching up
// after dropped changes, and SIGTERM ending the run cleanly with exit status 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "SiteFiles.h"

namespace {

// A site of one simulated line with device a at station 5, its values set.
std::string OneDevice(const SiteFolder& folder, const std::string& set) {
    folder.Device("a.toml", 5, set);
    return folder.Write(
        "site.toml",
        "[[line]]\nname = \"l\"\nsimulate = true\n[[line.device]]\nname = \"a\"\ndescription = \"a.toml\"\n");
}

// devgate run SITE --format jsonl --feed-queue QUEUE, its standard output to read.
FILE* RunJsonLines(const std::string& site, const char* queue, pid_t& pid) {
    int out[2];
    if (pipe(out) != 0) return nullptr;
    pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);  // the summary
        close(out[0]);
        close(out[1]);
        execl(DEVGATE_PATH, DEVGATE_PATH, "run", site.c_str(), "--format", "jsonl", "--feed-queue", queue, "--seconds",
              "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    return fdopen(out[0], "r");
}

}  // namespace

TEST(Run, JsonLinesCarryTheValuesAndSigtermEndsTheRunCleanly) {
    SiteFolder folder;
    pid_t pid = -1;
    FILE* in = RunJsonLines(OneDevice(folder, "\"D100=11\""), "4096", pid);
    ASSERT_NE(in, nullptr);
    char line[1024];
    bool seen = false;
    // Lines come until the value of D100 does (the read blocks; no sleeping).
    while (!seen && std::fgets(line, sizeof line, in) != nullptr)
        seen = std::string(line).rfind(
                   "{\"device\":\"a\",\"channel\":\"读写DWUB0100\",\"element\":\"D100\","
                   "\"value\":11,\"time\":\"20",
                   0) == 0;
    EXPECT_TRUE(seen);
    EXPECT_NE(std::string(line).find("\",\"status\":\"ok\",\"code\":0}"), std::string::npos) << line;
    kill(pid, SIGTERM);
    while (std::fgets(line, sizeof line, in) != nullptr) {
    }
    std::fclose(in);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Run, JsonLinesThatDroppedChangesSayHowManyThenCatchUpWithEveryChannel) {
    SiteFolder folder;
    pid_t pid = -1;
    FILE* in = RunJsonLines(OneDevice(folder, "\"D100=11,12\""), "0", pid);  // nothing queued: every change is dropped
    ASSERT_NE(in, nullptr);
    char line[1024];
    bool dropped = false;
    while (!dropped && std::fgets(line, sizeof line, in) != nullptr)
        dropped = std::string(line).find("\",\"dropped\":") != std::string::npos;
    ASSERT_TRUE(dropped);
    // Then the line's state (once it has one), the device's and its two
    // channels' latest, in order.
    std::vector<std::string> next;
    auto more = [&] { return std::fgets(line, sizeof line, in) != nullptr && (next.push_back(line), true); };
    ASSERT_TRUE(more());
    if (next[0].find("\"line\":\"l\",\"event\":\"up\"") != std::string::npos) next.clear();
    while (next.size() < 3) ASSERT_TRUE(more());
    EXPECT_NE(next[0].find("\"device\":\"a\",\"line\":\"l\",\"event\":\"online\""), std::string::npos) << next[0];
    EXPECT_NE(next[1].find("\"element\":\"D100\""), std::string::npos) << next[1];
    EXPECT_NE(next[2].find("\"element\":\"D101\""), std::string::npos) << next[2];
    kill(pid, SIGTERM);
    while (std::fgets(line, sizeof line, in) != nullptr) {
    }
    std::fclose(in);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
