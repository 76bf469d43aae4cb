#include "host/demo.h"

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "engines/virtual_phone/phone_store.h"
#include "host/commands.h"
#include "host/console.h"
#include "host/module_host.h"
#include "host/note_lists.h"
#include "host/phone_link.h"
#include "host/settings.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/special_folders.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/time.h"

namespace vt::host {

namespace {

constexpr int kSessionTimeoutMs = 120000;

void out(const std::u16string& text) {
    Console::instance().line(text);
}
void fail(const std::u16string& text) {
    Console::instance().error(text);
}

void heading(const std::u16string& text) {
    out(u"");
    out(text);
    out(std::u16string(text.size(), u'-'));
}

bool writeText(const std::u16string& path, const std::string& text) {
    plat::File f;
    if (!f.tryOpen(path, plat::Access::Write, plat::Disposition::CreateAlways,
                   plat::Share::DenyNone))
        return false;
    try {
        f.writeAt(0, text.data(), text.size());
        f.close();
    } catch (const plat::FileException&) {
        return false;
    }
    return true;
}

// A note written on the phone, as its user would.
bool writePhoneNote(const engines::PhoneStore& phone, const std::u16string& name,
                    const std::string& text, std::u16string* error) {
    engines::NoteRevision revision;
    return phone.writeNote(name, text, &revision, error);
}

void showSide(const std::u16string& title, const std::u16string& folder,
              const std::vector<NoteEntry>& notes) {
    out(format(u"  %s  %s", title, folder));
    if (notes.empty()) out(u"      (no notes)");
    for (const NoteEntry& n : notes) out(format(u"      %-14s %s", n.name, oneLine(n.bytes, 60)));
}

void showBoth(const std::u16string& when, const PhoneLink& link) {
    out(u"");
    out(u"  " + when + u":");
    showSide(u"PC   ", link.notesFolder(), listPcNotes(link.notesFolder()));
    showSide(u"phone", link.setup().store, listPhoneNotes(link.setup().store));
}

// The phone's note whose text starts with prefix; empty when none.
std::u16string phoneNoteStartingWith(const std::u16string& store, const std::string& prefix) {
    for (const NoteEntry& n : listPhoneNotes(store))
        if (n.bytes.compare(0, prefix.size(), prefix) == 0) return n.name;
    return {};
}

// Both sides hold the same texts (each once).
bool sidesAgree(const PhoneLink& link, size_t* count) {
    std::multiset<std::string> pc, phone;
    for (const NoteEntry& n : listPcNotes(link.notesFolder())) pc.insert(n.bytes);
    for (const NoteEntry& n : listPhoneNotes(link.setup().store)) phone.insert(n.bytes);
    *count = pc.size();
    return pc == phone;
}

// The process's current folder (the module writes debug copies of received items there) and
// COM, for the demo's lifetime.
class DemoScope {
  public:
    explicit DemoScope(const std::u16string& home) : old_(plat::currentDirectory()) {
        com_ = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const std::u16string work = plat::joinPath(home, u"received-items");
        plat::createDirectory(work);
        plat::setCurrentDirectory(work);
    }
    ~DemoScope() {
        if (!old_.empty()) plat::setCurrentDirectory(old_);
        if (SUCCEEDED(com_)) CoUninitialize();
    }
    DemoScope(const DemoScope&) = delete;
    DemoScope& operator=(const DemoScope&) = delete;

