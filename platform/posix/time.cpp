// Local time on Linux through the C library's time zone (TZ, /etc/localtime), and the user's
// date and time text through the LC_TIME locale.
#include "platform/time.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "platform/system.h"
#include "platform/text.h"

namespace vt::plat {

namespace {

// The locale name that decides LC_TIME, as setlocale would resolve it from the environment.
std::string timeLocaleName() {
    for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
        std::optional<std::u16string> v = getEnv(name);
        if (v && !v->empty()) return toUtf8(*v);
    }
    return "C";
}

// Converts text in the given charset to UTF-8; the text unchanged when iconv cannot.
std::string toUtf8From(const char* charset, const std::string& text) {
    if (strcmp(charset, "UTF-8") == 0 || strcmp(charset, "ANSI_X3.4-1968") == 0) return text;
    iconv_t cd = iconv_open("UTF-8", charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string out(text.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* dst = out.data();
    size_t outLeft = out.size();
    size_t r = iconv(cd, &in, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) return text;
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace

int64_t currentTime() {
    return static_cast<int64_t>(time(nullptr));
}

bool toLocalTime(int64_t t, LocalTime* out) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (!localtime_r(&tt, &tm)) return false;
    out->year = tm.tm_year + 1900;
    out->month = tm.tm_mon + 1;
    out->day = tm.tm_mday;
    out->hour = tm.tm_hour;
    out->minute = tm.tm_min;
    out->second = tm.tm_sec;
    return true;
}

bool fromLocalTime(const LocalTime& lt, int64_t* out) {
    if (lt.year < 1900 || lt.year > 9999 || lt.month < 1 || lt.month > 12 || lt.day < 1 ||
        lt.day > 31 || lt.hour < 0 || lt.hour > 23 || lt.minute < 0 || lt.minute > 59 ||
        lt.second < 0 || lt.second > 59)
        return false;
    struct tm tm {};
    tm.tm_year = lt.year - 1900;
    tm.tm_mon = lt.month - 1;
    tm.tm_mday = lt.day;
    tm.tm_hour = lt.hour;
    tm.tm_min = lt.minute;
    tm.tm_sec = lt.second;
    tm.tm_isdst = -1;
    errno = 0;
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1) && errno != 0) return false;
    // A day that does not exist (31 April) comes back normalised into the next month. The
    // time of day may move when it falls into a daylight-saving gap; that is the system's call.
    if (tm.tm_year != lt.year - 1900 || tm.tm_mon != lt.month - 1 || tm.tm_mday != lt.day)
        return false;
    *out = static_cast<int64_t>(t);
    return true;
}

namespace {

// Loading and freeing locales from several threads at once races inside the C library as
// ThreadSanitizer sees it (its own lock is invisible to the sanitizer): one lock orders them.
// Nothing is kept, so a module unloaded afterwards leaves nothing behind.
std::mutex& localeLock() {
    static std::mutex m;
    return m;
}

}  // namespace

std::u16string userLocaleDateTime(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (!localtime_r(&tt, &tm)) return {};
    const std::string name = timeLocaleName();
    std::lock_guard<std::mutex> l(localeLock());
    // LC_CTYPE from the same locale gives the charset of LC_TIME's texts.
    locale_t loc = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, name.c_str(), nullptr);
    if (loc == nullptr) loc = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "C", nullptr);
    if (loc == nullptr) return {};
    char buf[256];
    size_t n = strftime_l(buf, sizeof buf, "%x %X", &tm, loc);
    std::string text = toUtf8From(nl_langinfo_l(CODESET, loc), std::string(buf, n));
    freelocale(loc);
    return fromUtf8(text);
}

}  // namespace vt::plat
