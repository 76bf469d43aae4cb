// Crash and failure tests of the record store: a workload of stores, replacements, removals
// and saves is cut off at every write-type file operation in turn (in a forked child that
// ends right there), or has that one operation fail, and the store must reopen in the state of
// its last completed save and keep working. Each runs with a small write buffer (written in
// the middle of the workload, records around and inside it) and with the default one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/file.h"
#include "platform/process.h"
#include "storage/storage.h"
#include "tests/storage/index_file.h"
#include "tests/support/temp_dir.h"

namespace vt {
namespace {

using State = std::map<std::u16string, std::string>;
namespace fault = plat::fault;

struct Step {
    enum Kind { Store, Remove, Save } kind;
    std::u16string key;
    std::string data;
};

// Five rounds of stores (new keys, replacements, empty records), removals and a save.
std::vector<Step> makeWorkload() {
    std::mt19937 rng(20240601);
    std::vector<Step> steps;
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 6; ++i) {
            const std::u16string key = u"note" + std::u16string(1, u'0' + rng() % 8) + u".txt";
            if (rng() % 5 == 0) {
                steps.push_back({Step::Remove, key, {}});
                continue;
            }
            const size_t length = rng() % 7 == 0 ? 0 : 1 + rng() % 60;
            std::string data(length, '\0');
            for (auto& c : data) c = static_cast<char>('a' + rng() % 26);
            steps.push_back({Step::Store, key, data});
        }
        steps.push_back({Step::Save, {}, {}});
    }
    return steps;
}

// The hook's state: operations under g_prefix are counted; the g_target-th crashes or fails.
std::u16string g_prefix;
std::atomic<long> g_count{0};
long g_target = 0;
bool g_crash = false;
// Every operation under g_prefix fails while set (a full or broken disk).
bool g_failAll = false;
int g_savesDone = 0;
// A crashed child exits with kCrashed + the number of saves it completed.
constexpr int kCrashed = 100;
std::vector<std::pair<fault::Op, std::u16string>>* g_journal = nullptr;

bool countingHook(fault::Op op, const std::u16string& path) {
    if (path.compare(0, g_prefix.size(), g_prefix) != 0) return false;
    if (g_journal) g_journal->emplace_back(op, path.substr(g_prefix.size()));
    if (g_failAll) return true;
    if (++g_count != g_target) return false;
    if (g_crash) plat::exitProcessNow(kCrashed + g_savesDone);
    return true;
}

struct HookScope {
    explicit HookScope(const std::u16string& prefix) {
        g_prefix = prefix;
        g_count = 0;
        g_target = 0;
        g_failAll = false;
        fault::setHook(countingHook);
    }
    ~HookScope() {
        fault::setHook(nullptr);
        g_journal = nullptr;
        g_failAll = false;
    }
};

class StorageFaultTest : public ::testing::Test {
  protected:
    std::u16string work(const std::u16string& ext) const { return dir_ / (u"notesDB" + ext); }
    std::u16string name() const { return dir_ / u"notesDB"; }

    // A saved store of eight records in the template folder; the model starts from it.
    void makeTemplate(bool populated) {
        if (!populated) return;
        CStorage s;
        ASSERT_EQ(s.initialize(template_ / u"notesDB"), kStorageCreated);
        for (char16_t c = u'0'; c < u'8'; ++c) {
            const std::u16string key = u"note" + std::u16string(1, c) + u".txt";
            const std::string data(10 + (c - u'0') * 7, static_cast<char>('A' + (c - u'0')));
            ASSERT_EQ(s.store(key, data.data(), static_cast<int32_t>(data.size())), kStorageAdded);
            initial_[key] = data;
        }
        ASSERT_EQ(s.close(), kStorageOk);
    }
    void resetFiles() {
        for (const char16_t* ext : {u".dta", u".dix", u".dix.tmp"}) {
            plat::removeFile(work(ext));
            const std::u16string from = template_ / (u"notesDB" + std::u16string(ext));
            if (test::readFileBytes(from)) {
                ASSERT_EQ(plat::copyFile(from, work(ext), false), 0);
            }
        }
    }
    // The model's state after each save; [0] is the state before the workload.
    std::vector<State> snapshots() const {
        std::vector<State> snaps = {initial_};
        State model = initial_;
        for (const Step& step : steps_) {
            if (step.kind == Step::Store) model[step.key] = step.data;
            if (step.kind == Step::Remove) model.erase(step.key);
            if (step.kind == Step::Save) snaps.push_back(model);
        }
        return snaps;
    }
    static State read(CStorage& s) {
        State state;
        std::vector<std::u16string> keys;
        s.getKeys(keys);
        for (const auto& key : keys) {
            std::vector<uint8_t> data;
            EXPECT_EQ(s.fetch(key, data), kStorageOk);
            state[key] = std::string(data.begin(), data.end());
        }
        return state;
    }
    // No two areas of the saved index (records or free) share a byte.
    void expectNoOverlap() {
        auto image = test::parseIndex(test::readFileBytes(work(u".dix")).value_or(""));
        ASSERT_TRUE(image.has_value());
        std::vector<StorageArea> areas = image->freeAreas;
        for (const auto& kv : image->keys)
            if (kv.second.size() > 0) areas.push_back(kv.second);
        std::sort(areas.begin(), areas.end(),
                  [](const StorageArea& a, const StorageArea& b) { return a.start < b.start; });
        for (size_t i = 1; i < areas.size(); ++i)
            EXPECT_GT(areas[i].start, areas[i - 1].end) << "areas overlap";
    }

