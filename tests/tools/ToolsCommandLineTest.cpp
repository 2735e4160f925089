// devcfg and devhost as programs: files written or not, exit status and
// messages, polling the simulator in jsonl form, a channel write seen in the
// PLC's memory, an IOCtrl command's variables.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "plcsim/Plc.h"
#include "plcsim/Server.h"

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class Tools : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/quorlan-tools-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    static std::string Example(const char* name) { return std::string(QUORLAN_SOURCE_DIR) + "/examples/" + name; }

    void WriteText(const std::string& name, const std::string& text) const { std::ofstream(Path(name)) << text; }
    static std::string ReadAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // Runs a command line; standard output and error apart.
    Result Run(const std::string& command) const {
        Result r;
        std::string errFile = Path("stderr.txt");
        FILE* p = popen((command + " 2>'" + errFile + "' </dev/null").c_str(), "r");
        if (p == nullptr) return r;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        int status = pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.err = ReadAll(errFile);
        return r;
    }

    std::string m_dir;
};

const std::string kDevcfg = DEVCFG_PATH;
const std::string kDevhost = DEVHOST_PATH;

TEST_F(Tools, DevcfgDumpOfABuiltBlobBuildsTheSameBytes) {
    for (const char* example : {"demo.toml", "large.toml"}) {
        ASSERT_EQ(Run(kDevcfg + " build " + Example(example) + " -o " + Path("a.bin")).status, 0);
        Result dump = Run(kDevcfg + " dump " + Path("a.bin") + " -o " + Path("a.toml"));
        ASSERT_EQ(dump.status, 0) << dump.err;
        ASSERT_EQ(Run(kDevcfg + " build " + Path("a.toml") + " -o " + Path("b.bin")).status, 0);
        std::string a = ReadAll(Path("a.bin"));
        EXPECT_GT(a.size(), 100u);
        EXPECT_EQ(a, ReadAll(Path("b.bin"))) << example;
    }
}

