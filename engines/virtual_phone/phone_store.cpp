#include "engines/virtual_phone/phone_store.h"

#include <charconv>
#include <cstring>

#include "platform/file.h"
#include "platform/find.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"

namespace vt::engines {

namespace {

constexpr std::string_view kStateHeader = "vphone-state 1";

std::u16string osErrorText(const std::u16string& what, const std::u16string& path, int osError) {
    return format(u"%s '%s' failed: %s (%d)", what, path, plat::systemErrorText(osError), osError);
}

std::u16string describe(const plat::FileException& e) {
    return osErrorText(u"file access", e.fileName(), e.osError());
}

bool readWhole(const std::u16string& path, std::string* bytes, plat::FileStatus* status) {
    plat::File f;
    if (!f.tryOpen(path, plat::Access::Read, plat::Disposition::OpenExisting,
                   plat::Share::DenyNone))
        return false;
    try {
        *status = f.status();
        if (status->isDirectory) return false;
        bytes->assign(static_cast<size_t>(f.length()), '\0');
        size_t got = bytes->empty() ? 0 : f.readAt(0, bytes->data(), bytes->size());
        bytes->resize(got);
        // The size in the revision is that of the bytes read, so a file growing while it is read
        // still gets a revision that matches its hash.
        status->size = got;
        f.close();
    } catch (const plat::FileException&) {
        return false;
    }
    return true;
}

template <class T>
bool parseNumber(std::string_view s, T* out, int base = 10) {
    if (s.empty()) return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out, base);
    return ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

PhoneStore::PhoneStore(std::u16string folder)
    : folder_(std::move(folder)), stateFolder_(plat::joinPath(folder_, u".vphone")) {}

std::u16string PhoneStore::statePath() const {
    return plat::joinPath(stateFolder_, u"state");
}

std::u16string PhoneStore::notePath(std::u16string_view name) const {
    return plat::joinPath(folder_, name);
}

bool PhoneStore::open(std::u16string* error) {
    for (const std::u16string* dir : {&folder_, &stateFolder_}) {
        plat::FileStatus st;
        if (plat::getFileStatus(*dir, &st)) {
            if (st.isDirectory) continue;
            if (error) *error = format(u"'%s' is not a folder", *dir);
            return false;
        }
        if (int rc = plat::createDirectory(*dir)) {
            if (error) *error = osErrorText(u"creating the folder", *dir, rc);
            return false;
        }
    }
    for (const auto& e : plat::findFiles(plat::joinPath(stateFolder_, u"*.tmp")))
        if (!e.isDirectory) plat::removeFile(plat::joinPath(stateFolder_, e.name));
    return true;
}

std::u16string PhoneStore::luidText(Luid luid) {
    return toU16(static_cast<int64_t>(luid));
}

std::optional<Luid> PhoneStore::parseLuid(std::u16string_view text) {
    if (text.empty() || text.size() > 18 || text[0] == u'0') return std::nullopt;
    Luid v = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return std::nullopt;
        v = v * 10 + static_cast<Luid>(c - u'0');
    }
    return v;
}

uint64_t PhoneStore::hashBytes(std::string_view bytes) {
    // 64-bit FNV-1a.
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string PhoneStore::stateText(const PhoneState& state) {
    std::string out(kStateHeader);
    out += '\n';
    if (state.anchor) {
        std::string anchor = toUtf8(*state.anchor);
        for (char& c : anchor)
            if (c == '\n' || c == '\r') c = ' ';  // one line per field
        out += "anchor " + anchor + "\n";
    }
    if (state.checked) out += "checked " + std::to_string(*state.checked) + "\n";
    out += "next-luid " + std::to_string(state.nextLuid) + "\n";
    out.reserve(out.size() + state.notes.size() * 48);
    char line[96];
    for (const auto& [luid, rev] : state.notes) {
        char* p = line;
        auto put = [&](std::string_view word) {
            std::memcpy(p, word.data(), word.size());
            p += word.size();
        };
        put(rev ? "note " : "new ");
        p = std::to_chars(p, line + sizeof line, luid).ptr;
        if (rev) {
            *p++ = ' ';
            p = std::to_chars(p, line + sizeof line, rev->size).ptr;
            *p++ = ' ';
            p = std::to_chars(p, line + sizeof line, rev->lastWriteTime).ptr;
            *p++ = ' ';
            p = std::to_chars(p, line + sizeof line, rev->hash, 16).ptr;
        }
        *p++ = '\n';
        out.append(line, p);
    }
    return out;
}

bool PhoneStore::parseStateText(std::string_view text, PhoneState* out, std::u16string* error) {
    PhoneState st;
    int lineNo = 0;
    bool sawHeader = false, sawNext = false;
    auto bad = [&](std::string_view line) {
        if (error)
            *error =
                format(u"phone state line %d is not understood: '%s'", lineNo, std::string(line));
        return false;
    };
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!sawHeader) {
            if (line != kStateHeader) return bad(line);
            sawHeader = true;
            continue;
        }
        if (line.empty()) continue;
        size_t sp = line.find(' ');
        std::string_view word = line.substr(0, sp);
        std::string_view rest = sp == std::string_view::npos ? "" : line.substr(sp + 1);
        if (word == "anchor") {
            st.anchor = fromUtf8(rest);
        } else if (word == "checked") {
            int64_t t = 0;
            if (!parseNumber(rest, &t)) return bad(line);
            st.checked = t;
        } else if (word == "next-luid") {
            if (!parseNumber(rest, &st.nextLuid) || st.nextLuid == 0) return bad(line);
            sawNext = true;
        } else if (word == "new" || word == "note") {
            size_t sp2 = rest.find(' ');
            Luid luid = 0;
            if (!parseNumber(rest.substr(0, sp2), &luid) || luid == 0) return bad(line);
            if (word == "new") {
                if (sp2 != std::string_view::npos) return bad(line);
                // The file lists LUIDs in ascending order: the hint makes that linear.
                st.notes.insert_or_assign(st.notes.end(), luid, std::nullopt);
                continue;
            }
            if (sp2 == std::string_view::npos) return bad(line);
            std::string_view fields = rest.substr(sp2 + 1);
            NoteRevision rev;
            size_t a = fields.find(' ');
            size_t b = a == std::string_view::npos ? a : fields.find(' ', a + 1);
            if (b == std::string_view::npos || !parseNumber(fields.substr(0, a), &rev.size) ||
                !parseNumber(fields.substr(a + 1, b - a - 1), &rev.lastWriteTime) ||
                !parseNumber(fields.substr(b + 1), &rev.hash, 16))
                return bad(line);
            st.notes.insert_or_assign(st.notes.end(), luid, rev);
        } else {
            return bad(line);
        }
    }
    if (!sawHeader || !sawNext) {
        if (error) *error = u"phone state is incomplete (no header or no next-luid line)";
        return false;
    }
    *out = std::move(st);
    return true;
}

