// User names by user id, looked up once per user for the run: a busy
// machine's lines name the same few users, and the password database may be
// a file read at each lookup.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace posix_layer {

class user_names {
public:
    // The name of uid, or null when the database has none; valid for the run.
    const char *name(uint32_t uid);

private:
    std::unordered_map<uint32_t, std::optional<std::string>> names_;
};

} // namespace posix_layer
