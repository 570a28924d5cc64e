#include "io/utf8.h"

#include <cstddef>

namespace mosk {

bool is_clean_utf8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned c = p[i];
        if (c < 0x20 || c == 0x7f) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        int len;
        unsigned cp;
        if ((c & 0xe0) == 0xc0)
            len = 2, cp = c & 0x1f;
        else if ((c & 0xf0) == 0xe0)
            len = 3, cp = c & 0x0f;
        else if ((c & 0xf8) == 0xf0)
            len = 4, cp = c & 0x07;
        else
            return false;
        if (i + len > n) return false;
        for (int k = 1; k < len; ++k) {
            if ((p[i + k] & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3f);
        }
        static const unsigned min_of_len[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_of_len[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        i += len;
    }
    return true;
}

}  // namespace mosk
