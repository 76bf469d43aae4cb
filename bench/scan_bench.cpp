// The local change scan of a phone whose notes are all unchanged, beside a bare listing of the
// same folder with one status query per file. Figures, not tests.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "controller/notes_controller.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tests/support/fakes.h"
#include "tests/support/temp_dir.h"

namespace vt {

// Reaches the scan directly.
class ControllerTestAccess {
  public:
    static HRESULT scan(CNotesController& c) { return c.addLocalChanges(); }
};

namespace {

namespace fs = std::filesystem;

// A phone with n notes, all exchanged once; built once per size and kept for the run.
struct Phone {
    test::TempDir home;
    test::FakeEngine engine;
    std::unique_ptr<CNotesController> controller;
    fs::path notes;

    explicit Phone(int n) {
        plat::setEnv("VANTREL_HOME", home.path());
        fs::path root = fs::path(home.path()) / "phones";
        fs::create_directories(root / "phone");
        plat::RegKey key;
        plat::RegKey::root(plat::RegRoot::CurrentUser).create(u"Software\\Orvane\\Morvex", &key);
        key.setString(u"Root", fromUtf8(root.string()));
        plat::RegKey lang;
        plat::RegKey::root(plat::RegRoot::LocalMachine).create(u"Software\\Orvane\\Quorril", &lang);
        lang.setString(u"Current Language", u"en");
        controller = std::make_unique<CNotesController>(u"1", u"phone", 0, &engine);
        notes = fs::path(controller->notesFolder());
        const std::string body(200, 'n');
        for (int i = 0; i < n; ++i)
            std::ofstream(notes / ("note" + std::to_string(i) + ".txt")) << body;
        controller->synchronize();
        auto* cb = engine.callback();
        engine.acknowledge(0);
        cb->SyncStatusFinished();
        engine.items.clear();
    }
};

Phone& phone(int n) {
    static std::map<int, std::unique_ptr<Phone>> phones;
    auto& p = phones[n];
    if (!p) p = std::make_unique<Phone>(n);
    return *p;
}

void BM_ScanUnchangedNotes(benchmark::State& state) {
    Phone& p = phone(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        HRESULT hr = ControllerTestAccess::scan(*p.controller);
        if (FAILED(hr) || !p.engine.items.empty()) state.SkipWithError("the scan found changes");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_BareListingWithOneStatPerFile(benchmark::State& state) {
    Phone& p = phone(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        size_t count = 0;
        for (const auto& entry : fs::directory_iterator(p.notes)) {
            auto time = entry.last_write_time();  // one status query per file
            benchmark::DoNotOptimize(time);
            count += entry.path().extension() == ".txt";
        }
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_BareListingWithOneStatPerFile)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanUnchangedNotes)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vt

BENCHMARK_MAIN();
