#include "platform/format.h"

#include "platform/text.h"

namespace vt {

namespace fmt_detail {
void formatError(const char*) {}
}  // namespace fmt_detail

namespace {

struct Directive {
    bool left = false, zero = false, plus = false, space = false, alt = false;
    int width = -1;
    int precision = -1;
};

void pad(std::u16string& out, std::u16string_view body, const Directive& sp, bool numeric) {
    size_t w = sp.width > 0 ? static_cast<size_t>(sp.width) : 0;
    if (body.size() >= w) {
        out.append(body);
        return;
    }
    size_t fill = w - body.size();
    if (sp.left) {
        out.append(body);
        out.append(fill, u' ');
    } else if (sp.zero && numeric && sp.precision < 0) {
        // Zeros go after a sign or a 0x prefix.
        size_t prefix = 0;
        if (!body.empty() && (body[0] == u'-' || body[0] == u'+' || body[0] == u' ')) prefix = 1;
        if (body.size() >= prefix + 2 && body[prefix] == u'0' &&
            (body[prefix + 1] == u'x' || body[prefix + 1] == u'X'))
            prefix += 2;
        out.append(body.substr(0, prefix));
        out.append(fill, u'0');
        out.append(body.substr(prefix));
    } else {
        out.append(fill, u' ');
        out.append(body);
    }
}

std::u16string digits(uint64_t v, unsigned base, bool upper, int precision) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string d;
    if (!(v == 0 && precision == 0)) {
        do {
            d.insert(d.begin(), static_cast<char16_t>(set[v % base]));
            v /= base;
        } while (v);
    }
    if (precision > 0 && d.size() < static_cast<size_t>(precision))
        d.insert(0, static_cast<size_t>(precision) - d.size(), u'0');
    return d;
}

// The argument's bits seen as an integer of its own width, signed or unsigned.
int64_t asSigned(const fmt_detail::Arg& a) {
    uint64_t bits = a.u;
    switch (a.width) {
        case 1:
            return static_cast<int8_t>(bits);
        case 2:
            return static_cast<int16_t>(bits);
        case 4:
            return static_cast<int32_t>(bits);
        default:
            return static_cast<int64_t>(bits);
    }
}
uint64_t asUnsigned(const fmt_detail::Arg& a) {
    uint64_t bits = a.u;
    switch (a.width) {
        case 1:
            return static_cast<uint8_t>(bits);
        case 2:
            return static_cast<uint16_t>(bits);
        case 4:
            return static_cast<uint32_t>(bits);
        default:
            return bits;
    }
}

}  // namespace

std::u16string vformat(std::u16string_view f, const fmt_detail::Arg* args, std::size_t count) {
    using fmt_detail::ArgKind;
    std::u16string out;
    out.reserve(f.size() + 16 * count);
    std::size_t next = 0;
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (f[i] != u'%') {
            out.push_back(f[i]);
            continue;
        }
        std::size_t start = i;
        if (++i >= f.size()) {
            out.push_back(u'%');
            break;
        }
        if (f[i] == u'%') {
            out.push_back(u'%');
            continue;
        }
        Directive sp;
        for (;; ++i) {
            if (i >= f.size()) break;
            char16_t c = f[i];
            if (c == u'-')
                sp.left = true;
            else if (c == u'0')
                sp.zero = true;
            else if (c == u'+')
                sp.plus = true;
            else if (c == u' ')
                sp.space = true;
            else if (c == u'#')
                sp.alt = true;
            else
                break;
        }
        while (i < f.size() && f[i] >= u'0' && f[i] <= u'9')
            sp.width = (sp.width < 0 ? 0 : sp.width * 10) + (f[i++] - u'0');
        if (i < f.size() && f[i] == u'.') {
            sp.precision = 0;
            ++i;
            while (i < f.size() && f[i] >= u'0' && f[i] <= u'9')
                sp.precision = sp.precision * 10 + (f[i++] - u'0');
        }
        while (i < f.size() && (f[i] == u'l' || f[i] == u'h')) ++i;
        if (i >= f.size()) {
            out.append(f.substr(start));
            break;
        }
        char16_t conv = f[i];
        if (next >= count) {
            out.append(u"%!");
            continue;
        }
        const fmt_detail::Arg& a = args[next++];
        bool isInt = a.kind == ArgKind::Signed || a.kind == ArgKind::Unsigned;
        switch (conv) {
            case u's': {
                if (isInt) {
                    out.append(u"%!");
                    break;
                }
                std::u16string converted;
                std::u16string_view text = a.s16;
                if (a.kind == ArgKind::Text8) {
                    converted = fromUtf8(a.s8);
                    text = converted;
                }
                if (sp.precision >= 0 && text.size() > static_cast<size_t>(sp.precision))
                    text = text.substr(0, static_cast<size_t>(sp.precision));
                pad(out, text, sp, false);
                break;
            }
            case u'c': {
                if (!isInt) {
                    out.append(u"%!");
                    break;
                }
                char16_t ch = static_cast<char16_t>(asUnsigned(a));
                pad(out, std::u16string_view(&ch, 1), sp, false);
                break;
            }
            case u'd':
            case u'i': {
                if (!isInt) {
                    out.append(u"%!");
                    break;
                }
                int64_t v = asSigned(a);
                uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                std::u16string body = digits(mag, 10, false, sp.precision);
                if (v < 0)
                    body.insert(0, 1, u'-');
                else if (sp.plus)
                    body.insert(0, 1, u'+');
                else if (sp.space)
                    body.insert(0, 1, u' ');
                pad(out, body, sp, true);
                break;
            }
            case u'u':
            case u'x':
            case u'X': {
                if (!isInt) {
                    out.append(u"%!");
                    break;
                }
                uint64_t v = asUnsigned(a);
                unsigned base = conv == u'u' ? 10 : 16;
                std::u16string body = digits(v, base, conv == u'X', sp.precision);
                if (sp.alt && base == 16 && v != 0) body.insert(0, conv == u'X' ? u"0X" : u"0x");
                pad(out, body, sp, true);
                break;
            }
            default:
                out.append(f.substr(start, i - start + 1));
                --next;
                break;
        }
    }
    return out;
}

}  // namespace vt
