// Building fault messages without iostreams: integers in decimal, doubles in
// the shortest form that reads back to the same value.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace tarnwick {

/// Shortest round-trip decimal form of a double: a whole number keeps one
/// decimal ("1.0"), magnitudes below 1e-4 or from 1e16 on use exponent form
/// ("1e-5", "1e16"), special values read "inf", "-inf" and "NaN".
std::string format_double(double value);

namespace detail {
inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, double v) { out.append(format_double(v)); }
template <class T>
    requires std::is_integral_v<T>
inline void append(std::string& out, T v) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, end);
}
}  // namespace detail

/// Concatenates strings and numbers into one message.
template <class... Parts>
std::string cat(const Parts&... parts) {
    std::string out;
    (detail::append(out, parts), ...);
    return out;
}

}  // namespace tarnwick