  private:
    std::u16string old_;
    HRESULT com_;
};

bool session(PhoneLink& link) {
    SessionReport r = link.synchronize(kSessionTimeoutMs);
    for (const auto& l : summaryLines(link.setup().alias, r)) out(l);
    if (!r.ok) fail(u"the session did not finish: " + r.message);
    return r.ok;
}

}  // namespace

std::u16string makeDemoSandbox(std::u16string* error) {
    std::u16string tmp = plat::loggerTempFolder();
    for (int n = 0; n < 1000; ++n) {
        std::u16string folder = format(u"%svantrel-demo-%u-%d", tmp, plat::currentProcessId(), n);
        int e = plat::createDirectory(folder);
        if (e == 0) return folder;
        plat::FileStatus st;
        if (!plat::getFileStatus(folder, &st)) {
            *error =
                format(u"can't create a sandbox folder %s: %s", folder, plat::systemErrorText(e));
            return {};
        }
    }
    *error = u"can't find a free name for a sandbox folder in " + tmp;
    return {};
}

int runDemo(const std::u16string& home, const std::u16string& modulePath) {
    plat::setEnv("VANTREL_HOME", home);
    DemoScope scope(home);
    const std::u16string pcRoot = plat::joinPath(home, u"PC");
    const std::u16string store = defaultPhoneStore(u"phone");

    out(u"Vantrel demo");
    out(u"============");
    out(u"A desktop host (this program) loads the Vantrel module and synchronises a folder of");
    out(u"notes on the PC with a phone. The phone here is a virtual one: a folder of note files.");
    out(u"");
    out(u"Sandbox: " + home);
    out(u"  (VANTREL_HOME: the registry file, the module's data and the phone all live here)");

    heading(u"1. Register the module");
    std::u16string error;
    if (!registerModule(modulePath, &error)) {
        fail(error);
        return kExitFailed;
    }
    PluginLocation loc;
    if (!findPlugin(u"Notes", &loc, &error)) {
        fail(error);
        return kExitFailed;
    }
    out(format(u"  %s is now the plug-in for \"Notes\" (class %s)", loc.modulePath, loc.clsidText));
    out(u"  registry file: " + plat::registryLocation());

    heading(u"2. Settings");
    plat::createDirectory(pcRoot);
    if (writeSetting(settings()[0], pcRoot) != plat::kErrorSuccess ||
        writeSetting(settings()[2], u"en") != plat::kErrorSuccess) {
        fail(u"can't write the settings into " + plat::registryLocation());
        return kExitFailed;
    }
    out(u"  Root             = " + pcRoot + u"   (one folder per phone)");
    out(u"  Current Language = en   (so the notes folder is called \"Notes\")");

    heading(u"3. Connect the phone 'phone' and write notes on both sides");
    std::shared_ptr<ModuleHost> module = ModuleHost::load(loc.modulePath, loc.clsid, &error);
    if (!module) {
        fail(error);
        return kExitFailed;
    }
    PhoneSetup setup{u"350000000000001", u"phone", store, u""};
    ConnectReport report;
    std::unique_ptr<PhoneLink> link = PhoneLink::connect(module, setup, &error, &report);
    for (const auto& n : report.notes) out(u"  " + n);
    if (!link) {
        fail(error);
        return kExitFailed;
    }
    savePhoneRecord(PhoneRecord{setup.imei, setup.alias, setup.store, {}, {}});
    const std::u16string pc = link->notesFolder();
    engines::PhoneStore phone(store);
    bool wrote =
        writeText(plat::joinPath(pc, u"shopping.txt"), "Shopping: milk, bread, apples\n") &&
        writeText(plat::joinPath(pc, u"meeting.txt"), "Meeting on Monday at 10\n") &&
        writeText(plat::joinPath(pc, u"ideas.txt"), "Ideas: paint the shed green\n") &&
        phone.open(&error) &&
        writePhoneNote(phone, u"garage", "Garage: call about the brakes\n", &error) &&
        writePhoneNote(phone, u"birthdays", "Birthdays: Anna 12 May, Ben 3 June\n", &error);
    if (!wrote) {
        fail(u"can't write the demo notes: " + error);
        return kExitFailed;
    }
    out(u"  three notes on the PC, two on the phone");
    showBoth(u"Before the first synchronisation", *link);

    heading(u"4. First synchronisation (slow sync: both sides send everything)");
    if (!session(*link)) return kExitFailed;
    showBoth(u"After the first synchronisation", *link);

    heading(u"5. Edit both sides");
    // The module sees PC edits by the file's time stamp (whole seconds): let one pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const std::u16string birthdays = phoneNoteStartingWith(store, "Birthdays");
    const std::u16string shopping = phoneNoteStartingWith(store, "Shopping");
    wrote =
        writeText(plat::joinPath(pc, u"meeting.txt"), "Meeting moved to Tuesday at 11\n") &&
        writeText(plat::joinPath(pc, u"shopping.txt"),
                  "Shopping: milk, bread, apples, coffee (PC)\n") &&
        !birthdays.empty() && phone.removeNote(birthdays, &error) && !shopping.empty() &&
        writePhoneNote(phone, shopping, "Shopping: milk, bread, apples, tea (phone)\n", &error) &&
        writePhoneNote(phone, u"trains", "Trains: 7:42 and 8:12 to town\n", &error);
    if (!wrote) {
        fail(u"can't edit the demo notes: " + error);
        return kExitFailed;
    }
    out(u"  on the PC:    meeting.txt edited");
    out(u"  on the phone: the birthdays note deleted, a trains note added");
    out(u"  on both:      the shopping note edited differently (a conflict)");
    showBoth(u"Before the second synchronisation", *link);

    heading(u"6. Second synchronisation (two-way: only the changes travel)");
    if (!session(*link)) return kExitFailed;
    showBoth(u"After the second synchronisation", *link);

    size_t count = 0;
    const bool agree = sidesAgree(*link, &count);
    link.reset();
    module.reset();
    out(u"");
    if (!agree) {
        fail(u"the PC and the phone do not hold the same notes after the demo");
        return kExitFailed;
    }
    out(format(u"Both sides hold the same %d notes: the edit travelled to the phone, the delete",
               count));
    out(u"to the PC, the new phone note to the PC, and in the conflict the PC's version won.");
    out(u"");
    std::u16string exe = plat::hostExecutablePath();
    if (exe.empty()) exe = u"vantrel";
    out(u"The sandbox stays for you to look at: with VANTREL_HOME set to");
    out(u"  " + home);
    out(u"run `" + exe + u" status` (or sync, export, ...); remove the folder when done.");
    return kExitOk;
}

}  // namespace vt::host
