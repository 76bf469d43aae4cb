// A printf-style formatter for UTF-16 text, checked at compile time.
//
//   format(u"%s failed 0x%X", name, hr)
//
// Conversions: %s (UTF-16 text; UTF-8 text is converted), %d %i (signed), %u %x %X (unsigned,
// of the argument's own width: a negative 32-bit HRESULT prints as 80004005), %c, and %%.
// Flags '-', '0', '+', ' ', '#', a width and a precision may precede the conversion
// (%-25.25s, %02i, %-4X); the length modifiers l, ll and h are accepted and ignored. A format
// string whose conversions don't match its arguments doesn't compile. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace vt {

namespace fmt_detail {

enum class ArgKind : uint8_t { Signed, Unsigned, Text16, Text8 };

struct Arg {
    ArgKind kind;
    uint8_t width;  // byte width of integers
    union {
        int64_t i;
        uint64_t u;
    };
    std::u16string_view s16;
    std::string_view s8;
};

template <class T>
constexpr bool isText16 =
    std::is_convertible_v<const T&, std::u16string_view> && !std::is_same_v<T, std::nullptr_t>;
template <class T>
constexpr bool isText8 =
    std::is_convertible_v<const T&, std::string_view> && !std::is_same_v<T, std::nullptr_t>;
template <class T>
constexpr bool isInteger = (std::is_integral_v<T> || std::is_enum_v<T>)&&!std::is_same_v<T, bool>;

template <class T>
Arg makeArg(const T& v) {
    Arg a{};
    if constexpr (isText16<T>) {
        a.kind = ArgKind::Text16;
        a.s16 = std::u16string_view(v);
    } else if constexpr (isText8<T>) {
        a.kind = ArgKind::Text8;
        a.s8 = std::string_view(v);
    } else if constexpr (std::is_enum_v<T>) {
        return makeArg(static_cast<std::underlying_type_t<T>>(v));
    } else if constexpr (std::is_signed_v<T>) {
        a.kind = ArgKind::Signed;
        a.width = sizeof(T);
        a.i = v;
    } else {
        static_assert(std::is_unsigned_v<T>, "unsupported format argument");
        a.kind = ArgKind::Unsigned;
        a.width = sizeof(T);
        a.u = v;
    }
    return a;
}

// Category of an argument type: 1 = integer, 2 = text, 0 = unsupported.
template <class T>
constexpr int category() {
    using U = std::remove_cvref_t<T>;
    if constexpr (isText16<U> || isText8<U>)
        return 2;
    else if constexpr (isInteger<U>)
        return 1;
    else
        return 0;
}

void formatError(const char*);  // not constexpr: calling it during constant evaluation fails

template <class... Args>
consteval void check(std::u16string_view f) {
    constexpr int cats[] = {category<Args>()..., 0};
    constexpr std::size_t n = sizeof...(Args);
    std::size_t next = 0;
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (f[i] != u'%') continue;
        if (++i >= f.size()) formatError("format ends in %");
        if (f[i] == u'%') continue;
        while (i < f.size() &&
               (f[i] == u'-' || f[i] == u'0' || f[i] == u'+' || f[i] == u' ' || f[i] == u'#'))
            ++i;
        while (i < f.size() && f[i] >= u'0' && f[i] <= u'9') ++i;
        if (i < f.size() && f[i] == u'.') {
            ++i;
            while (i < f.size() && f[i] >= u'0' && f[i] <= u'9') ++i;
        }
        while (i < f.size() && (f[i] == u'l' || f[i] == u'h')) ++i;
        if (i >= f.size()) formatError("incomplete conversion");
        char16_t c = f[i];
        int want = 0;
        if (c == u's')
            want = 2;
        else if (c == u'd' || c == u'i' || c == u'u' || c == u'x' || c == u'X' || c == u'c')
            want = 1;
        else
            formatError("unknown conversion");
        if (next >= n) formatError("too few arguments for the format");
        if (cats[next] != want) formatError("argument type does not match its conversion");
        ++next;
    }
    if (next != n) formatError("too many arguments for the format");
}

}  // namespace fmt_detail

// A format string checked against the argument types at compile time.
template <class... Args>
struct FormatString {
    template <class S>
    requires std::is_convertible_v<const S&, std::u16string_view>
    consteval FormatString(const S& s) : str(s) { fmt_detail::check<Args...>(str); }
    std::u16string_view str;
};

// Formats with arguments already wrapped; a mismatch writes "%!" instead of the argument.
std::u16string vformat(std::u16string_view fmt, const fmt_detail::Arg* args, std::size_t count);

template <class... Args>
std::u16string format(FormatString<std::type_identity_t<Args>...> fmt, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return vformat(fmt.str, nullptr, 0);
    } else {
        const fmt_detail::Arg wrapped[] = {fmt_detail::makeArg(args)...};
        return vformat(fmt.str, wrapped, sizeof...(Args));
    }
}

}  // namespace vt
