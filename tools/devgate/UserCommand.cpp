#include "UserCommand.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "gateway/Users.h"

namespace devgate {

namespace {

// A line from the terminal with echo off, or from in when it is none.
bool ReadSecret(std::istream& in, std::ostream& err, const char* prompt, std::string& line) {
    termios saved{};
    bool tty = isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        err << prompt << std::flush;
    }
    bool got = static_cast<bool>(std::getline(in, line));
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        err << "\n";
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return got;
}

// The users of the file; none when it is not there yet.
bool Load(const std::string& file, std::vector<gateway::User>& users, std::ostream& err) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) return true;
    try {
        users = gateway::LoadUsers(file);
        return true;
    } catch (const gateway::UsersError& e) {
        err << "devgate: " << e.what() << "\n";
        return false;
    }
}

bool Save(const std::string& file, const std::vector<gateway::User>& users, std::ostream& err) {
    try {
        gateway::SaveUsers(file, users);
        return true;
    } catch (const gateway::UsersError& e) {
        err << "devgate: " << e.what() << "\n";
        return false;
    }
}

}  // namespace

int AddUser(const UserRequest& request, std::istream& in, std::ostream& out, std::ostream& err) {
    gateway::InitCrypto();
    gateway::User user;
    user.name = request.name;
    user.devices = request.devices;
    gateway::ParseRole(request.role, user.role);
    std::vector<gateway::User> users;
    if (!Load(request.file, users, err)) return 1;
    std::string password, again;
    if (!ReadSecret(in, err, "Password: ", password) || password.empty()) {
        err << "devgate: no password given (an empty one is refused)\n";
        return 1;
    }
    if (isatty(STDIN_FILENO) == 1 && (!ReadSecret(in, err, "Again: ", again) || again != password)) {
        err << "devgate: the passwords differ\n";
        return 1;
    }
    user.passwordHash = gateway::HashPassword(password);
    bool replaced = false;
    for (gateway::User& u : users)
        if (u.name == user.name) {
            user.tokens = u.tokens;  // a new password keeps the user's tokens
            u = user;
            replaced = true;
        }
    if (!replaced) users.push_back(user);
    if (!Save(request.file, users, err)) return 1;
    out << (replaced ? "replaced" : "added") << " user " << user.name << " (" << gateway::RoleWord(user.role) << ") in "
        << request.file << "\n";
    return 0;
}

int AddToken(const UserRequest& request, std::ostream& out, std::ostream& err) {
    gateway::InitCrypto();
    std::vector<gateway::User> users;
    if (!Load(request.file, users, err)) return 1;
    for (gateway::User& u : users)
        if (u.name == request.name) {
            std::string token = gateway::RandomSecret();
            u.tokens.push_back(gateway::TokenHash(token));
            if (!Save(request.file, users, err)) return 1;
            out << token << "\n";
            err << "devgate: a new token of " << u.name << " (shown once; only its hash is kept in " << request.file
                << ")\n";
            return 0;
        }
    err << "devgate: " << request.file << " has no user " << request.name << "\n";
    return 1;
}

}  // namespace devgate
