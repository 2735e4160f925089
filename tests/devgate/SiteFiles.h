// Site and description files in a fresh temporary folder for devgate's tests.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

class SiteFolder {
public:
    SiteFolder() {
        char dir[] = "/tmp/devgate-test-XXXXXX";
        m_dir = mkdtemp(dir) != nullptr ? dir : "/tmp";
    }
    ~SiteFolder() { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    // Writes the file; returns its path.
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(m_dir + "/" + name) << text;
        return m_dir + "/" + name;
    }
    // A small description: two words from D100 on at the station, values set.
    std::string Device(const std::string& name, int station, const std::string& set) const {
        return Write(name, "[device]\nstation = " + std::to_string(station) + "\nwait_ms = 100\n[simulator]\nset = [" +
                               set + "]\n[[channel]]\naddress = \"D100\"\ntype = \"WUB\"\ncount = 2\n");
    }

private:
    std::string m_dir;
};
