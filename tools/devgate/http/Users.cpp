#include "gateway/Users.h"

#include <sodium.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace gateway {

namespace {

constexpr const char* kRoles[] = {"viewer", "operator", "admin"};

std::string Hex(const unsigned char* bytes, size_t n) {
    std::string out(n * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes, n);
    out.pop_back();
    return out;
}

std::string At(const std::string& path, const toml::node& node) {
    return path + ":" + std::to_string(node.source().begin.line) + ": ";
}

// A list of strings at key (absent: empty); false when it is something else.
bool Strings(const toml::table& t, const char* key, std::vector<std::string>& out) {
    const toml::node* node = t.get(key);
    if (node == nullptr) return true;
    const toml::array* list = node->as_array();
    if (list == nullptr) return false;
    for (const toml::node& item : *list) {
        if (!item.is_string() || item.as_string()->get().empty()) return false;
        out.push_back(item.as_string()->get());
    }
    return true;
}

}  // namespace

const char* RoleWord(Role role) { return kRoles[static_cast<int>(role)]; }

bool ParseRole(const std::string& word, Role& role) {
    for (int r = 0; r < 3; ++r)
        if (word == kRoles[r]) {
            role = static_cast<Role>(r);
            return true;
        }
    return false;
}

bool Permits(Role role, Action action) {
    // Rows: viewer, operator, admin; columns: read, control, administer.
    static constexpr bool kTable[3][3] = {{true, false, false}, {true, true, false}, {true, true, true}};
    return kTable[static_cast<int>(role)][static_cast<int>(action)];
}

bool User::Controls(const std::string& device) const {
    if (!Permits(role, Action::Control)) return false;
    return role == Role::Admin || devices.empty() || std::find(devices.begin(), devices.end(), device) != devices.end();
}

std::vector<User> LoadUsers(const std::string& path) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        if (e.source().begin.line == 0) throw UsersError(path + ": cannot be read");
        throw UsersError(path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
    }
    std::vector<User> users;
    const toml::node* list = root.get("user");
    if (list == nullptr) return users;
    if (!list->is_array_of_tables()) throw UsersError(At(path, *list) + "user is a list of [[user]] tables");
    for (const toml::node& node : *list->as_array()) {
        const toml::table& t = *node.as_table();
        User u;
        u.line = static_cast<int>(t.source().begin.line);
        std::string where = At(path, t);
        u.name = t["name"].value_or(std::string());
        if (u.name.empty()) throw UsersError(where + "a user needs a name");
        for (const User& other : users)
            if (other.name == u.name)
                throw UsersError(where + "user " + u.name + " is there already (line " + std::to_string(other.line) +
                                 ")");
        std::string role = t["role"].value_or(std::string());
        if (!ParseRole(role, u.role))
            throw UsersError(where + "user " + u.name + ": role is viewer, operator or admin, not \"" + role + "\"");
        u.passwordHash = t["password_hash"].value_or(std::string());
        if (u.passwordHash.rfind("$argon2id$", 0) != 0)
            throw UsersError(where + "user " + u.name + ": password_hash is no Argon2id hash");
        if (!Strings(t, "devices", u.devices))
            throw UsersError(where + "user " + u.name + ": devices is a list of device names");
        if (!Strings(t, "tokens", u.tokens))
            throw UsersError(where + "user " + u.name + ": tokens is a list of token hashes");
        users.push_back(std::move(u));
    }
    return users;
}

void SaveUsers(const std::string& path, const std::vector<User>& users) {
    toml::array list;
    for (const User& u : users) {
        toml::table t{{"name", u.name}, {"role", RoleWord(u.role)}, {"password_hash", u.passwordHash}};
        toml::array devices, tokens;
        for (const std::string& d : u.devices) devices.push_back(d);
        for (const std::string& h : u.tokens) tokens.push_back(h);
        if (!u.devices.empty()) t.insert("devices", std::move(devices));
        t.insert("tokens", std::move(tokens));
        list.push_back(std::move(t));
    }
    std::ostringstream text;
    text << "# devgate's users (devgate user add/token); passwords and tokens are kept as hashes only\n"
         << toml::table{{"user", std::move(list)}} << "\n";
    std::string temp = path + ".new";
    std::FILE* f = std::fopen(temp.c_str(), "wx");
    if (f == nullptr && errno == EEXIST && std::remove(temp.c_str()) == 0) f = std::fopen(temp.c_str(), "wx");
    if (f == nullptr) throw UsersError(temp + ": cannot be written: " + std::strerror(errno));
    bool ok = fchmod(fileno(f), 0600) == 0;
    const std::string s = text.str();
    ok = std::fwrite(s.data(), 1, s.size(), f) == s.size() && ok;
    ok = std::fflush(f) == 0 && fsync(fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::string why = std::strerror(errno);
        std::remove(temp.c_str());
        throw UsersError(path + ": cannot be written: " + why);
    }
}

std::string UsersFileExposure(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & 077) == 0) return "";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return path + " has mode " + mode + ": others than its owner can read the password hashes (chmod 600 " + path + ")";
}

void InitCrypto() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be set up");
}

std::string HashPassword(const std::string& password) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw std::runtime_error("the password cannot be hashed: out of memory");
    return out;
}

bool PasswordMatches(const std::string& password, const std::string& hash) {
    if (hash.size() >= crypto_pwhash_STRBYTES) return false;
    char stored[crypto_pwhash_STRBYTES] = {};
    std::memcpy(stored, hash.data(), hash.size());
    return crypto_pwhash_str_verify(stored, password.data(), password.size()) == 0;
}

std::string RandomSecret() {
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    return Hex(bytes, sizeof bytes);
}

std::string TokenHash(const std::string& token) {
    unsigned char hash[32];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(token.data()), token.size(), nullptr,
                       0);
    return Hex(hash, sizeof hash);
}

}  // namespace gateway
