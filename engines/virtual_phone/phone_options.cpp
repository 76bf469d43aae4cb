#include "engines/virtual_phone/phone_options.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/format.h"
#include "platform/text.h"

namespace vt::engines {

namespace {

constexpr std::u16string_view kKnownKeys =
    u"refuse-status, refuse-code, drop-map, fail-after, fail-code, cancel-after, state-error, "
    u"delay-ms, status-first";

std::u16string_view trim(std::u16string_view s) {
    while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
    return s;
}

// Decimal digits only; nullopt for anything else or a value above max.
std::optional<uint64_t> parseDecimal(std::u16string_view s, uint64_t max) {
    if (s.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char16_t c : s) {
        if (c < u'0' || c > u'9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - u'0');
        if (v > max) return std::nullopt;
    }
    return v;
}

// A 32-bit code, decimal or 0x-prefixed hex.
std::optional<uint32_t> parseCode(std::u16string_view s) {
    if (s.size() > 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X')) {
        s.remove_prefix(2);
        if (s.size() > 8) return std::nullopt;
        uint32_t v = 0;
        for (char16_t c : s) {
            int d;
            if (c >= u'0' && c <= u'9')
                d = c - u'0';
            else if (c >= u'a' && c <= u'f')
                d = c - u'a' + 10;
            else if (c >= u'A' && c <= u'F')
                d = c - u'A' + 10;
            else
                return std::nullopt;
            v = (v << 4) | static_cast<uint32_t>(d);
        }
        return v;
    }
    auto v = parseDecimal(s, UINT32_MAX);
    if (!v) return std::nullopt;
    return static_cast<uint32_t>(*v);
}

std::u16string hexCode(uint32_t v) {
    return format(u"0x%08X", v);
}

}  // namespace

bool parseVirtualPhoneOptions(std::u16string_view text, VirtualPhoneOptions* out,
                              std::u16string* error) {
    VirtualPhoneOptions o = *out;
    auto fail = [&](std::u16string message) {
        if (error) *error = std::move(message);
        return false;
    };
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(u',', pos);
        if (comma == std::u16string_view::npos) comma = text.size();
        std::u16string_view pair = trim(text.substr(pos, comma - pos));
        pos = comma + 1;
        if (pair.empty()) continue;  // "", "a=1,", "a=1,,b=2"

        size_t eq = pair.find(u'=');
        if (eq == std::u16string_view::npos)
            return fail(format(u"virtual phone option '%s' has no value (write key=value)",
                               std::u16string(pair)));
        const std::u16string key(trim(pair.substr(0, eq)));
        const std::u16string value(trim(pair.substr(eq + 1)));
        auto badNumber = [&](std::u16string_view what) {
            return fail(format(u"virtual phone option '%s' needs %s, got '%s'", key,
                               std::u16string(what), value));
        };

        if (key == u"refuse-status" || key == u"drop-map" || key == u"delay-ms") {
            auto v = parseDecimal(value, INT32_MAX);
            if (!v) return badNumber(u"a count (0 or more)");
            int n = static_cast<int>(*v);
            if (key == u"refuse-status")
                o.refuseStatus = n;
            else if (key == u"drop-map")
                o.dropMap = n;
            else
                o.delayMs = n;
        } else if (key == u"fail-after" || key == u"cancel-after") {
            int n;
            if (value == u"-1") {
                n = -1;
            } else {
                auto v = parseDecimal(value, INT32_MAX);
                if (!v) return badNumber(u"a count (0 or more, or -1 for never)");
                n = static_cast<int>(*v);
            }
            if (key == u"fail-after")
                o.failAfter = n;
            else
                o.cancelAfter = n;
        } else if (key == u"refuse-code" || key == u"fail-code" || key == u"state-error") {
            auto v = parseCode(value);
            if (!v) return badNumber(u"a 32-bit code (decimal or 0x hex)");
            if (key == u"refuse-code")
                o.refuseCode = static_cast<ULONG>(*v);
            else if (key == u"fail-code")
                o.failCode = static_cast<LONG>(*v);
            else
                o.stateResult = static_cast<HRESULT>(*v);
        } else if (key == u"status-first") {
            if (value != u"0" && value != u"1") return badNumber(u"0 or 1");
            o.statusFirst = value == u"1";
        } else {
            return fail(format(u"unknown virtual phone option '%s' (known: %s)", key,
                               std::u16string(kKnownKeys)));
        }
    }
    *out = o;
    return true;
}

std::u16string formatVirtualPhoneOptions(const VirtualPhoneOptions& o) {
    const VirtualPhoneOptions d;
    std::vector<std::u16string> parts;
    if (o.refuseStatus != d.refuseStatus)
        parts.push_back(format(u"refuse-status=%d", o.refuseStatus));
    if (o.refuseCode != d.refuseCode) parts.push_back(format(u"refuse-code=%u", o.refuseCode));
    if (o.dropMap != d.dropMap) parts.push_back(format(u"drop-map=%d", o.dropMap));
    if (o.failAfter != d.failAfter) parts.push_back(format(u"fail-after=%d", o.failAfter));
    if (o.failCode != d.failCode)
        parts.push_back(u"fail-code=" + hexCode(static_cast<uint32_t>(o.failCode)));
    if (o.cancelAfter != d.cancelAfter) parts.push_back(format(u"cancel-after=%d", o.cancelAfter));
    if (o.stateResult != d.stateResult)
        parts.push_back(u"state-error=" + hexCode(static_cast<uint32_t>(o.stateResult)));
    if (o.delayMs != d.delayMs) parts.push_back(format(u"delay-ms=%d", o.delayMs));
    if (o.statusFirst != d.statusFirst) parts.push_back(u"status-first=1");
    std::u16string out;
    for (const auto& p : parts) {
        if (!out.empty()) out += u',';
        out += p;
    }
    return out;
}

}  // namespace vt::engines
