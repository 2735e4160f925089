// The users of devgate's HTTP face: a TOML file of users, each with a role,
// a password kept as an Argon2id hash (libsodium's crypto_pwhash_str) and API
// tokens kept as hashes; what each role may do; and the check of a password
// or a token.
//
//   [[user]]
//   name = "alice"
//   role = "operator"                  # viewer, operator or admin
//   password_hash = "$argon2id$v=19$..."
//   devices = ["press1"]               # operator: writes and commands on these only (absent: all)
//   tokens = ["<64 hex digits>"]       # hashes of API tokens
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace gateway {

enum class Role { Viewer, Operator, Admin };

// What a request asks for: reading, writing or commanding a device, or the
// administration (audit, reload).
enum class Action { Read, Control, Administer };

// "viewer", "operator", "admin"
const char* RoleWord(Role role);
bool ParseRole(const std::string& word, Role& role);

// Whether a role may do an action at all (an operator's devices aside).
bool Permits(Role role, Action action);

struct User {
    std::string name;
    Role role = Role::Viewer;
    std::string passwordHash;
    std::vector<std::string> devices;  // empty: every device
    std::vector<std::string> tokens;   // TokenHash of each token
    int line = 0;                      // in the users file

    // Whether this user may write to or command the device.
    bool Controls(const std::string& device) const;
};

class UsersError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The users of a file; throws UsersError ("FILE:LINE: what") when it cannot
// be read, is no TOML, or a user is incomplete, doubled or of no role.
std::vector<User> LoadUsers(const std::string& path);
// Writes the users to path (mode 0600, through a new file renamed over the
// old one, so a failed write loses nothing); throws UsersError.
void SaveUsers(const std::string& path, const std::vector<User>& users);
// Why the file's mode lets others than its owner read it, or "".
std::string UsersFileExposure(const std::string& path);

// libsodium set up; throws std::runtime_error when it cannot be.
void InitCrypto();
// The Argon2id hash of a password (interactive limits: 64 MiB, 2 passes);
// throws std::runtime_error when memory runs out.
std::string HashPassword(const std::string& password);
bool PasswordMatches(const std::string& password, const std::string& hash);
// 64 hexadecimal digits of random (256 bits): API tokens and session ids.
std::string RandomSecret();
// The hash a token is kept as (BLAKE2b, 64 hexadecimal digits).
std::string TokenHash(const std::string& token);

}  // namespace gateway
