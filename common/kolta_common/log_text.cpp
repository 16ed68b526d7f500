#include "kolta_common/log_text.h"

#include <cstdio>

#include "kolta_common/civil_time.h"

namespace kolta_common {

namespace {

// Where the character starting at `at` ends: a UTF-8 lead byte and the
// continuation bytes after it (anything else counts as one character).
std::size_t next_character(const std::string &text, std::size_t at) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80) {
        ++at;
    }
    return at;
}

long long floor_div(long long a, long long b) {
    const long long q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

} // namespace

std::string one_line(const std::string &message) {
    std::string line;
    line.reserve(message.size());
    const std::size_t size = message.size();
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = [&](std::size_t at) {
            return at < size ? static_cast<unsigned char>(message[at]) : 0u;
        };
        const unsigned c = byte(i);
        if (c < 0x20 || c == 0x7f) {
            line += ' ';
        } else if (c == 0xc2 && byte(i + 1) == 0x85) {
            line += ' ';
            i += 1;
        } else if (c == 0xe2 && byte(i + 1) == 0x80 &&
                   (byte(i + 2) == 0xa8 || byte(i + 2) == 0xa9)) {
            line += ' ';
            i += 2;
        } else {
            line += message[i];
        }
    }
    return line;
}

std::string mask_secret(const std::string &secret) {
    if (secret.empty()) {
        return "(empty)";
    }
    // Characters, not bytes: a cut inside a UTF-8 sequence would write an
    // invalid byte to the log (and keep fewer than 4 characters).
    std::size_t end = 0;
    for (int kept = 0; kept < 4 && end < secret.size(); ++kept) {
        end = next_character(secret, end);
    }
    if (end >= secret.size()) {
        return "****";
    }
    return secret.substr(0, end) + "****";
}

std::string utc_timestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const long long ms_total =
        duration_cast<milliseconds>(when.time_since_epoch()).count();
    const long long ms_per_day = 86400000LL;
    const long long days = floor_div(ms_total, ms_per_day);
    const long long ms_of_day = ms_total - days * ms_per_day;
    const CivilDate date = civil_from_days(days);

    char text[96];
    std::snprintf(text, sizeof text, "%sT%02lld:%02lld:%02lld.%03lldZ",
                  format_iso_date(date).c_str(), ms_of_day / 3600000,
                  (ms_of_day / 60000) % 60, (ms_of_day / 1000) % 60, ms_of_day % 1000);
    return text;
}

const char *level_name(LogLevel level) {
    switch (level) {
    case LogLevel::kInfo:
        return "INFO";
    case LogLevel::kWarn:
        return "WARN";
    case LogLevel::kError:
        return "ERROR";
    }
    return "INFO";
}

} // namespace kolta_common
