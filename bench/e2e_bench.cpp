// End-to-end figures: the host drives the really loaded module against a virtual phone, as
// `vantrel sync` does. Prints a table; figures, not tests (build in a Release folder).
//
//   e2e_bench [--quick | --unchanged N]
//
// Scenarios: the first (slow) sync of 10,000 PC notes, beside the cost of reading and writing
// the same files once (plainly, and with one flush of the file system at the end, as the phone
// makes its notes durable); a session with nothing changed over 10,000 and 100,000 notes, right
// after the first sync (the phone reads every note it wrote then, their times being too recent
// to trust) and once those times are old enough; a session with 1% of 10,000 notes changed
// (half on each side). --quick uses 2,000 and 10,000 notes. --unchanged N runs only the
// unchanged session over 10,000 notes, N times, for a profiler. --write-files DIR N writes N
// notes into the new folder DIR, each beside its name and renamed over it as the module writes a
// received note, and prints the CPU time that took: the file system's share of a server session.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engines/virtual_phone/phone_store.h"
#include "host/commands.h"
#include "host/console.h"
#include "host/module_host.h"
#include "host/note_lists.h"
#include "host/phone_link.h"
#include "host/settings.h"
#include "platform/file.h"
#include "platform/find.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/special_folders.h"
#include "platform/system.h"
#include "platform/text.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

std::string noteBody(int i) {
    std::string s = "note " + std::to_string(i) + ": ";
    s.append(static_cast<size_t>(100 + (i * 37) % 200), static_cast<char>('a' + i % 26));
    return s + "\n";
}

// A sandbox with the module registered and n notes in the PC folder.
struct Sandbox {
    fs::path home;
    std::u16string pcNotes;
    std::u16string store;

    explicit Sandbox(int n, const std::string& name) {
        home = fs::temp_directory_path() /
               ("vantrel-bench-" + name + "-" + std::to_string(plat::currentProcessId()));
        fs::remove_all(home);
        fs::create_directories(home / "PC" / "phone" / "Notes");
        plat::setEnv("VANTREL_HOME", fromUtf8(home.string()));
        // The module writes debug copies of received items into the current folder.
        plat::setCurrentDirectory(fromUtf8(home.string()));
        std::u16string error;
        if (!host::registerModule(host::defaultModulePath(), &error)) {
            std::fprintf(stderr, "e2e_bench: %s\n", toUtf8(error).c_str());
            std::exit(1);
        }
        host::writeSetting(host::settings()[0], fromUtf8((home / "PC").string()));
        host::writeSetting(host::settings()[2], u"en");
        pcNotes = fromUtf8((home / "PC" / "phone" / "Notes").string());
        store = fromUtf8((home / "phones-device" / "phone").string());  // the default
        for (int i = 0; i < n; ++i) writeFile(plat::joinPath(pcNotes, note(i)), noteBody(i));
    }
    ~Sandbox() {
        std::error_code ec;
        fs::current_path(fs::temp_directory_path(), ec);
        fs::remove_all(home, ec);
    }
    static std::u16string note(int i) { return fromUtf8("note" + std::to_string(i) + ".txt"); }
    static void writeFile(const std::u16string& path, const std::string& bytes) {
        plat::File f;
        f.open(path, plat::Access::Write, plat::Disposition::CreateAlways, plat::Share::DenyNone);
        f.writeAt(0, bytes.data(), bytes.size());
        f.close();
    }
    host::PhoneSetup setup() const {
        return host::PhoneSetup{u"350000000000001", u"phone", store, u""};
    }
};

// Reads every note of folder and writes it into a new folder: plainly, or then made durable by
// one flush of the file system, as the phone stores the PC's notes in a session.
double readWriteOnce(const std::u16string& folder, const std::u16string& target, bool durable) {
    plat::createDirectory(target);
    auto t = Clock::now();
    std::string buf;
    for (const auto& e : plat::findFiles(plat::joinPath(folder, u"*.txt"))) {
        plat::File in;
        in.open(plat::joinPath(folder, e.name), plat::Access::Read, plat::Disposition::OpenExisting,
                plat::Share::DenyNone);
        buf.resize(in.length());
        buf.resize(in.readAt(0, buf.data(), buf.size()));
        in.close();
        plat::File f;
        f.open(plat::joinPath(target, e.name), plat::Access::Write, plat::Disposition::CreateAlways,
               plat::Share::Exclusive);
        f.writeAt(0, buf.data(), buf.size());
        f.close();
    }
    if (durable) plat::flushFileSystem(target);
    return msSince(t);
}

