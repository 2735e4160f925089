// devgate user add / user token: the users file of the HTTP face, written
// from the command line.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace devgate {

struct UserRequest {
    std::string file = "users.toml";
    std::string name;
    std::string role;
    std::vector<std::string> devices;
};

// Adds the user (or replaces one of that name, saying so), with a password
// read from the terminal without echo (twice), or from the first line of
// standard input when that is no terminal. 0 done, 1 the file cannot be read
// or written or the password is empty.
int AddUser(const UserRequest& request, std::istream& in, std::ostream& out, std::ostream& err);
// Gives the user a new API token: printed once, its hash kept. 0 done, 1 no
// such user or the file cannot be read or written.
int AddToken(const UserRequest& request, std::ostream& out, std::ostream& err);

}  // namespace devgate
