// Fuzzes the registry text reader: the input is a registry file as a person may have left it.
// Checks: reading never fails; problems name lines of the input in order; what was read, written
// as text, reads back without a problem to the same tree and writes the same text again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/registry_text.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt::plat::reg;
    Tree tree;
    std::vector<Problem> problems;
    parseText(std::string_view(reinterpret_cast<const char*>(data), size), &tree, &problems);
    size_t previous = 1;
    for (const Problem& p : problems) {
        check(p.line >= previous && p.line <= size + 1 && !p.what.empty());
        previous = p.line;
    }

    const std::string text = toText(tree);
    Tree back;
    std::vector<Problem> again;
    parseText(text, &back, &again);
    check(again.empty());
    check(back == tree);
    check(toText(back) == text);
    return 0;
}
