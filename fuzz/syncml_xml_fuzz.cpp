// Fuzzes the SyncML XML reader: the input is a message as a client may send it.
// Checks: reading fails with a one-line error or succeeds; what was read, written, reads back
// with the same item data; and writing what was read back again settles (reading and writing
// once more gives the same text).
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engines/syncml/message.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// The data of every item, nested commands included, in document order.
void collectData(const std::vector<vt::syncml::Command>& commands,
                 std::vector<std::optional<std::string>>* out) {
    for (const vt::syncml::Command& c : commands) {
        for (const vt::syncml::Item& item : c.items) out->push_back(item.data);
        collectData(c.commands, out);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt::syncml;
    Message first;
    std::string error;
    if (!parseXml(std::string_view(reinterpret_cast<const char*>(data), size), &first, &error)) {
        check(!error.empty() && error.find('\n') == std::string::npos);
        return 0;
    }
    check(error.empty());

    const std::string written = writeXml(first);
    Message second;
    check(parseXml(written, &second, &error));
    std::vector<std::optional<std::string>> before;
    std::vector<std::optional<std::string>> after;
    collectData(first.commands, &before);
    collectData(second.commands, &after);
    check(before == after);
    check(second.final == first.final);

    // Markup in Data may gain the declaration of a namespace it inherited; after that one
    // change the text is fixed.
    const std::string again = writeXml(second);
    Message third;
    check(parseXml(again, &third, &error));
    check(writeXml(third) == again);
    return 0;
}
