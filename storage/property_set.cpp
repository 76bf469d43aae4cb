#include "storage/property_set.h"

#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/format.h"
#include "platform/text.h"
#include "platform/time.h"
#include "util/text_error.h"

namespace vt {

namespace {

constexpr char16_t kLineFeed = u'\n';
constexpr char16_t kBackslash = u'\\';

// Reads a decimal integer as the C runtime's text-to-long conversion does: leading white
// space, an optional sign, digits up to the first non-digit; an overflow gives the nearest
// limit. No digits give 0.
int32_t parseLeadingInt(std::u16string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    int64_t value = 0;
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > kLimit) value = kLimit;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

// The characters that escaping changes.
inline bool isSpecial(char16_t c) {
    return c == kLineFeed || c == u'=' || c == kBackslash || c == 0;
}

// Splits text at every sep into out; returns the piece count, or 0 when there are more than
// maxPieces pieces.
size_t splitAt(std::u16string_view text, char16_t sep, std::u16string_view* out, size_t maxPieces) {
    size_t count = 0;
    size_t begin = 0;
    for (;;) {
        const size_t at = text.find(sep, begin);
        if (count == maxPieces) return 0;
        out[count++] = text.substr(begin, at == std::u16string_view::npos ? at : at - begin);
        if (at == std::u16string_view::npos) return count;
        begin = at + 1;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CPropertyValue

CPropertyValue::CPropertyValue(const std::u16string& text) : m_text(text) {}
CPropertyValue::CPropertyValue(std::u16string&& text) : m_text(std::move(text)) {}
CPropertyValue::CPropertyValue(const char16_t* text) : m_text(std::u16string(text)) {}

CPropertyValue::CPropertyValue(int32_t number)
    : m_scalar(number), m_kind(Kind::Number), m_textFromScalar(true) {}

CPropertyValue::CPropertyValue(bool truth)
    : m_text(truth ? u"true" : u"false"), m_scalar(truth ? 1 : 0), m_kind(Kind::Truth) {}

CPropertyValue::CPropertyValue(CTime time)
    : m_scalar(time.seconds), m_kind(Kind::Time), m_textFromScalar(true) {}

std::u16string CPropertyValue::text() const {
    if (!m_textFromScalar) return m_text;
    if (m_kind == Kind::Number) return format(u"%d", static_cast<int32_t>(m_scalar));
    return formatTime(CTime{m_scalar});
}

size_t CPropertyValue::textBound() const {
    // "-2147483648" has 11 code units, a time 19 (more only past the year 9999).
    return m_textFromScalar ? 24 : m_text.size();
}

void CPropertyValue::getStringValue(std::u16string& value) const {
    value = text();
}

void CPropertyValue::getLongValue(int32_t& value) {
    if (m_kind == Kind::Number) {
        value = static_cast<int32_t>(m_scalar);
        return;
    }
    if (m_kind != Kind::Text) throw TextError(u"CPropertyValue::getLongValue:other type");
    const int32_t number = parseLeadingInt(m_text);
    if (format(u"%d", number) != m_text) {
        throw TextError(u"CPropertyValue::getLongValue: NotANumber");
    }
    m_scalar = number;
    m_kind = Kind::Number;
    value = number;
}

void CPropertyValue::getCTimeValue(CTime& value) {
    if (m_kind == Kind::Time) {
        value = CTime{m_scalar};
        return;
    }
    if (m_kind != Kind::Text) throw TextError(u"CPropertyValue::getCTimeValue:other type");
    std::optional<CTime> time = parseTime(m_text);
    if (!time) throw TextError(u"CPropertyValue::getCTimeValue: NotACtimeString");
    m_scalar = time->seconds;
    m_kind = Kind::Time;
    value = *time;
}

std::u16string CPropertyValue::formatTime(CTime time) {
    plat::LocalTime lt;
    if (!plat::toLocalTime(time.seconds, &lt)) return std::u16string();
    return format(u"%02d.%02d.%d %02d:%02d:%02d", lt.day, lt.month, lt.year, lt.hour, lt.minute,
                  lt.second);
}

std::optional<CTime> CPropertyValue::parseTime(std::u16string_view text) {
    std::u16string_view halves[2];
    if (splitAt(text, u' ', halves, 2) != 2) return std::nullopt;
    std::u16string_view date[3];
    if (splitAt(halves[0], u'.', date, 3) != 3) return std::nullopt;
    if (date[0].size() != 2 || date[1].size() != 2 || date[2].size() < 4) return std::nullopt;
    std::u16string_view clock[3];
    if (splitAt(halves[1], u':', clock, 3) != 3) return std::nullopt;
    for (const auto& piece : clock) {
        if (piece.size() != 2) return std::nullopt;
    }
    plat::LocalTime lt;
    lt.day = parseLeadingInt(date[0]);
    lt.month = parseLeadingInt(date[1]);
    lt.year = parseLeadingInt(date[2]);
    lt.hour = parseLeadingInt(clock[0]);
    lt.minute = parseLeadingInt(clock[1]);
    lt.second = parseLeadingInt(clock[2]);
    if (lt.day < 1 || lt.day > 31 || lt.month < 1 || lt.month > 12 || lt.hour < 0 || lt.hour > 23 ||
        lt.minute < 0 || lt.minute > 59 || lt.second < 0 || lt.second > 59) {
        return std::nullopt;
    }
    int64_t seconds = 0;
    if (!plat::fromLocalTime(lt, &seconds)) return std::nullopt;
    return CTime{seconds};
}

// ---------------------------------------------------------------------------------------------
// CPropertySet

CPropertySet::CPropertySet(const void* block, size_t byteCount) {
    const size_t units = byteCount / 2;
    if (units == 0 || block == nullptr) return;
    // A block in the machine's order and alignment is read in place: a copy of it would double
    // what loading a large mapping needs at its peak.
    std::u16string copy;
    const char16_t* p = static_cast<const char16_t*>(block);
    if (std::endian::native != std::endian::little ||
        reinterpret_cast<uintptr_t>(block) % alignof(char16_t) != 0) {
        copy.resize(units);
        const auto* bytes = static_cast<const uint8_t*>(block);
        for (size_t i = 0; i < units; ++i) {
            copy[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        }
        p = copy.data();
    }
    const char16_t* const end = p + units;
    while (p < end) {
        // A line ends at a LINE FEED or a zero code unit, or at the end of the block.
        const char16_t* lineEnd = p;
        while (lineEnd < end && *lineEnd != kLineFeed && *lineEnd != 0) ++lineEnd;
        const std::u16string_view line(p, static_cast<size_t>(lineEnd - p));
        p = lineEnd + 1;
        if (line.empty()) continue;
        // Exactly one separator, or the line is skipped.
        const size_t sep = line.find(u":=");
        if (sep == std::u16string_view::npos) continue;
        if (line.find(u":=", sep + 2) != std::u16string_view::npos) continue;
        std::u16string value = unescape(line.substr(sep + 2));
        if (value.empty()) continue;
        std::u16string key = unescape(line.substr(0, sep));
        // Written blocks come in ascending key order: then the end is the right place.
        if (m_values.empty() || m_values.rbegin()->first < key) {
            m_values.emplace_hint(m_values.end(), std::move(key), CPropertyValue(std::move(value)));
        } else {
            m_values.insert_or_assign(std::move(key), CPropertyValue(std::move(value)));
        }
    }
}

CPropertyValue* CPropertySet::get(const std::u16string& key) {
    auto it = m_values.find(key);
    return it == m_values.end() ? nullptr : &it->second;
}

void CPropertySet::set(const std::u16string& key, const CPropertyValue& value) {
    m_values.insert_or_assign(key, value);
}

void CPropertySet::remove(const std::u16string& key) {
    m_values.erase(key);
}

std::vector<std::u16string> CPropertySet::getKeys() const {
    std::vector<std::u16string> keys;
    keys.reserve(m_values.size());
    for (const auto& kv : m_values) keys.push_back(kv.first);
    return keys;
}

namespace {

// Where escaped text goes: a raw buffer or a string.
struct BufferSink {
    char16_t* p;
    void put(char16_t c) { *p++ = c; }
    void put(const char16_t* s, size_t count) {
        std::memcpy(p, s, count * sizeof(char16_t));
        p += count;
    }
    void fill(size_t count, char16_t c) {
        for (size_t i = 0; i < count; ++i) *p++ = c;
    }
};

struct StringSink {
    std::u16string& out;
    void put(char16_t c) { out.push_back(c); }
    void put(const char16_t* s, size_t count) { out.append(s, count); }
    void fill(size_t count, char16_t c) { out.append(count, c); }
};

// The reader turns a run of r >= 2 backslashes that some other character follows into r - 1
// backslashes and takes that character literally; a single backslash before "n" gives a line
// feed, before any other character it is dropped; a run at the very end is kept as it is.
// The writer therefore adds one backslash to every run that a character follows, and escapes
// line feeds and "=" with a single backslash. A line feed right after a backslash cannot be
// expressed (it is written as "n"), and zero code units, which would end the line, are left
// out.
template <class Sink>
void escapeTo(Sink& out, std::u16string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        size_t special = i;
        while (special < text.size() && !isSpecial(text[special])) ++special;
        out.put(text.data() + i, special - i);
        if (special == text.size()) return;
        i = special;
        const char16_t c = text[i];
        if (c == 0) {
            ++i;
        } else if (c == kLineFeed) {
            out.put(kBackslash);
            out.put(u'n');
            ++i;
        } else if (c == u'=') {
            out.put(kBackslash);
            out.put(u'=');
            ++i;
        } else {
            size_t runEnd = i;
            while (runEnd < text.size() && (text[runEnd] == kBackslash || text[runEnd] == 0)) {
                ++runEnd;
            }
            size_t run = 0;
            for (size_t j = i; j < runEnd; ++j) run += text[j] == kBackslash;
            if (runEnd == text.size()) {
                out.fill(run, kBackslash);
            } else {
                out.fill(run + 1, kBackslash);
                const char16_t next = text[runEnd];
                out.put(next == kLineFeed ? u'n' : next);
                ++runEnd;
            }
            i = runEnd;
        }
    }
}

}  // namespace

template <class Sink>
void CPropertySet::writeBlock(Sink& out) const {
    bool first = true;
    std::u16string made;
    for (const auto& [key, value] : m_values) {
        if (!first) out.put(kLineFeed);
        first = false;
        escapeTo(out, key);
        out.put(u':');
        out.put(u'=');
        if (value.m_textFromScalar) {
            made = value.text();
            escapeTo(out, made);
        } else {
            escapeTo(out, value.m_text);
        }
    }
}

size_t CPropertySet::blockBound() const {
    // Escaping at most doubles a text; reading only the sizes keeps the heap texts cold.
    size_t bound = 0;
    for (const auto& [key, value] : m_values) bound += 2 * key.size() + 2 * value.textBound() + 3;
    return bound;
}

std::u16string CPropertySet::toText() const {
    // One walk of the map: a second one to size the text exactly costs more (cache misses on
    // every node) than the string's few regrowths from a typical line length.
    std::u16string text;
    text.reserve(m_values.size() * 40);
    StringSink sink{text};
    writeBlock(sink);
    return text;
}

void CPropertySet::save(std::unique_ptr<char16_t[]>& block, uint32_t& byteCount) const {
    const size_t bound = blockBound();
    if (bound == 0) {
        block.reset();
        byteCount = 0;
        return;
    }
    // Pages of the bound that the text does not reach are never touched.
    block = std::make_unique_for_overwrite<char16_t[]>(bound + 1);
    BufferSink sink{block.get()};
    writeBlock(sink);
    const size_t units = static_cast<size_t>(sink.p - block.get());
    block[units] = 0;
    byteCount = static_cast<uint32_t>(units * 2);
}

void CPropertySet::appendEscaped(std::u16string& out, std::u16string_view text) {
    StringSink sink{out};
    escapeTo(sink, text);
}

std::u16string CPropertySet::unescape(std::u16string_view text) {
    size_t slash = text.find(kBackslash);
    if (slash == std::u16string_view::npos) return std::u16string(text);
    std::u16string out(text.substr(0, slash));
    size_t i = slash;
    while (i < text.size()) {
        // text[i] starts a run of backslashes.
        size_t runEnd = i;
        while (runEnd < text.size() && text[runEnd] == kBackslash) ++runEnd;
        const size_t run = runEnd - i;
        if (runEnd == text.size()) {
            out.append(run, kBackslash);
            break;
        }
        size_t pieceEnd = text.find(kBackslash, runEnd);
        if (pieceEnd == std::u16string_view::npos) pieceEnd = text.size();
        const std::u16string_view piece = text.substr(runEnd, pieceEnd - runEnd);
        if (run >= 2) {
            out.append(run - 1, kBackslash);
            out.append(piece);
        } else if (piece[0] == u'n') {
            out.push_back(kLineFeed);
            out.append(piece.substr(1));
        } else {
            out.append(piece);
        }
        i = pieceEnd;
    }
    return out;
}

}  // namespace vt
