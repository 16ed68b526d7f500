#include "kolta_common/civil_time.h"

#include <chrono>
#include <cstdio>

namespace kolta_common {

namespace {

long long floor_div(long long a, long long b) {
    const long long q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

bool is_leap(long long year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned days_in_month(long long year, unsigned month) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

} // namespace

// Howard Hinnant's algorithms, eras of 400 years starting on 1 March.
long long days_from_civil(const CivilDate &date) {
    const long long year = date.year - (date.month <= 2 ? 1 : 0);
    const long long era = floor_div(year, 400);
    const long long yoe = year - era * 400;
    const long long month = date.month;
    const long long doy =
        (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + date.day - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

CivilDate civil_from_days(long long days) {
    days += 719468;
    const long long era = floor_div(days, 146097);
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return {year, static_cast<unsigned>(month), static_cast<unsigned>(day)};
}

std::optional<CivilDate> parse_iso_date(const std::string &text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    long long fields[3] = {0, 0, 0};
    const std::size_t starts[3] = {0, 5, 8};
    const std::size_t lengths[3] = {4, 2, 2};
    for (int f = 0; f < 3; ++f) {
        for (std::size_t i = starts[f]; i < starts[f] + lengths[f]; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return std::nullopt;
            }
            fields[f] = fields[f] * 10 + (text[i] - '0');
        }
    }
    const long long year = fields[0];
    const long long month = fields[1];
    const long long day = fields[2];
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        day > days_in_month(year, static_cast<unsigned>(month))) {
        return std::nullopt;
    }
    return CivilDate{year, static_cast<unsigned>(month), static_cast<unsigned>(day)};
}

std::string iso_date_of(long long unix_seconds) {
    return format_iso_date(civil_from_days(floor_div(unix_seconds, 86400)));
}

long long system_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string format_iso_date(const CivilDate &date) {
    char text[32];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u", date.year, date.month, date.day);
    return text;
}

} // namespace kolta_common
