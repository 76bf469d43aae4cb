// Local time on Windows through the system's time-zone rules for the year in question
// (SystemTimeToTzSpecificLocalTime and back), and the user's date and time text through the
// OLE date conversion for the user's default locale.
#include "platform/time.h"

#include <string>

// <oleauto.h> needs <windows.h> first, which win32_util.h brings with the lean settings.
// clang-format off
#include "platform/win32/win32_util.h"
#include <oleauto.h>
// clang-format on

namespace vt::plat {

namespace {

using win32::fileTimeToUnix;
using win32::fromWide;
using win32::unixToFileTime;

bool isLeapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

bool localSystemTime(int64_t t, SYSTEMTIME* local) {
    FILETIME ft = unixToFileTime(t);
    SYSTEMTIME utc;
    return t >= -11644473600LL && FileTimeToSystemTime(&ft, &utc) &&
           SystemTimeToTzSpecificLocalTime(nullptr, &utc, local);
}

}  // namespace

int64_t currentTime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return fileTimeToUnix(ft);
}

bool toLocalTime(int64_t t, LocalTime* out) {
    SYSTEMTIME local;
    if (!localSystemTime(t, &local)) return false;
    out->year = local.wYear;
    out->month = local.wMonth;
    out->day = local.wDay;
    out->hour = local.wHour;
    out->minute = local.wMinute;
    out->second = local.wSecond;
    return true;
}

bool fromLocalTime(const LocalTime& lt, int64_t* out) {
    if (lt.year < 1900 || lt.year > 9999 || lt.month < 1 || lt.month > 12 || lt.day < 1 ||
        lt.day > daysInMonth(lt.year, lt.month) || lt.hour < 0 || lt.hour > 23 || lt.minute < 0 ||
        lt.minute > 59 || lt.second < 0 || lt.second > 59)
        return false;
    SYSTEMTIME local{};
    local.wYear = static_cast<WORD>(lt.year);
    local.wMonth = static_cast<WORD>(lt.month);
    local.wDay = static_cast<WORD>(lt.day);
    local.wHour = static_cast<WORD>(lt.hour);
    local.wMinute = static_cast<WORD>(lt.minute);
    local.wSecond = static_cast<WORD>(lt.second);
    // A time in a daylight-saving gap or overlap is placed as the system decides.
    SYSTEMTIME utc;
    FILETIME ft;
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &ft))
        return false;
    *out = fileTimeToUnix(ft);
    return true;
}

std::u16string userLocaleDateTime(int64_t t) {
    SYSTEMTIME local;
    DATE date = 0;
    if (!localSystemTime(t, &local) || !SystemTimeToVariantTime(&local, &date)) return {};
    BSTR text = nullptr;
    if (FAILED(VarBstrFromDate(date, LOCALE_USER_DEFAULT, 0, &text)) || text == nullptr) return {};
    std::u16string out = fromWide(text, SysStringLen(text));
    SysFreeString(text);
    return out;
}

}  // namespace vt::plat