struct Session {
    double ms = 0;
    host::SessionReport report;
};

Session timed(host::PhoneLink& link) {
    Session s;
    auto t = Clock::now();
    s.report = link.synchronize(3600 * 1000);
    s.ms = msSince(t);
    if (!s.report.ok) {
        std::fprintf(stderr, "e2e_bench: session failed: %s\n", toUtf8(s.report.message).c_str());
        std::exit(1);
    }
    return s;
}

// The virtual phone's look at its notes in a session: its state and one listing with sizes and
// times (notes are read only when these differ from the state).
double phoneLook(const std::u16string& store) {
    engines::PhoneStore phone(store);
    auto t = Clock::now();
    engines::PhoneState state;
    phone.loadState(&state, nullptr);
    auto entries = phone.list();
    return entries.empty() ? -1 : msSince(t);
}

// Reading and hashing every phone note, as the phone did each session before it trusted sizes
// and times.
double phoneReadAll(const std::u16string& store) {
    engines::PhoneStore phone(store);
    auto t = Clock::now();
    auto notes = phone.scan(nullptr);
    return notes.empty() ? -1 : msSince(t);
}

// A listing of the PC folder with each file's size and time: the least a scan for changes costs.
double pcListing(const std::u16string& folder) {
    auto t = Clock::now();
    auto entries = plat::findFiles(plat::joinPath(folder, u"*.txt"), plat::FindDetail::WithTimes);
    return entries.empty() ? -1 : msSince(t);
}

// One whole `vantrel sync` run as a separate process: start, load, session, unload, exit.
double wholeRun(const std::u16string& outFile) {
    std::u16string error;
    // <build>/bench/e2e_bench -> <build>/host/vantrel
    const std::u16string exe = plat::joinPath(
        plat::joinPath(plat::parentFolder(plat::parentFolder(plat::hostExecutablePath())), u"host"),
        u"vantrel");
    auto t = Clock::now();
    int64_t pid = plat::startProcess(exe, {u"vantrel", u"sync", u"--quiet"}, outFile, &error);
    if (pid < 0 || plat::waitProcess(pid) != 0) return -1;
    return msSince(t);
}

void row(const char* what, int notes, double ms, const char* note = "") {
    std::printf("  %-44s %7d %10.1f   %s\n", what, notes, ms, note);
    std::fflush(stdout);
}

