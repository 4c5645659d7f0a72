/* hex.h - bytes as hex text and back, for the tools' arguments, scenario
 * files and output. */
#ifndef HALVO_TOOLS_HEX_H
#define HALVO_TOOLS_HEX_H

#include <glib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tools {

/* "0a ff", "0AFF" and "0a:ff" all read as two bytes; false when malformed. */
inline bool parse_hex(const std::string &text, std::vector<uint8_t> *out)
{
    out->clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-')
            continue;
        int v = g_ascii_xdigit_value(c);
        if (v < 0)
            return false;
        if (high < 0) {
            high = v;
        } else {
            out->push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return high < 0;
}

/* "0a ff". */
inline std::string hex_text(const uint8_t *data, size_t length)
{
    std::string t;
    char buf[4];
    for (size_t i = 0; data && i < length; i++) {
        snprintf(buf, sizeof buf, i ? " %02x" : "%02x", data[i]);
        t += buf;
    }
    return t;
}

} // namespace tools

#endif
