// Language resources: the numbered user-visible strings of the desktop's current language,
// above all the name of a phone's notes folder (string 91). CLanguage finds the language file
// ("Lang/MorVex_<language>.qlr" beside the host program) for the language named by the
// registry's "Current Language" value, loads it through CQLRUtil and hands out its strings.
// The controller makes one, asks it and drops it; a host asks the same object which folder
// name the module uses, so that both always agree.
// Not thread-safe: one object per thread.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "platform/language.h"

namespace vt {

// Loads one language file and caches the strings asked for.
class CQLRUtil {
  public:
    CQLRUtil() = default;
    virtual ~CQLRUtil();
    CQLRUtil(const CQLRUtil&) = delete;
    CQLRUtil& operator=(const CQLRUtil&) = delete;

    // Unloads any loaded file, then loads path; the module handle, or null on failure.
    plat::LanguageModule* load(const std::u16string& path);
    // True when a loaded file was freed.
    bool unload();
    // The string with this id from the cache or the file; false when the file has none.
    bool getString(uint32_t id, std::u16string* text);

    plat::LanguageModule* module() const { return module_; }
    const std::u16string& loadedPath() const { return path_; }
    const std::u16string& languageName() const { return name_; }
    // How often a string was read from the file rather than the cache.
    int fileLookups() const { return fileLookups_; }

  private:
    static constexpr size_t kBufferChars = 256;
    static constexpr size_t kStringChars = 1024;
    struct Entry {
        uint32_t id;
        std::u16string text;
    };

    std::u16string path_;
    std::u16string name_;
    plat::LanguageModule* module_ = nullptr;
    std::list<Entry> cache_;
    int fileLookups_ = 0;
};

// The folder of the language files: "Lang" beside the host program.
std::u16string languageFolder();
// The file of one language in languageFolder(), whether it exists or not.
std::u16string languageFilePath(const std::u16string& language);

class CLanguage {
  public:
    // Finds and loads the current language's file.
    CLanguage();
    // Loads the file of this language (a code such as "en"), whatever the registry names.
    explicit CLanguage(const std::u16string& language);
    virtual ~CLanguage();
    CLanguage(const CLanguage&) = delete;
    CLanguage& operator=(const CLanguage&) = delete;

    // The language file the module loads: the one of "Current Language" under Quorril, else
    // the one under Platform, else the first language file the folder lists; empty when there
    // is none. ignoreQuorril: as if the Quorril value were unset.
    static std::u16string chooseFile(bool ignoreQuorril = false);

    // Empty when no file is loaded or the file has no such string.
    std::u16string getString(uint32_t id);
    const std::u16string& filePath() const { return filePath_; }
    CQLRUtil* loader() const { return m_pQLRUtil.get(); }

    // Numbers of the strings the module uses.
    static constexpr uint32_t kLanguageName = 1;
    static constexpr uint32_t kNotesFolderName = 91;

  private:
    void Loadlanguage();

    std::unique_ptr<CQLRUtil> m_pQLRUtil;
    plat::LanguageModule* loadResult_ = nullptr;
    std::u16string filePath_;
};

}  // namespace vt
