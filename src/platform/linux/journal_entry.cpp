// The journal's native entry format.
#include "platform/linux/journal_entry.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace linux_layer {

std::string journal_entry_bytes(const os::journal_field *fields, int n)
{
    std::string out;
    for (int i = 0; i < n; i++) {
        std::string_view f(fields[i].data, fields[i].size);
        size_t eq = f.find('=');
        std::string_view value = eq == std::string_view::npos ? "" : f.substr(eq + 1);
        if (value.find('\n') == std::string_view::npos) {
            out.append(f);
            out += '\n';
            continue;
        }
        out.append(f.substr(0, eq));
        out += '\n';
        uint64_t size = value.size();
        for (int byte = 0; byte < 8; byte++)
            out += static_cast<char>((size >> (8 * byte)) & 0xff);
        out.append(value);
        out += '\n';
    }
    return out;
}

} // namespace linux_layer
