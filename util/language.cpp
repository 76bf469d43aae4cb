#include "util/language.h"

#include "platform/find.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "util/folder_utils.h"
#include "util/logger.h"
#include "util/registry_handler.h"

namespace vt {

namespace {
const LogChannel& channel() {
    static const LogChannel log(std::u16string(u"MV2 SyncML Notes Plugin ::") + u"CLanguage");
    return log;
}

constexpr char16_t kQuorrilKey[] = u"Software\\Orvane\\Quorril";
constexpr char16_t kPlatformKey[] = u"Software\\Orvane\\Platform";
constexpr char16_t kLanguageValue[] = u"Current Language";
constexpr char16_t kFilePrefix[] = u"MorVex_";
constexpr char16_t kExtension[] = u"qlr";
}  // namespace

CQLRUtil::~CQLRUtil() {
    unload();
}

plat::LanguageModule* CQLRUtil::load(const std::u16string& path) {
    unload();
    module_ = plat::loadLanguageFile(path);
    if (!module_) return nullptr;
    path_ = path.substr(0, kBufferChars - 1);
    std::u16string name;
    if (plat::loadLanguageString(module_, 1, kBufferChars, &name)) name_ = name;
    return module_;
}

bool CQLRUtil::unload() {
    bool freed = false;
    if (module_) {
        cache_.clear();
        path_.clear();
        name_.clear();
        freed = plat::freeLanguageFile(module_);
    }
    module_ = nullptr;
    return freed;
}

bool CQLRUtil::getString(uint32_t id, std::u16string* text) {
    for (const Entry& e : cache_) {
        if (e.id != id) continue;
        if (e.text.empty()) break;  // an entry without text: read the file again
        *text = e.text;
        return true;
    }
    if (!module_) return false;
    ++fileLookups_;
    std::u16string loaded;
    if (!plat::loadLanguageString(module_, id, kStringChars, &loaded) || loaded.empty())
        return false;
    cache_.push_back(Entry{id, loaded});
    *text = loaded;
    return true;
}

std::u16string languageFolder() {
    return plat::joinPath(CFolderUtils::getHostExeFolder(), u"Lang");
}

std::u16string languageFilePath(const std::u16string& language) {
    return plat::joinPath(languageFolder(), kFilePrefix + language + u"." + kExtension);
}

CLanguage::CLanguage() {
    channel().trace(u"CLanguage()");
    Loadlanguage();
}

CLanguage::CLanguage(const std::u16string& language) {
    channel().trace(u"CLanguage()");
    filePath_ = languageFilePath(language);
    m_pQLRUtil = std::make_unique<CQLRUtil>();
    loadResult_ = m_pQLRUtil->load(filePath_);
}

CLanguage::~CLanguage() {
    channel().trace(u"~CLanguage()");
    if (m_pQLRUtil) {
        m_pQLRUtil->unload();
        m_pQLRUtil.reset();
    }
}

std::u16string CLanguage::getString(uint32_t id) {
    if (!loadResult_ || !m_pQLRUtil || !m_pQLRUtil->module()) return {};
    std::u16string text;
    if (!m_pQLRUtil->getString(id, &text)) return {};
    return text;
}

std::u16string CLanguage::chooseFile(bool ignoreQuorril) {
    const auto& log = channel();
    std::u16string value;
    if (!ignoreQuorril && CRegistryHandler::ReadValue(plat::RegRoot::LocalMachine, kQuorrilKey,
                                                      kLanguageValue, value)) {
        log.trace(format(u"Value %s read: %s", kLanguageValue, value));
        return languageFilePath(value);
    }
    log.trace(format(u"Registry not found: %s", kQuorrilKey));
    const bool found = CRegistryHandler::ReadValue(plat::RegRoot::LocalMachine, kPlatformKey,
                                                   kLanguageValue, value);
    log.trace(format(u"Value %s read: %s", kLanguageValue, value));
    if (found) return languageFilePath(value);
    const std::u16string langFolder = languageFolder();
    auto matches = plat::findFiles(
        plat::joinPath(langFolder, std::u16string(kFilePrefix) + u"*." + kExtension));
    return matches.empty() ? std::u16string() : plat::joinPath(langFolder, matches.front().name);
}

void CLanguage::Loadlanguage() {
    const auto& log = channel();
    log.trace(u"Loadlanguage()");
    const std::u16string path = chooseFile();
    log.trace(format(u"strFilePath: %s", path));
    filePath_ = path;

    if (!m_pQLRUtil) {
        m_pQLRUtil = std::make_unique<CQLRUtil>();
        log.trace(format(u"LANGUAGE %s\n", path));
        loadResult_ = m_pQLRUtil->load(path);
    } else {
        log.trace(u"m_pQLRUtil != NULL");
    }
}

}  // namespace vt
