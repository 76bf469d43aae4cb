#include "host/note_lists.h"

#include <algorithm>

#include "engines/virtual_phone/phone_store.h"
#include "platform/file.h"
#include "platform/find.h"
#include "platform/path.h"
#include "platform/text.h"

namespace vt::host {

std::vector<NoteEntry> listPcNotes(const std::u16string& folder) {
    std::vector<NoteEntry> notes;
    for (const auto& e : plat::findFiles(plat::joinPath(folder, u"*.txt"))) {
        if (e.isDirectory) continue;
        NoteEntry n{e.name, {}};
        plat::File f;
        if (f.tryOpen(plat::joinPath(folder, e.name), plat::Access::Read,
                      plat::Disposition::OpenExisting, plat::Share::DenyNone)) {
            try {
                n.bytes.resize(f.length());
                n.bytes.resize(f.readAt(0, n.bytes.data(), n.bytes.size()));
            } catch (const plat::FileException&) {
                n.bytes.clear();
            }
        }
        notes.push_back(std::move(n));
    }
    std::sort(notes.begin(), notes.end(),
              [](const NoteEntry& a, const NoteEntry& b) { return a.name < b.name; });
    return notes;
}

std::vector<NoteEntry> listPhoneNotes(const std::u16string& store) {
    engines::PhoneStore s(store);
    std::vector<NoteEntry> notes;
    for (auto& n : s.scan(nullptr)) notes.push_back(NoteEntry{n.name, std::move(n.bytes)});
    std::sort(notes.begin(), notes.end(), [](const NoteEntry& a, const NoteEntry& b) {
        auto la = engines::PhoneStore::parseLuid(a.name);
        auto lb = engines::PhoneStore::parseLuid(b.name);
        if (la && lb) return *la < *lb;
        if (la || lb) return la.has_value();
        return a.name < b.name;
    });
    return notes;
}

std::u16string oneLine(const std::string& bytes, size_t max) {
    std::u16string t = fromUtf8(bytes);
    for (auto& c : t)
        if (c == u'\n' || c == u'\r' || c == u'\t') c = u' ';
    while (!t.empty() && t.back() == u' ') t.pop_back();
    if (max > 3 && t.size() > max) t = t.substr(0, max - 3) + u"...";
    return t;
}

}  // namespace vt::host
