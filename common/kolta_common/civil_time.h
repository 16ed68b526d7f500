#pragma once

#include <optional>
#include <string>

namespace kolta_common {

// A calendar date in the proleptic Gregorian calendar.
struct CivilDate {
    long long year;
    unsigned month; // 1..12
    unsigned day;   // 1..31
};

// Days since 1970-01-01 and back; neither uses the non-reentrant std::gmtime.
long long days_from_civil(const CivilDate &date);
CivilDate civil_from_days(long long days);

// "YYYY-MM-DD" (a real date, years 1970..9999); nothing for any other text.
std::optional<CivilDate> parse_iso_date(const std::string &text);
std::string format_iso_date(const CivilDate &date);

// The UTC date of a moment given in seconds since 1970, as "YYYY-MM-DD".
std::string iso_date_of(long long unix_seconds);

// Now, in whole seconds since 1970 (the system clock).
long long system_seconds();

} // namespace kolta_common