TEST_F(Tools, DevcfgRejectsABadDescriptionWithItsLineAndWritesNothing) {
    WriteText("bad.toml", "[device]\nstation = 2\n\n[[channel]]\naddress = \"D100\"\ntype = \"WUB\"\ncount = 0\n");
    for (const std::string& args :
         {" check " + Path("bad.toml"), " build " + Path("bad.toml") + " -o " + Path("bad.bin")}) {
        Result r = Run(kDevcfg + args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("bad.toml:7: channel 0, count: out of range: 0 (1..5000)"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::ifstream(Path("bad.bin")).good());
    EXPECT_EQ(Run(kDevcfg + " dump " + Path("missing.bin")).status, 1);
}

TEST_F(Tools, DevhostPollsTheSimulatorAndPrintsOneJsonLinePerStoredValue) {
    Result r = Run(kDevhost + " run --config " + Example("demo.toml") +
                   " --simulate --set D100=4321 --set D130=0x4142 --cycles 30 --interval 0 --format jsonl");
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::set<int> channels;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.rfind("{\"time\":\"20", 0), 0u) << line;
        size_t at = line.find("\"channel\":");
        ASSERT_NE(at, std::string::npos) << line;
        channels.insert(std::stoi(line.substr(at + 10)));
    }
    EXPECT_NE(
        r.out.find("\"channel\":0,\"name\":\"读写DWUB0100\",\"element\":\"D100\",\"type\":\"int\",\"value\":4321}"),
        std::string::npos);
    EXPECT_NE(r.out.find("\"element\":\"D110\",\"type\":\"double\",\"value\":3.1415927410125732}"), std::string::npos);
    EXPECT_NE(r.out.find("\"type\":\"string\",\"value\":\"AB"), std::string::npos);
    EXPECT_EQ(channels.size(), 41u);  // all 42 but the write-only D151
    EXPECT_EQ(channels.count(21), 0u);
    EXPECT_NE(r.err.find("summary: 30 calls"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(", 0 calls failed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("request latency: min"), std::string::npos) << r.err;
}

TEST_F(Tools, DevhostSimulatesThePlcWithTheDevicesStationAndCrcOrder) {
    WriteText("hl.toml", "[device]\nstation = 9\ncrc_order = \"HL\"\n[[channel]]\naddress = \"D7\"\ntype = \"WB\"\n");
    Result r = Run(kDevhost + " run --config " + Path("hl.toml") +
                   " --simulate --set D7=-5 --cycles 2 --interval 0 --format csv --trace");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(",0,读写DWB0007,-5\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(" tx 09 20 80 00 00 07 00 01 "), std::string::npos) << r.err;  // station 9, D7, 1 word
    EXPECT_NE(r.err.find(", 0 calls failed"), std::string::npos) << r.err;
}

TEST_F(Tools, DevhostWriteReachesThePlcAndTracesTheFrame) {
    plcsim::Plc plc;  // station 1, CRC low byte first, as the description says
    plcsim::TcpServer server(plc);
    server.Start();
    WriteText("dev.toml", "[device]\nstation = 1\n[[channel]]\naddress = \"D100\"\ntype = \"WUB\"\n");
    Result r = Run(kDevhost + " write --config " + Path("dev.toml") +
                   " --tcp 127.0.0.1:" + std::to_string(server.Port()) + " --channel 读写DWUB0100 --value 77 --trace");
    server.Stop();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("result 0 (success)"), std::string::npos) << r.out;
    EXPECT_EQ(plc.Get("D", 100), 77);
    // Station 01, function 21 (write words), area 80 (D), address 00 00 64
    // (100), count 00 01, 02 data bytes, 00 4D (77), CRC-16 0x5C5B low byte first.
    EXPECT_NE(r.err.find(" tx 01 21 80 00 00 64 00 01 02 00 4D 5B 5C\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" rx 01 21 80 00 00 64 00 01"), std::string::npos) << r.err;
}

TEST_F(Tools, DevhostCountsFailuresByCodeWhenThePlcStaysSilent) {
    plcsim::Plc::Settings other;
    other.station = 2;  // the description asks station 1
    plcsim::Plc plc(other);
    plcsim::TcpServer server(plc);
    server.Start();
    WriteText("dev.toml", "[device]\nwait_ms = 20\n[[channel]]\naddress = \"D1\"\ntype = \"WUB\"\n");
    Result r = Run(kDevhost + " run --config " + Path("dev.toml") +
                   " --tcp 127.0.0.1:" + std::to_string(server.Port()) + " --cycles 2 --interval 0");
    server.Stop();
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("2 requests, 2 calls failed\n  failed 2 x code 2 (no answer from the PLC)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("no answers (2 unanswered)"), std::string::npos) << r.out;
}

TEST_F(Tools, DevhostIoctlPrintsTheVariablesAndTheResult) {
    Result r = Run(kDevhost + " ioctl --config " + Example("demo.toml") +
                   " --simulate --set D100=5 'READ(D,100,WUB=Level=Done)' --var Level:int --var Done:double=9");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Done (double) = 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Level (int) = 5\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("result 0 (success)"), std::string::npos) << r.out;

    Result bad =
        Run(kDevhost + " ioctl --config " + Example("demo.toml") + " --simulate 'READ(Q,1,WUB=Level)' --var Level:int");
    EXPECT_EQ(bad.status, 3);
    EXPECT_NE(bad.out.find("result 5 (bad command"), std::string::npos) << bad.out;
}

TEST_F(Tools, DevhostSaysWhyItCannotStart) {
    WriteText("bad.toml", "[[channel]]\naddress = \"Q1\"\n");
    const std::pair<std::string, std::string> cases[] = {
        {" run --plugin " + Path("none.so") + " --config " + Example("demo.toml") + " --simulate",
         "plug-in cannot be loaded: " + Path("none.so") + ": cannot open shared object file"},
        {" run --config " + Example("demo.toml") + " --port " + Path("ttyNONE"),
         "port cannot be opened: " + Path("ttyNONE") + ": No such file or directory"},
        {" run --config " + Path("bad.toml") + " --simulate", "description invalid: " + Path("bad.toml") + ":2: "},
    };
    for (const auto& [args, message] : cases) {
        Result r = Run(kDevhost + args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

TEST_F(Tools, DevhostRejectsEveryBadCommandLineWithStatusTwoAndAMessage) {
    const std::string demo = " --config " + Example("demo.toml");
    const std::pair<std::string, std::string> cases[] = {
        {" run" + demo + " --simulate --tcp 127.0.0.1:1", "exactly one of"},
        {" run" + demo, "exactly one of"},
        {" run" + demo + " --tcp 127.0.0.1:1 --set D1=1", "--set requires --simulate"},
        {" run" + demo + " --tcp 127.0.0.1:1 --baud 19200", "--baud requires --port"},
        {" run" + demo + " --simulate --format xml", "--format"},
        {" run" + demo + " --simulate --cycles -1", "--cycles"},
        {" run --simulate", "--config is required"},
        {"", "subcommand"},
        {" write" + demo + " --simulate --channel 99999999999 --value 1", "channel 99999999999 beyond the table"},
        {" write" + demo + " --simulate --channel 42 --value 1", "channel 42 beyond the table of 42 channels"},
        {" write" + demo + " --simulate --channel 读写DWUB9999 --value 1", "no channel named '读写DWUB9999'"},
        {" write" + demo + " --simulate --channel 0 --value 5x", "(D100, WUB) takes a number, not \"5x\""},
        {" write" + demo + " --simulate --channel 0 --value -1", "(D100, WUB) holds whole numbers 0..65535, not -1"},
        {" ioctl" + demo + " --simulate 'xyz WRITE(D,100,WUB=V)' --var V:int=7",
         "unknown command keyword \"XYZ WRITE\""},
        {" ioctl" + demo + " --simulate 'WRITE(D,100,WUB=V)'", "V is neither a variable of the command nor a number"},
        {" ioctl" + demo + " --simulate 'WRITE(D,100,WUB=V)' --var V:int=70000", "D100, WUB holds whole numbers"},
        {" ioctl" + demo + " --simulate 'READ(D,100,WUB=N)' --var N:int=5x", "'5x' is no int value"},
        {" ioctl" + demo + " --simulate 'READ(D,100,WUB=N)' --var N:int=99999999999", "is no int value"},
        {" ioctl" + demo + " --simulate 'READ(D,100,WUB=N)' --var N:float", "expected NAME:int"},
        {" ioctl" + demo + " --simulate 'READ(D,100,WUB=N)' --var :int", "expected NAME:int"},
    };
    for (const auto& [args, message] : cases) {
        Result r = Run(kDevhost + args);
        EXPECT_EQ(r.status, 2) << args << "\n" << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << args << "\n" << r.err;
        EXPECT_EQ(r.out, "") << args;
    }
}

TEST_F(Tools, DevcfgLeavesTheOldOutputAndNoTemporaryWhenABuildFails) {
    WriteText("bad.toml", "[[channel]]\naddress = \"Q1\"\n");
    WriteText("old.bin", "old bytes");
    ASSERT_EQ(mkdir(Path("out").c_str(), 0755), 0);
    WriteText("out/keep", "");
    const std::pair<std::string, std::string> cases[] = {
        {Path("bad.toml") + " -o " + Path("old.bin"), "bad.toml:2: "},       // the description fails
        {Example("demo.toml") + " -o " + Path("out"), "cannot be written"},  // the output is a folder
        {Example("demo.toml") + " -o " + Path("none/a.bin"), "cannot be written"},
    };
    for (const auto& [args, message] : cases) {
        Result r = Run(kDevcfg + " build " + args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
    EXPECT_EQ(ReadAll(Path("old.bin")), "old bytes");
    std::set<std::string> left;
    for (const char* dir : {"", "out"}) {
        DIR* d = opendir(Path(dir).c_str());
        ASSERT_NE(d, nullptr);
        while (dirent* e = readdir(d)) left.insert(std::string(dir) + "/" + e->d_name);
        closedir(d);
    }
    EXPECT_EQ(left, (std::set<std::string>{"/.", "/..", "/bad.toml", "/old.bin", "/out", "/stderr.txt", "out/.",
                                           "out/..", "out/keep"}));
    // A good build replaces the old output.
    ASSERT_EQ(Run(kDevcfg + " build " + Example("demo.toml") + " -o " + Path("old.bin")).status, 0);
    EXPECT_GT(ReadAll(Path("old.bin")).size(), 100u);
}

TEST_F(Tools, PlcsimLinkReplacesOnlyAStaleLinkToAPseudoTerminal) {
    WriteText("file", "keep me");
    ASSERT_EQ(symlink("/etc/hostname", Path("foreign").c_str()), 0);
    for (const char* name : {"file", "foreign"}) {
        Result r = Run(std::string(PLCSIM_PATH) + " --pty --link " + Path(name));
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.err.find("is in the way"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << name;
    }
    EXPECT_EQ(ReadAll(Path("file")), "keep me");
    char target[64] = {};
    ASSERT_GT(readlink(Path("foreign").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/etc/hostname");

    // A link an earlier run left behind is replaced, and removed again when a
    // supervisor stops plcsim right after reading its first line.
    ASSERT_EQ(symlink("/dev/pts/999999", Path("stale").c_str()), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execl(PLCSIM_PATH, PLCSIM_PATH, "--pty", "--link", Path("stale").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(out[0]);
    EXPECT_EQ(line.rfind("/dev/pts/", 0), 0u) << line;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st {};
    EXPECT_NE(lstat(Path("stale").c_str(), &st), 0);
}

}  // namespace
