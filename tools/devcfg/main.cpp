// devcfg: device descriptions in TOML to configuration blobs and back.
//
//   devcfg check FILE.toml            validates the description
//   devcfg build FILE.toml -o FILE.bin writes the blob (current form)
//   devcfg dump FILE.bin [-o FILE.toml] prints TOML that builds the same blob
//
// Exit status: 0 done, 1 the description or blob is unusable (nothing is
// written), 2 wrong command line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

#include "DeviceDescription.h"

namespace {

// Writes through a temporary file, so that a failed write leaves no half file.
bool WriteFile(const std::string& path, const std::string& bytes) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) {
            std::cerr << "devcfg: " << tmp << ": cannot be written\n";
            return false;
        }
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            std::cerr << "devcfg: " << tmp << ": write failed\n";
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::cerr << "devcfg: " << path << ": cannot be written\n";
        std::remove(tmp.c_str());
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

    CLI11_PARSE(app, argc, argv);

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
    } catch (const devdesc::Error& e) {
        std::cerr << "devcfg: " << e.what() << "\n";
        return 1;
    }
}