bool PhoneStore::loadState(PhoneState* out, std::u16string* error) const {
    const std::u16string path = statePath();
    std::string bytes;
    plat::FileStatus st;
    if (!readWhole(path, &bytes, &st)) {
        if (!plat::getFileStatus(path, &st)) {
            *out = PhoneState{};
            return true;
        }
        if (error) *error = format(u"cannot read the phone state '%s'", path);
        return false;
    }
    return parseStateText(bytes, out, error);
}

bool PhoneStore::saveState(const PhoneState& state, std::u16string* error) const {
    return writeAtomically(statePath(), stateText(state), Flush::Now, nullptr, error);
}

std::u16string PhoneStore::journalPath() const {
    return plat::joinPath(stateFolder_, u"journal");
}

bool PhoneStore::writeAtomically(const std::u16string& target, std::string_view bytes, Flush flush,
                                 plat::FileStatus* status, std::u16string* error) const {
    // The temporary file lives in .vphone, so a scan never takes it for a note and open()
    // clears what a crash left.
    const std::u16string temp = plat::joinPath(stateFolder_, plat::fileNameOf(target) + u".tmp");
    try {
        plat::File f;
        f.open(temp, plat::Access::Write, plat::Disposition::CreateAlways, plat::Share::Exclusive);
        if (!bytes.empty()) f.writeAt(0, bytes.data(), bytes.size());
        if (flush == Flush::Now) f.flush();
        if (status) *status = f.status();  // the rename keeps the time
        f.close();
    } catch (const plat::FileException& e) {
        plat::removeFile(temp);
        if (error) *error = describe(e);
        return false;
    }
    const int rc = flush == Flush::Now
                       ? plat::replaceFileDurably(temp, target)
                       : plat::renameFile(temp, target, plat::RenameSource::OwnClosedFile);
    if (rc != 0) {
        plat::removeFile(temp);
        if (error) *error = osErrorText(u"replacing", target, rc);
        return false;
    }
    return true;
}

