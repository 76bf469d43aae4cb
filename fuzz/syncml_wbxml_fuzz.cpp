// Fuzzes the SyncML WBXML reader: the input is a message as a client may send it in WBXML.
// Checks: decoding fails with an error or gives XML that the XML reader reads or refuses with a
// one-line error; what it read is written and encoded as WBXML again without a crash.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engines/syncml/message.h"
#include "engines/syncml/wbxml.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt::syncml;
    std::string xml, error;
    if (!wbxmlToXml(std::string_view(reinterpret_cast<const char*>(data), size), &xml, &error)) {
        check(!error.empty());
        return 0;
    }
    Message message;
    if (!parseXml(xml, &message, &error)) {
        check(!error.empty() && error.find('\n') == std::string::npos);
        return 0;
    }
    std::string wbxml;
    xmlToWbxml(writeXml(message), &wbxml, &error);
    return 0;
}
