// The property file: an ordered set of named, typed values turned into a text block and back.
//
// CPropertyValue is one value: a string, a 32-bit number, a yes/no or a point in time, all
// held as text. CPropertySet maps keys (ordered UTF-16 code unit by code unit) to values and
// reads and writes the property text block: UTF-16LE lines "key:=value" separated by LINE FEED,
// ascending key order, with line feeds, "=" and backslashes escaped so that every key and
// value reads back as written (see docs/storage.md for the two texts that cannot be written).
//
// The typed getters throw TextError (util/text_error.h) with the message text.
// Thread safety: none; a set or value must not be used from two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

// A point in time: seconds since 1970 (UTC). Distinct from the number types so that a time
// value cannot be built from a number by accident.
struct CTime {
    int64_t seconds = 0;
    friend bool operator==(const CTime&, const CTime&) = default;
};

class CPropertyValue {
  public:
    // A plain string.
    explicit CPropertyValue(const std::u16string& text);
    explicit CPropertyValue(std::u16string&& text);
    explicit CPropertyValue(const char16_t* text);
    // A number; its text is "%d".
    explicit CPropertyValue(int32_t number);
    // A yes/no; its text is "true" or "false".
    explicit CPropertyValue(bool truth);
    // A time; its text is the local time "%d.%m.%Y %H:%M:%S" (02.03.2004 12:00:01).
    explicit CPropertyValue(CTime time);

    // The text.
    void getStringValue(std::u16string& value) const;
    // The number. Text that reads as a number makes the value a number. Throws
    // "CPropertyValue::getLongValue:other type" (a yes/no or a time),
    // "CPropertyValue::getLongValue: No value inited" or "CPropertyValue::getLongValue:
    // NotANumber".
    void getLongValue(int32_t& value);
    // The time. Text in the time form makes the value a time. Throws
    // "CPropertyValue::getCTimeValue:other type" (a number or a yes/no),
    // "CPropertyValue::getCTimeValue: No value inited" or
    // "CPropertyValue::getCTimeValue: NotACtimeString".
    void getCTimeValue(CTime& value);

    // The text form of a time, and its reading; nullopt when text is not in the time form.
    static std::u16string formatTime(CTime time);
    static std::optional<CTime> parseTime(std::u16string_view text);

  private:
    friend class CPropertySet;

    // What the value has been read as so far. A text once read as a number or a time stays
    // one: asking it for the other type fails.
    enum class Kind : uint8_t { Text, Number, Truth, Time };

    // The text; made when asked for a value built from a number or a time.
    std::u16string text() const;
    // An upper bound of text().size().
    size_t textBound() const;

    // A mapping holds several values per note, so a value is kept small: a number or a time
    // built by this program has no text until one is asked for (a time's is 19 code units).
    std::u16string m_text;
    int64_t m_scalar = 0;  // the number, the truth (0 or 1) or the time's seconds, by m_kind
    Kind m_kind = Kind::Text;
    bool m_textFromScalar = false;
};

class CPropertySet {
  public:
    CPropertySet() = default;
    // Reads a property text block of byteCount bytes (UTF-16LE; an odd last byte is ignored).
    // Malformed lines and lines with an empty value are skipped; reading never fails.
    CPropertySet(const void* block, size_t byteCount);
    CPropertySet(const CPropertySet&) = delete;
    CPropertySet& operator=(const CPropertySet&) = delete;

    // The value under key, owned by the set, or null. Valid until the key is set or removed.
    CPropertyValue* get(const std::u16string& key);
    // Stores a copy of value under key, replacing any earlier value.
    void set(const std::u16string& key, const CPropertyValue& value);
    // Removes the key; a missing key is ignored.
    void remove(const std::u16string& key);
    // A new block (one zero code unit follows it, not counted) and its byte count; with no
    // keys, no block and byteCount 0.
    void save(std::unique_ptr<char16_t[]>& block, uint32_t& byteCount) const;
    // The block's text.
    std::u16string toText() const;

    size_t getCount() const { return m_values.size(); }
    std::vector<std::u16string> getKeys() const;
    // Calls fn(rest of the key, value) for every key that starts with prefix, in key order.
    template <class F>
    void forEachWithPrefix(std::u16string_view prefix, F&& fn) {
        for (auto it = m_values.lower_bound(std::u16string(prefix));
             it != m_values.end() &&
             std::u16string_view(it->first).substr(0, prefix.size()) == prefix;
             ++it)
            fn(std::u16string_view(it->first).substr(prefix.size()), it->second);
    }

    // The escaping of the block, for keys and values alike.
    static void appendEscaped(std::u16string& out, std::u16string_view text);
    static std::u16string unescape(std::u16string_view text);

  private:
    template <class Sink>
    void writeBlock(Sink& out) const;
    // An upper bound of the block's length in code units; 0 for no lines.
    size_t blockBound() const;

    std::map<std::u16string, CPropertyValue> m_values;
};

}  // namespace vt