std::vector<plat::FindEntry> PhoneStore::list() const {
    std::vector<plat::FindEntry> entries =
        plat::findFiles(plat::joinPath(folder_, u"*"), plat::FindDetail::WithTimes);
    std::erase_if(entries, [](const plat::FindEntry& e) {
        return e.isDirectory || e.name.empty() || e.name[0] == u'.';
    });
    return entries;
}

std::vector<NoteFile> PhoneStore::scan(std::u16string* error) const {
    std::vector<NoteFile> notes;
    for (const auto& e : plat::findFiles(plat::joinPath(folder_, u"*"))) {
        if (e.isDirectory || e.name.empty() || e.name[0] == u'.') continue;
        NoteFile n;
        if (readNote(e.name, &n)) {
            notes.push_back(std::move(n));
        } else if (error && exists(e.name)) {
            *error = format(u"cannot read the note '%s'", notePath(e.name));
        }
    }
    return notes;
}

bool PhoneStore::readNote(std::u16string_view name, NoteFile* out) const {
    plat::FileStatus st;
    NoteFile n;
    n.name = std::u16string(name);
    if (!readWhole(notePath(name), &n.bytes, &st)) return false;
    n.revision = NoteRevision{st.size, st.lastWriteTime, hashBytes(n.bytes)};
    *out = std::move(n);
    return true;
}

bool PhoneStore::writeNote(std::u16string_view name, std::string_view bytes, NoteRevision* revision,
                           std::u16string* error, Flush flush) const {
    plat::FileStatus st;
    if (!writeAtomically(notePath(name), bytes, flush, &st, error)) return false;
    *revision = NoteRevision{bytes.size(), st.lastWriteTime, hashBytes(bytes)};
    return true;
}

bool PhoneStore::flushNotes(const std::vector<std::u16string>& written,
                            std::u16string* error) const {
    if (plat::flushFileSystem(folder_) == 0) return true;
    // No flush of the whole file system: each note by itself. Renames and removals are then as
    // durable as the file system makes them on its own.
    for (const std::u16string& name : written) {
        plat::File f;
        try {
            if (!f.tryOpen(notePath(name), plat::Access::Write, plat::Disposition::OpenExisting,
                           plat::Share::DenyNone))
                continue;  // removed again meanwhile
            f.flush();
            f.close();
        } catch (const plat::FileException& e) {
            if (error) *error = describe(e);
            return false;
        }
    }
    return true;
}

bool PhoneStore::removeNote(std::u16string_view name, std::u16string* error) const {
    const std::u16string path = notePath(name);
    int rc = plat::removeFile(path);
    if (rc == 0 || plat::isNotFoundError(rc)) return true;
    if (error) *error = osErrorText(u"removing", path, rc);
    return false;
}

bool PhoneStore::renameNote(std::u16string_view from, std::u16string_view to,
                            std::u16string* error) const {
    if (exists(to)) {
        if (error) *error = format(u"cannot rename to '%s': the name is taken", notePath(to));
        return false;
    }
    if (int rc = plat::renameFile(notePath(from), notePath(to))) {
        if (error) *error = osErrorText(u"renaming", notePath(from), rc);
        return false;
    }
    return true;
}

