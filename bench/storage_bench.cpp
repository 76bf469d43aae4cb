// Figures for the record store and the property file, side by side with SQLite (WAL journal,
// synchronous=FULL) on the same keys and records, and with a raw positioned read of the same
// bytes for fetches. Files live in $VANTREL_BENCH_DIR (default: the temporary folder).
//
//   storage_bench --benchmark_filter=Fetch
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/format.h"
#include "platform/text.h"
#include "storage/property_set.h"
#include "storage/storage.h"

namespace {

namespace fs = std::filesystem;
using vt::CStorage;

// ---------------------------------------------------------------------------------------------
// Shared data

struct BenchFolder {
    BenchFolder() {
        const char* env = std::getenv("VANTREL_BENCH_DIR");
        const fs::path base = env ? fs::path(env) : fs::temp_directory_path();
        path = base / ("vantrel-bench-" + std::to_string(std::random_device{}()));
        fs::create_directories(path);
    }
    ~BenchFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

const fs::path& folder() {
    static BenchFolder f;
    return f.path;
}

std::u16string storeName(const std::string& tag) {
    return vt::fromUtf8((folder() / tag).string());
}

void removeStore(const std::u16string& name) {
    for (const char16_t* ext : {u".dta", u".dix", u".dix.tmp"}) vt::plat::removeFile(name + ext);
}

const std::vector<std::u16string>& keys(int64_t n) {
    static std::map<int64_t, std::vector<std::u16string>> cache;
    auto& k = cache[n];
    if (k.empty()) {
        for (int64_t i = 0; i < n; ++i) k.push_back(vt::format(u"note%06d.txt", i));
    }
    return k;
}

// Pseudo-random record bytes; the generation makes replacements differ from the originals.
std::string record(int64_t size, int generation) {
    std::mt19937 rng(static_cast<unsigned>(size * 31 + generation));
    std::string data(static_cast<size_t>(size), '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    return data;
}

// A fixed random order of record indices.
const std::vector<uint32_t>& randomOrder(int64_t n) {
    static std::map<int64_t, std::vector<uint32_t>> cache;
    auto& order = cache[n];
    if (order.empty()) {
        std::mt19937 rng(7);
        order.resize(1 << 16);
        for (auto& i : order) i = static_cast<uint32_t>(rng() % n);
    }
    return order;
}

// A saved store of n records of size bytes, made once per shape.
std::u16string populatedStore(int64_t n, int64_t size) {
    static std::map<std::pair<int64_t, int64_t>, std::u16string> made;
    auto& name = made[{n, size}];
    if (name.empty()) {
        name = storeName("store-" + std::to_string(n) + "-" + std::to_string(size));
        removeStore(name);
        const std::string data = record(size, 0);
        CStorage s;
        s.initialize(name);
        for (const auto& key : keys(n)) s.store(key, data.data(), static_cast<int32_t>(size));
        if (s.close() != vt::kStorageOk) throw std::runtime_error("cannot make the store");
    }
    return name;
}

// ---------------------------------------------------------------------------------------------
// SQLite

struct Sqlite {
    explicit Sqlite(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("sqlite open");
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=FULL");
        exec("CREATE TABLE IF NOT EXISTS rec(k TEXT PRIMARY KEY NOT NULL, v BLOB NOT NULL)");
    }
    ~Sqlite() { sqlite3_close(db); }
    void exec(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : "?";
            sqlite3_free(error);
            throw std::runtime_error(message);
        }
    }
    sqlite3_stmt* prepare(const char* sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
        return st;
    }
    // Binds key (UTF-16) and value, runs the statement, resets it.
    void run(sqlite3_stmt* st, const std::u16string& key, const std::string* value, int keyIndex) {
        sqlite3_bind_text16(st, keyIndex, key.data(), static_cast<int>(key.size() * 2),
                            SQLITE_STATIC);
        if (value) {
            sqlite3_bind_blob(st, keyIndex == 1 ? 2 : 1, value->data(),
                              static_cast<int>(value->size()), SQLITE_STATIC);
        }
        if (sqlite3_step(st) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
        sqlite3_reset(st);
    }
    sqlite3* db = nullptr;
};

void removeDb(const std::string& path) {
    for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(path + ext);
}

std::string populatedDb(int64_t n, int64_t size) {
    static std::map<std::pair<int64_t, int64_t>, std::string> made;
    auto& path = made[{n, size}];
    if (path.empty()) {
        path = (folder() / ("db-" + std::to_string(n) + "-" + std::to_string(size))).string();
        removeDb(path);
        const std::string data = record(size, 0);
        Sqlite db(path);
        sqlite3_stmt* insert = db.prepare("INSERT INTO rec(k, v) VALUES(?, ?)");
        db.exec("BEGIN");
        for (const auto& key : keys(n)) db.run(insert, key, &data, 1);
        db.exec("COMMIT");
        sqlite3_finalize(insert);
    }
    return path;
}

void setPerItem(benchmark::State& state, int64_t items) {
    state.SetItemsProcessed(state.iterations() * items);
    state.counters["per_item"] = benchmark::Counter(
        static_cast<double>(items),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// ---------------------------------------------------------------------------------------------
// Bulk store + save

void bulkStoreSave(benchmark::State& state, size_t writeBufferBytes) {
    const int64_t n = state.range(0), size = state.range(1);
    const std::u16string name = storeName("bulk");
    const std::string data = record(size, 0);
    const auto& k = keys(n);
    for (auto _ : state) {
        state.PauseTiming();
        removeStore(name);
        auto s = std::make_unique<CStorage>(writeBufferBytes);
        state.ResumeTiming();
        s->initialize(name);
        for (const auto& key : k) s->store(key, data.data(), static_cast<int32_t>(size));
        if (s->save() != vt::kStorageOk) state.SkipWithError("save failed");
        state.PauseTiming();
        s.reset();
        state.ResumeTiming();
    }
    removeStore(name);
    setPerItem(state, n);
}

void BM_Store_BulkStoreSave(benchmark::State& state) {
    bulkStoreSave(state, CStorage::kDefaultWriteBufferBytes);
}

// The same with every record written at once (no write buffer), for comparison.
void BM_Store_BulkStoreSaveUnbuffered(benchmark::State& state) {
    bulkStoreSave(state, 0);
}

void BM_Sqlite_BulkInsertCommit(benchmark::State& state) {
    const int64_t n = state.range(0), size = state.range(1);
    const std::string path = (folder() / "bulk.db").string();
    const std::string data = record(size, 0);
    const auto& k = keys(n);
    for (auto _ : state) {
        state.PauseTiming();
        removeDb(path);
        state.ResumeTiming();
        auto db = std::make_unique<Sqlite>(path);
        sqlite3_stmt* insert = db->prepare("INSERT INTO rec(k, v) VALUES(?, ?)");
        db->exec("BEGIN");
        for (const auto& key : k) db->run(insert, key, &data, 1);
        db->exec("COMMIT");
        sqlite3_finalize(insert);
        state.PauseTiming();
        db.reset();
        state.ResumeTiming();
    }
    removeDb(path);
    setPerItem(state, n);
}

// ---------------------------------------------------------------------------------------------
// Random fetch

// The keys of randomOrder(n), copied in that order: the caller's key is read sequentially, as
// a key the caller has just built would be in cache; the store's own lookups stay random.
std::vector<std::u16string> probeKeys(int64_t n) {
    std::vector<std::u16string> probe;
    for (uint32_t i : randomOrder(n)) probe.push_back(keys(n)[i]);
    return probe;
}

void BM_Store_RandomFetch(benchmark::State& state) {
    const int64_t n = state.range(0), size = state.range(1);
    CStorage s;
    s.initialize(populatedStore(n, size));
    const std::vector<std::u16string> probe = probeKeys(n);
    std::vector<uint8_t> buffer(static_cast<size_t>(size));
    size_t i = 0;
    for (auto _ : state) {
        int32_t count = 0;
        if (s.fetch(probe[i++ & 0xFFFF], buffer.data(), static_cast<int32_t>(size), count) !=
            vt::kStorageOk)
            state.SkipWithError("fetch failed");
        benchmark::DoNotOptimize(buffer.data());
    }
    setPerItem(state, 1);
}

// The same bytes read with one positioned read each, areas taken from the index file.
void BM_Raw_PositionedRead(benchmark::State& state) {
    const int64_t n = state.range(0), size = state.range(1);
    const std::u16string name = populatedStore(n, size);
    vt::plat::File index;
    index.open(name + u".dix", vt::plat::Access::Read, vt::plat::Disposition::OpenExisting,
               vt::plat::Share::DenyNone);
    std::string bytes(index.length(), '\0');
    index.readAt(0, bytes.data(), bytes.size());
    auto get32 = [&](size_t pos) {
        uint32_t v;
        std::memcpy(&v, bytes.data() + pos, 4);
        return v;
    };
    std::vector<int64_t> starts;
    size_t pos = 12;
    for (uint32_t e = 0; e < get32(4); ++e) {
        pos += 4 + get32(pos);
        starts.push_back(get32(pos));
        pos += 8;
    }
    vt::plat::File data;
    data.open(name + u".dta", vt::plat::Access::Read, vt::plat::Disposition::OpenExisting,
              vt::plat::Share::DenyNone);
    std::vector<int64_t> probe;
    for (uint32_t r : randomOrder(n)) probe.push_back(starts[r]);
    std::vector<uint8_t> buffer(static_cast<size_t>(size));
    size_t i = 0;
    for (auto _ : state) {
        data.readAt(static_cast<uint64_t>(probe[i++ & 0xFFFF]), buffer.data(),
                    static_cast<size_t>(size));
        benchmark::DoNotOptimize(buffer.data());
    }
    setPerItem(state, 1);
}

void BM_Sqlite_RandomFetch(benchmark::State& state) {
    const int64_t n = state.range(0), size = state.range(1);
    Sqlite db(populatedDb(n, size));
    sqlite3_stmt* select = db.prepare("SELECT v FROM rec WHERE k = ?");
    const std::vector<std::u16string> probe = probeKeys(n);
    std::vector<uint8_t> buffer(static_cast<size_t>(size));
    size_t i = 0;
    for (auto _ : state) {
        const auto& key = probe[i++ & 0xFFFF];
        sqlite3_bind_text16(select, 1, key.data(), static_cast<int>(key.size() * 2), SQLITE_STATIC);
        if (sqlite3_step(select) != SQLITE_ROW) state.SkipWithError("select failed");
        std::memcpy(buffer.data(), sqlite3_column_blob(select, 0),
                    static_cast<size_t>(sqlite3_column_bytes(select, 0)));
        sqlite3_reset(select);
        benchmark::DoNotOptimize(buffer.data());
    }
    sqlite3_finalize(select);
    setPerItem(state, 1);
}

// ---------------------------------------------------------------------------------------------
// Replace all + save, one change + save

void BM_Store_ReplaceAllSave(benchmark::State& state) {
    const int64_t n = state.range(0), size = state.range(1);
    CStorage s;
    s.initialize(populatedStore(n, size));
    const auto& k = keys(n);
    int generation = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string data = record(size, ++generation);
        state.ResumeTiming();
        for (const auto& key : k) s.store(key, data.data(), static_cast<int32_t>(size));
        if (s.save() != vt::kStorageOk) state.SkipWithError("save failed");
    }
    setPerItem(state, n);
}

void BM_Sqlite_UpdateAllCommit(benchmark::State& state) {
    const int64_t n = state.range(0), size = state.range(1);
    Sqlite db(populatedDb(n, size));
    sqlite3_stmt* update = db.prepare("UPDATE rec SET v = ? WHERE k = ?");
    const auto& k = keys(n);
    int generation = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string data = record(size, ++generation);
        state.ResumeTiming();
        db.exec("BEGIN");
        for (const auto& key : k) db.run(update, key, &data, 2);
        db.exec("COMMIT");
    }
    sqlite3_finalize(update);
    setPerItem(state, n);
}

void BM_Store_OneChangeSave(benchmark::State& state) {
    const int64_t n = state.range(0), size = state.range(1);
    CStorage s;
    s.initialize(populatedStore(n, size));
    const auto& k = keys(n);
    const auto& order = randomOrder(n);
    const std::string data = record(size, 99);
    size_t i = 0;
    for (auto _ : state) {
        s.store(k[order[i++ & 0xFFFF]], data.data(), static_cast<int32_t>(size));
        if (s.save() != vt::kStorageOk) state.SkipWithError("save failed");
    }
}

void BM_Sqlite_OneUpdateCommit(benchmark::State& state) {
    const int64_t n = state.range(0), size = state.range(1);
    Sqlite db(populatedDb(n, size));
    sqlite3_stmt* update = db.prepare("UPDATE rec SET v = ? WHERE k = ?");
    const auto& k = keys(n);
    const auto& order = randomOrder(n);
    const std::string data = record(size, 99);
    size_t i = 0;
    for (auto _ : state) db.run(update, k[order[i++ & 0xFFFF]], &data, 2);
    sqlite3_finalize(update);
}

// ---------------------------------------------------------------------------------------------
// Reopen

void BM_Store_Reopen(benchmark::State& state) {
    const int64_t n = state.range(0), size = state.range(1);
    const std::u16string name = populatedStore(n, size);
    for (auto _ : state) {
        auto s = std::make_unique<CStorage>();
        if (s->initialize(name) != vt::kStorageOk) state.SkipWithError("initialize failed");
        state.PauseTiming();
        s.reset();
        state.ResumeTiming();
    }
    setPerItem(state, n);
}

// ---------------------------------------------------------------------------------------------
// Property set

// Lines as the controller writes them: a mapping, a file time and a name per note.
std::unique_ptr<vt::CPropertySet> propertySet(int64_t lines) {
    auto set = std::make_unique<vt::CPropertySet>();
    for (int64_t i = 0; set->getCount() < static_cast<size_t>(lines); ++i) {
        const std::u16string file = vt::format(u"note%06d.txt", i);
        set->set(u"luid2file:" + vt::toU16(1000 + i), vt::CPropertyValue(file));
        set->set(u"filetime:" + file, vt::CPropertyValue(vt::CTime{1078228801 + i}));
        set->set(u"pcfilename:" + file, vt::CPropertyValue(static_cast<int32_t>(1000 + i)));
    }
    return set;
}

// The set as the controller saves it: read from its file (nodes in key order), then changed.
void BM_Property_Save(benchmark::State& state) {
    const auto built = propertySet(state.range(0));
    std::unique_ptr<char16_t[]> text;
    uint32_t textBytes = 0;
    built->save(text, textBytes);
    const auto set = std::make_unique<vt::CPropertySet>(text.get(), textBytes);
    set->set(u"LastSyncNum", vt::CPropertyValue(42));
    for (auto _ : state) {
        std::unique_ptr<char16_t[]> block;
        uint32_t bytes = 0;
        set->save(block, bytes);
        benchmark::DoNotOptimize(block.get());
    }
    setPerItem(state, static_cast<int64_t>(set->getCount()));
}

// The text the module writes to its property file at every session end.
void BM_Property_ToText(benchmark::State& state) {
    const auto set = propertySet(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(set->toText());
    setPerItem(state, static_cast<int64_t>(set->getCount()));
}

void BM_Property_Parse(benchmark::State& state) {
    const auto set = propertySet(state.range(0));
    std::unique_ptr<char16_t[]> block;
    uint32_t bytes = 0;
    set->save(block, bytes);
    for (auto _ : state) {
        auto parsed = std::make_unique<vt::CPropertySet>(block.get(), bytes);
        state.PauseTiming();
        if (parsed->getCount() != set->getCount()) state.SkipWithError("lines lost");
        parsed.reset();
        state.ResumeTiming();
    }
    setPerItem(state, static_cast<int64_t>(set->getCount()));
}

void shapes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"records", "bytes"});
    for (int64_t n : {10000, 100000})
        for (int64_t size : {200, 4096}) b->Args({n, size});
}

BENCHMARK(BM_Store_BulkStoreSave)->Apply(shapes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Store_BulkStoreSaveUnbuffered)
    ->Apply(shapes)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Sqlite_BulkInsertCommit)->Apply(shapes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Store_RandomFetch)->Apply(shapes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Raw_PositionedRead)->Apply(shapes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Sqlite_RandomFetch)->Apply(shapes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Store_ReplaceAllSave)->Apply(shapes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sqlite_UpdateAllCommit)->Apply(shapes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Store_OneChangeSave)->Apply(shapes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sqlite_OneUpdateCommit)->Apply(shapes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Store_Reopen)->Apply(shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Property_Save)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Property_ToText)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Property_Parse)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