// The median of runs of f (which answers milliseconds).
template <class F>
double median(int runs, F f) {
    std::vector<double> v;
    for (int i = 0; i < runs; ++i) v.push_back(f());
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Edits count notes: half on the PC, half on the phone; round makes each edit new.
void changeNotes(Sandbox& box, int count, int round) {
    for (int i = 0; i < count / 2; ++i) {
        const std::u16string p = plat::joinPath(box.pcNotes, Sandbox::note(i * 2));
        Sandbox::writeFile(p, noteBody(i) + "edited on the PC " + std::to_string(round) + "\n");
        fs::last_write_time(toUtf8(p),
                            fs::file_time_type::clock::now() + std::chrono::hours(1 + round));
    }
    engines::PhoneStore phone(box.store);
    auto notes = host::listPhoneNotes(box.store);
    std::u16string error;
    for (int i = 0; i < count - count / 2 && i < static_cast<int>(notes.size()); ++i) {
        const auto& n = notes[notes.size() - 1 - static_cast<size_t>(i)];
        engines::NoteRevision rev;
        phone.writeNote(n.name, n.bytes + "edited on the phone\n", &rev, &error);
    }
}

// First sync, then the unchanged and changed sessions, for n notes.
void scenarios(int n, bool withBaselines) {
    char text[128];
    Sandbox box(n, "n" + std::to_string(n));
    const std::u16string copies = fromUtf8((box.home / "copies").string());
    double plain = 0, durable = 0;
    if (withBaselines) {
        int k = 0;
        plain = median(3, [&] { return readWriteOnce(box.pcNotes, copies + toU16(k++), false); });
        row("read + write every note once (plain)", n, plain, "median of 3");
        durable = readWriteOnce(box.pcNotes, copies + u"-durable", true);
        row("read + write once, one flush at the end", n, durable,
            "as the phone makes a session's notes durable");
    }

    std::u16string error;
    std::shared_ptr<host::ModuleHost> module = host::ModuleHost::open(u"Notes", &error);
    auto t = Clock::now();
    std::unique_ptr<host::PhoneLink> link = host::PhoneLink::connect(module, box.setup(), &error);
    if (!link) {
        std::fprintf(stderr, "e2e_bench: %s\n", toUtf8(error).c_str());
        std::exit(1);
    }
    row("connect (object, Initialize, controller)", n, msSince(t));
    Session first = timed(*link);
    if (withBaselines) {
        std::snprintf(text, sizeof text, "%.1fx plain, %.1fx durable (target <= 3x)",
                      first.ms / plain, first.ms / durable);
        row("first sync (slow, PC -> phone)", n, first.ms, text);
        const double after = readWriteOnce(box.pcNotes, copies + u"-durable-after", true);
        row("read + write once, one flush, again", n, after, "flush times vary");
    } else {
        row("first sync (slow, PC -> phone)", n, first.ms);
    }
    row("session right after it, nothing changed", n, timed(*link).ms,
        "the phone reads every note: times too recent");
    // Past the phone's 2 s window for times too recent to trust.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::vector<double> none;
    const std::clock_t cpu = std::clock();
    for (int i = 0; i < 5; ++i) none.push_back(timed(*link).ms);
    const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC / 5;
    std::sort(none.begin(), none.end());
    std::snprintf(text, sizeof text, "median of 5, best %.1f, cpu %.1f each%s", none.front(), cpuMs,
                  n <= 10000 ? " (target <= 100 ms)" : "");
    row("session, nothing changed", n, none[2], text);
    row("  of which: the phone's state and listing", n,
        median(3, [&] { return phoneLook(box.store); }), "median of 3");
    row("  for scale: one listing of the PC folder", n,
        median(3, [&] { return pcListing(box.pcNotes); }), "with sizes and times, median of 3");
    row("  for scale: reading + hashing every phone note", n,
        median(3, [&] { return phoneReadAll(box.store); }), "median of 3");
    int round = 0;
    const double some = median(3, [&] {
        changeNotes(box, n / 100, ++round);
        return timed(*link).ms;
    });
    row("session, 1% changed (half on each side)", n, some, "median of 3");
    t = Clock::now();
    link.reset();
    row("release the object (the module saves)", n, msSince(t));
    t = Clock::now();
    link = host::PhoneLink::connect(module, box.setup(), &error);
    row("connect again (store and mapping loaded)", n, msSince(t));
    link.reset();
    module.reset();
    row("whole `vantrel sync` process, nothing changed", n,
        median(3, [&] { return wholeRun(fromUtf8((box.home / "run.out").string())); }),
        "start, load, session, unload; median of 3");
}

// The first sync of n notes, then count unchanged sessions; prints their median.
void unchangedOnly(int n, int count) {
    Sandbox box(n, "unchanged");
    std::u16string error;
    std::shared_ptr<host::ModuleHost> module = host::ModuleHost::open(u"Notes", &error);
    std::unique_ptr<host::PhoneLink> link = host::PhoneLink::connect(module, box.setup(), &error);
    if (!link) {
        std::fprintf(stderr, "e2e_bench: %s\n", toUtf8(error).c_str());
        std::exit(1);
    }
    timed(*link);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double ms = median(count, [&] { return timed(*link).ms; });
    row("session, nothing changed", n, ms, "median");
}

// The CPU milliseconds of writing n notes into the new folder dir the way the module writes a
// note it receives: beside its name, then renamed over it.
int writeFiles(const std::u16string& dir, int n) {
    if (plat::createDirectory(dir) != 0) {
        std::fprintf(stderr, "e2e_bench: cannot make %s\n", toUtf8(dir).c_str());
        return 1;
    }
    const std::clock_t cpu = std::clock();
    for (int i = 0; i < n; ++i) {
        const std::u16string path = plat::joinPath(dir, Sandbox::note(i));
        Sandbox::writeFile(path + u".part", noteBody(i));
        plat::renameFile(path + u".part", path, plat::RenameSource::OwnClosedFile);
    }
    std::printf("%.0f\n", 1000.0 * static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC);
    return 0;
}

}  // namespace
}  // namespace vt

int main(int argc, char** argv) {
    using namespace vt;
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    if (argc > 3 && std::strcmp(argv[1], "--write-files") == 0)
        return writeFiles(fromUtf8(argv[2]), std::atoi(argv[3]));
    host::Console::instance().setQuiet(true);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::printf("  %-44s %7s %10s\n", "scenario", "notes", "ms");
    if (argc > 2 && std::strcmp(argv[1], "--unchanged") == 0) {
        unchangedOnly(10000, std::max(1, std::atoi(argv[2])));
        CoUninitialize();
        return 0;
    }
    scenarios(quick ? 2000 : 10000, true);
    scenarios(quick ? 10000 : 100000, true);
    CoUninitialize();
    return 0;
}
