// devgate run as a child process: JSON lines with every field, and SIGTERM
// ending the run cleanly with exit status 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>

#include "SiteFiles.h"

TEST(Run, JsonLinesCarryTheValuesAndSigtermEndsTheRunCleanly) {
    SiteFolder folder;
    folder.Device("a.toml", 5, "\"D100=11\"");
    std::string site = folder.Write("site.toml",
                                    "[[line]]\nname = \"l\"\nsimulate = true\n[[line.device]]\n"
                                    "name = \"a\"\ndescription = \"a.toml\"\n");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);  // the summary
        close(out[0]);
        close(out[1]);
        execl(DEVGATE_PATH, DEVGATE_PATH, "run", site.c_str(), "--format", "jsonl", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    char line[1024];
    bool seen = false;
    // Lines come until the value of D100 does (the read blocks; no sleeping).
    while (!seen && std::fgets(line, sizeof line, in) != nullptr)
        seen = std::string(line).find(
                   "\"device\":\"a\",\"channel\":\"读写DWUB0100\",\"element\":\"D100\","
                   "\"value\":11,\"status\":\"ok\"}") != std::string::npos;
    EXPECT_TRUE(seen);
    EXPECT_EQ(std::string(line).rfind("{\"time\":\"20", 0), 0u) << line;
    kill(pid, SIGTERM);
    while (std::fgets(line, sizeof line, in) != nullptr) {
    }
    std::fclose(in);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