bool PhoneStore::exists(std::u16string_view name) const {
    plat::FileStatus st;
    return plat::getFileStatus(notePath(name), &st);
}

std::map<Luid, JournalEntry> PhoneJournal::parse(std::string_view text) {
    std::map<Luid, JournalEntry> out;
    auto apply = [&](std::string_view line) {
        std::string_view fields[4];
        size_t count = 0;
        while (!line.empty() && count < 4) {
            size_t sp = line.find(' ');
            fields[count++] = line.substr(0, sp);
            line = sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
        }
        Luid luid = 0;
        if (!line.empty() || count < 2 || !parseNumber(fields[1], &luid) || luid == 0) return;
        JournalEntry e;
        if (fields[0] == "add" && count == 4 && parseNumber(fields[2], &e.size) &&
            parseNumber(fields[3], &e.hash, 16)) {
            out[luid] = e;
        } else if (fields[0] == "done" && count == 2) {
            auto it = out.find(luid);
            if (it != out.end()) it->second.answered = true;
        }
    };
    // Only whole lines count: a line cut short by a crash is ignored, as is one not understood.
    size_t nl;
    while ((nl = text.find('\n')) != std::string_view::npos) {
        apply(text.substr(0, nl));
        text.remove_prefix(nl + 1);
    }
    return out;
}

std::map<Luid, JournalEntry> PhoneJournal::read() {
    std::string bytes;
    if (file_.isOpen()) {
        try {
            bytes.assign(static_cast<size_t>(file_.length()), '\0');
            bytes.resize(file_.readAt(0, bytes.data(), bytes.size()));
        } catch (const plat::FileException&) {
            return {};
        }
        return parse(bytes);
    }
    plat::FileStatus st;
    if (!readWhole(path_, &bytes, &st)) return {};
    return parse(bytes);
}

bool PhoneJournal::add(Luid luid, std::string_view bytes, std::u16string* error) {
    char hash[17];
    auto r = std::to_chars(hash, hash + sizeof hash - 1, PhoneStore::hashBytes(bytes), 16);
    *r.ptr = '\0';
    std::string text = std::move(waiting_);
    waiting_.clear();
    text += "add " + std::to_string(luid) + " " + std::to_string(bytes.size()) + " " + hash + "\n";
    return write(std::move(text), error);
}

void PhoneJournal::done(Luid luid) {
    waiting_ += "done " + std::to_string(luid) + "\n";
}

bool PhoneJournal::flush(std::u16string* error) {
    if (waiting_.empty()) return true;
    std::string text = std::move(waiting_);
    waiting_.clear();
    return write(std::move(text), error);
}

bool PhoneJournal::write(std::string text, std::u16string* error) {
    try {
        if (!file_.isOpen()) {
            file_.open(path_, plat::Access::ReadWrite, plat::Disposition::OpenAlways,
                       plat::Share::DenyWrite);
            end_ = file_.length();
            // A line a crash cut short goes, or the first line appended would complete it.
            char last = '\n';
            if (end_ > 0 && file_.readAt(end_ - 1, &last, 1) == 1 && last != '\n') {
                std::string old(static_cast<size_t>(end_), '\0');
                old.resize(file_.readAt(0, old.data(), old.size()));
                const size_t nl = old.rfind('\n');
                end_ = nl == std::string::npos ? 0 : nl + 1;
                file_.setLength(end_);
            }
        }
        file_.writeAt(end_, text.data(), text.size());
        end_ += text.size();
    } catch (const plat::FileException& e) {
        if (error) *error = describe(e);
        return false;
    }
    return true;
}

bool PhoneJournal::clear(std::u16string* error) {
    waiting_.clear();
    file_ = plat::File();
    const int rc = plat::removeFile(path_);
    if (rc == 0 || plat::isNotFoundError(rc)) return true;
    if (error) *error = osErrorText(u"removing", path_, rc);
    return false;
}

}  // namespace vt::engines
