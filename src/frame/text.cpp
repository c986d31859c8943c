#include "frame/text.hpp"

namespace tarnwick {

std::string format_double(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    double magnitude = std::fabs(value);
    char buf[64];
    bool exponent = magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16);
    auto format = exponent ? std::chars_format::scientific : std::chars_format::fixed;
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, format);
    std::string out(buf, end);
    if (exponent) {
        // to_chars writes "1e-05"; the exponent is written without padding or "+".
        auto e = out.find('e');
        std::string mantissa = out.substr(0, e);
        std::string_view digits = std::string_view(out).substr(e + 1);
        bool negative = digits.front() == '-';
        if (digits.front() == '-' || digits.front() == '+') digits.remove_prefix(1);
        while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
        return cat(mantissa, "e", negative ? "-" : "", digits);
    }
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

}  // namespace tarnwick
