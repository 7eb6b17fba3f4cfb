// Looking up user names once per user, and the seam's user lookup.
#include "platform/posix/user_names.h"

#include <pwd.h>

#include "platform/platform.h"

namespace posix_layer {

const char *user_names::name(uint32_t uid)
{
    auto known = names_.find(uid);
    if (known == names_.end()) {
        const passwd *pw = getpwuid(uid);
        known =
            names_.emplace(uid, pw ? std::optional<std::string>(pw->pw_name) : std::nullopt).first;
    }
    return known->second ? known->second->c_str() : nullptr;
}

} // namespace posix_layer

namespace os {

passwd *getpwuid(uint32_t uid)
{
    static posix_layer::user_names users;
    static passwd user = {};
    user.pw_name = users.name(uid);
    return user.pw_name ? &user : nullptr;
}

} // namespace os
