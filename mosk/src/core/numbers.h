// Numbers from text: the whole text must be one number (an optional leading '+' aside), read the
// same way by the mesh readers and the option parser.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace mosk {

enum class ParsedNumber { ok, malformed, out_of_range };

// Integers (int64_t, uint64_t ...) and doubles. A double too small to represent reads as zero
// (or the nearest denormal); too large is out_of_range. A '-' before an unsigned type is
// malformed.
template <class T>
ParsedNumber parse_number(std::string_view text, T& value) {
    const char* b = text.data();
    const char* e = b + text.size();
    if (b < e && *b == '+') ++b;
    if (b == e) return ParsedNumber::malformed;
    const auto r = std::from_chars(b, e, value);
    if constexpr (std::is_floating_point_v<T>) {
        if (r.ec == std::errc::result_out_of_range && r.ptr == e) {
            // Overflow or underflow: strtod tells which.
            value = T(std::strtod(std::string(b, e).c_str(), nullptr));
            return std::isinf(value) ? ParsedNumber::out_of_range : ParsedNumber::ok;
        }
    } else if (r.ec == std::errc::result_out_of_range) {
        return ParsedNumber::out_of_range;
    }
    if (r.ec != std::errc() || r.ptr != e) return ParsedNumber::malformed;
    return ParsedNumber::ok;
}

}  // namespace mosk