    test::TempDir dir_;
    test::TempDir template_;
    State initial_;
    const std::vector<Step> steps_ = makeWorkload();
};

// The parameter is the write buffer's size.
class StorageCrashTest : public StorageFaultTest, public ::testing::WithParamInterface<size_t> {
  protected:
    bool smallBuffer() const { return GetParam() < 1000; }
    void runCrashes(bool populated);
};

void StorageCrashTest::runCrashes(bool populated) {
    if (!plat::childProcessesSupported()) GTEST_SKIP() << "no child processes here";
    makeTemplate(populated);
    const std::vector<State> snaps = snapshots();
    int crashes = 0;
    for (long n = 1;; ++n) {
        ASSERT_LT(n, 1000) << "the workload never completes";
        resetFiles();
        // The child's exit code tells how many saves it completed before the crash.
        const int code = plat::runInChild([&]() -> int {
            HookScope hook(dir_.path());
            g_target = n;
            g_crash = true;
            g_savesDone = 0;
            CStorage s(GetParam());
            if (s.initialize(name()) < 0) return 2;
            for (const Step& step : steps_) {
                int32_t rc = 0;
                if (step.kind == Step::Store) {
                    rc =
                        s.store(step.key, step.data.data(), static_cast<int32_t>(step.data.size()));
                } else if (step.kind == Step::Remove) {
                    rc = s.remove(step.key);
                } else if ((rc = s.save()) == kStorageOk) {
                    ++g_savesDone;
                }
                if (rc < 0 && !(step.kind == Step::Remove && rc == kStorageNoSuchKey)) return 4;
            }
            return 0;
        });
        if (code == 0) break;
        ASSERT_GE(code, kCrashed) << "child failed before its crash, n=" << n;
        const size_t completed = static_cast<size_t>(code - kCrashed);
        ASSERT_LT(completed, snaps.size());
        ++crashes;

        SCOPED_TRACE("crash at write-type operation " + std::to_string(n) + " after save " +
                     std::to_string(completed));
        CStorage s;
        ASSERT_GE(s.initialize(name()), 0);
        const State state = read(s);
        const bool atLastSave = state == snaps[completed];
        const bool atNextSave = completed + 1 < snaps.size() && state == snaps[completed + 1];
        EXPECT_TRUE(atLastSave || atNextSave) << state.size() << " keys";
        // The store keeps working.
        ASSERT_EQ(s.store(u"after", "crash", 5), kStorageAdded);
        ASSERT_EQ(s.save(), kStorageOk);
        expectNoOverlap();
        ASSERT_EQ(s.close(), kStorageOk);
        ASSERT_GE(s.initialize(name()), 0);
        State expected = state;
        expected[u"after"] = "crash";
        EXPECT_EQ(read(s), expected);
    }
    EXPECT_GT(crashes, 35);
}

TEST_P(StorageCrashTest, CrashAtEveryWriteOfAPopulatedStore) {
    runCrashes(true);
}

TEST_P(StorageCrashTest, CrashAtEveryWriteOfANewStore) {
    runCrashes(false);
}

// One write-type operation fails (an I/O error) in turn; the store must report it, keep the
// previous record of a failed replacement, and come out of a later save intact.
TEST_P(StorageCrashTest, FailingWriteAtEveryOperation) {
    makeTemplate(true);
    int failures = 0;
    for (long n = 1;; ++n) {
        ASSERT_LT(n, 1000);
        resetFiles();
        SCOPED_TRACE("failing operation " + std::to_string(n));
        HookScope hook(dir_.path());
        g_target = n;
        g_crash = false;
        State model = initial_;
        CStorage s(GetParam());
        ASSERT_GE(s.initialize(name()), 0);
        for (const Step& step : steps_) {
            if (step.kind == Step::Store) {
                const int32_t rc =
                    s.store(step.key, step.data.data(), static_cast<int32_t>(step.data.size()));
                if (rc > 0) {
                    model[step.key] = step.data;
                } else {
                    ++failures;
                    EXPECT_EQ(rc, kStorageWriteError);
                    std::vector<uint8_t> data;
                    if (model.count(step.key)) {
                        ASSERT_EQ(s.fetch(step.key, data), kStorageOk);
                        EXPECT_EQ(std::string(data.begin(), data.end()), model[step.key]);
                    } else {
                        EXPECT_EQ(s.fetch(step.key, data), kStorageNoSuchKey);
                    }
                }
            } else if (step.kind == Step::Remove) {
                if (s.remove(step.key) == kStorageOk) model.erase(step.key);
            } else {
                const int32_t rc = s.save();
                if (rc != kStorageOk) ++failures;
                EXPECT_TRUE(rc == kStorageOk || rc == kStorageWriteError || rc == kStorageOpenError)
                    << rc;
            }
        }
        EXPECT_EQ(read(s), model);
        const bool reached = g_count >= n;
        g_target = 0;
        ASSERT_EQ(s.close(), kStorageOk);
        expectNoOverlap();
        ASSERT_GE(s.initialize(name()), 0);
        EXPECT_EQ(read(s), model);
        if (!reached) break;
    }
    EXPECT_GT(failures, 30);
}

