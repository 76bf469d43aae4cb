// Time of day and calendar conversions in the local time zone. Times are seconds since 1970
// (UTC). Thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace vt::plat {

struct LocalTime {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

int64_t currentTime();
bool toLocalTime(int64_t t, LocalTime* out);
// The system decides about daylight saving time. False when the parts are not a valid time.
bool fromLocalTime(const LocalTime& lt, int64_t* out);

// The local date and time as the user's locale writes them (LC_TIME on Linux; the OLE
// date-to-text conversion for the user's default locale on Windows).
std::u16string userLocaleDateTime(int64_t t);

}  // namespace vt::plat
