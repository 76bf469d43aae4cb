// Fuzzes the record store's index file reader: the input is an index file beside a small data
// file. The store must open it without a memory error, and once opened, work on it and write
// an index that reads back to exactly the same keys and sizes.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"
#include "storage/storage.h"

namespace {

namespace fs = std::filesystem;

struct Folder {
    Folder() {
        fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        path = base / ("vantrel-fuzz-index-" + std::to_string(std::random_device{}()));
        fs::create_directories(path);
        name = vt::fromUtf8((path / "store").string());
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
    std::u16string name;
};

void writeFile(const std::u16string& path, const void* data, size_t size) {
    vt::plat::File f;
    f.open(path, vt::plat::Access::Write, vt::plat::Disposition::CreateAlways,
           vt::plat::Share::DenyNone);
    if (size > 0) f.writeAt(0, data, size);
}

struct Summary {
    std::vector<std::u16string> keys;
    std::vector<int32_t> sizes;
    bool operator==(const Summary&) const = default;
};

Summary summarize(vt::CStorage& s) {
    Summary out;
    s.getKeys(out.keys);
    for (const auto& key : out.keys) {
        int32_t size = -1;
        if (s.getDataSize(key, size) != vt::kStorageOk) std::abort();
        out.sizes.push_back(size);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Folder folder;
    static const std::string records(64, 'r');
    writeFile(folder.name + u".dta", records.data(), records.size());
    writeFile(folder.name + u".dix", data, size);
    vt::plat::removeFile(folder.name + u".dix.tmp");

    Summary expected;
    {
        vt::CStorage s;
        const int32_t rc = s.initialize(folder.name);
        if (rc != vt::kStorageOk && rc != vt::kStorageOpenError) std::abort();
        Summary loaded = summarize(s);
        for (size_t i = 0; i < loaded.keys.size(); ++i) {
            if (loaded.sizes[i] < 0) std::abort();
            if (loaded.sizes[i] > (1 << 16)) continue;
            std::vector<uint8_t> bytes;
            s.fetch(loaded.keys[i], bytes);
        }
        if (!loaded.keys.empty()) s.remove(loaded.keys.front());
        if (loaded.keys.size() > 1) s.store(loaded.keys.back(), "replaced", 8);
        s.store(u"fuzz-new", "new record", 10);
        if (s.save() != vt::kStorageOk) std::abort();
        expected = summarize(s);
        if (s.close() != vt::kStorageOk) std::abort();
    }
    vt::CStorage again;
    if (again.initialize(folder.name) != vt::kStorageOk) std::abort();
    if (!(summarize(again) == expected)) std::abort();
    return 0;
}