// A store only reserves space for the write buffer. A save writes the buffer, flushes the data
// file, writes the index beside the old one, flushes it, and only then renames it over the old
// index file.
TEST_P(StorageCrashTest, SaveOrdersItsWrites) {
    CStorage s(GetParam());
    ASSERT_EQ(s.initialize(name()), kStorageCreated);
    std::vector<std::pair<fault::Op, std::u16string>> journal;
    HookScope hook(dir_.path());
    g_journal = &journal;
    ASSERT_EQ(s.store(u"k", "value", 5), kStorageAdded);
    ASSERT_EQ(s.save(), kStorageOk);
    g_journal = nullptr;
    using J = std::pair<fault::Op, std::u16string>;
    const std::u16string sep = name().substr(dir_.path().size(), 1);
    std::vector<J> relevant;
    for (const auto& j : journal)
        if (j.second.find(u"notesDB") != std::u16string::npos) relevant.push_back(j);
    EXPECT_THAT(relevant, testing::ElementsAre(J{fault::Op::SetLength, sep + u"notesDB.dta"},
                                               J{fault::Op::Write, sep + u"notesDB.dta"},
                                               J{fault::Op::Flush, sep + u"notesDB.dta"},
                                               J{fault::Op::Write, sep + u"notesDB.dix.tmp"},
                                               J{fault::Op::Flush, sep + u"notesDB.dix.tmp"},
                                               J{fault::Op::Rename, sep + u"notesDB.dix.tmp"}));
}

// Errors with the write buffer: a disk that refuses everything fails the store that starts a
// buffer (its space cannot be reserved, nor its record written) and the store that finds the
// buffer full (it cannot be written, nor the record); records already in the buffer stay
// there, readable, and the next save that can write them does.
TEST_F(StorageFaultTest, FailingDiskFailsTheStoreThatNeedsIt) {
    const std::string twenty(20, 'x');
    auto put = [](CStorage& s, const char16_t* key, const std::string& data) {
        return s.store(key, data.data(), static_cast<int32_t>(data.size()));
    };
    {
        CStorage s(80);
        ASSERT_EQ(s.initialize(name()), kStorageCreated);
        HookScope hook(dir_.path());
        g_failAll = true;
        EXPECT_EQ(put(s, u"a", twenty), kStorageWriteError);
        g_failAll = false;
        ASSERT_EQ(put(s, u"a", twenty), kStorageAdded);  // starts a buffer
        ASSERT_EQ(put(s, u"b", twenty), kStorageAdded);
        g_failAll = true;
        EXPECT_EQ(put(s, u"c", twenty), kStorageAdded);   // room in the buffer: no I/O
        EXPECT_EQ(put(s, u"c", "yy"), kStorageReplaced);  // into the space c just left
        EXPECT_EQ(put(s, u"d", twenty), kStorageAdded);
        EXPECT_EQ(put(s, u"e", twenty), kStorageWriteError);  // the buffer is full
        EXPECT_EQ(s.save(), kStorageWriteError);
        EXPECT_EQ(read(s), (State{{u"a", twenty}, {u"b", twenty}, {u"c", "yy"}, {u"d", twenty}}));
        g_failAll = false;
        ASSERT_EQ(put(s, u"e", twenty), kStorageAdded);  // written at once behind the buffer
        EXPECT_EQ(s.save(), kStorageOk);
        g_failAll = true;
        EXPECT_EQ(s.close(), kStorageOk);  // nothing left to write
    }
    CStorage s;
    ASSERT_EQ(s.initialize(name()), kStorageOk);
    EXPECT_EQ(
        read(s),
        (State{{u"a", twenty}, {u"b", twenty}, {u"c", "yy"}, {u"d", twenty}, {u"e", twenty}}));
    expectNoOverlap();
}

INSTANTIATE_TEST_SUITE_P(WriteBuffer, StorageCrashTest,
                         ::testing::Values(size_t{100}, CStorage::kDefaultWriteBufferBytes),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return info.param < 1000 ? "Small" : "Default";
                         });

}  // namespace
}  // namespace vt
