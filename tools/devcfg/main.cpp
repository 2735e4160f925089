// devcfg: device descriptions in TOML to configuration blobs and back.
//
//   devcfg check FILE.toml            validates the description
//   devcfg build FILE.toml -o FILE.bin writes the blob (current form)
//   devcfg dump FILE.bin [-o FILE.toml] prints TOML that builds the same blob
//
// Exit status: 0 done, 1 the description or blob is unusable (nothing is
// written), 2 wrong command line.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "DeviceDescription.h"

namespace {

// Writes a unique temporary file beside the output, checks every write and
// the close, and only then puts it in the output's place with rename: the old
// output stays untouched on any failure, and no temporary is left behind.
bool WriteFile(const std::string& path, const std::string& bytes) {
    std::string tmp = path + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        std::cerr << "devcfg: " << path << ": cannot be written: " << std::strerror(errno) << "\n";
        return false;
    }
    const char* p = bytes.data();
    size_t left = bytes.size();
    int error = 0;
    while (left > 0 && error == 0) {
        ssize_t n = ::write(fd, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            error = errno;
        } else if (n == 0) {
            error = EIO;
        }
    }
    // mkstemp makes the file for the owner only; give it the usual mode.
    if (error == 0) {
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd, 0666 & ~mask) != 0) error = errno;
    }
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(tmp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        std::cerr << "devcfg: " << path << ": cannot be written: " << std::strerror(error) << "\n";
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Device descriptions (TOML) to configuration blobs and back"};
    app.require_subcommand(1);
    std::string input, output;

    CLI::App* check = app.add_subcommand("check", "Validate a description");
    check->add_option("FILE", input, "Description (.toml)")->required();
    CLI::App* build = app.add_subcommand("build", "Write the configuration blob of a description");
    build->add_option("FILE", input, "Description (.toml)")->required();
    build->add_option("-o,--output", output, "Blob to write (.bin)")->required();
    CLI::App* dump = app.add_subcommand("dump", "Print a blob as a description");
    dump->add_option("FILE", input, "Configuration blob (.bin)")->required();
    dump->add_option("-o,--output", output, "Write the description here instead of the standard output");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    try {
        if (check->parsed()) {
            devdesc::Description d = devdesc::LoadToml(input);
            std::cout << input << ": " << d.rows.size() << " channel rows, fine\n";
            return 0;
        }
        if (build->parsed()) {
            devdesc::Description d = devdesc::LoadToml(input);
            std::vector<uint8_t> blob = devdesc::BuildBlob(d);
            if (!WriteFile(output, std::string(blob.begin(), blob.end()))) return 1;
            std::cout << output << ": " << d.rows.size() << " channel rows, " << blob.size() << " bytes\n";
            return 0;
        }
        std::ifstream in(input, std::ios::binary);
        if (!in) throw devdesc::Error(input + ": cannot be read");
        std::vector<uint8_t> blob((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        devdesc::Description d = devdesc::ReadBlob(blob, input);
        std::vector<std::string> problems;
        std::string text = devdesc::DumpToml(d, &problems);
        for (const std::string& p : problems) std::cerr << "devcfg: " << input << ": " << p << "\n";
        if (output.empty())
            std::cout << text;
        else if (!WriteFile(output, text))
            return 1;
        return problems.empty() ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "devcfg: " << e.what() << "\n";
        return 1;
    }
}
