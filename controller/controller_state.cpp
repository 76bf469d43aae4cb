// Construction, properties, notification object, local ids and destruction of a controller.
#include <algorithm>
#include <cstring>

#include "controller/controller_log.h"
#include "controller/notes_controller.h"
#include "controller/notify_converter.h"
#include "controller/property_keys.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/special_folders.h"
#include "util/folder_utils.h"
#include "util/language.h"
#include "util/text_error.h"

namespace vt {

namespace {

[[noreturn]] void panic(const std::u16string& text) {
    controllerLog().critic(text);
    throw TextError(text);
}

}  // namespace

CNotesController::CNotesController(const std::u16string& imei, const std::u16string& alias,
                                   uint32_t clientSyncId, vantrel::ISyncEngine* pEngine)
    : m_alias(alias), m_uiClientSyncID(clientSyncId), m_pEngine(pEngine) {
    const auto& log = controllerLog();
    log.trace(format(u"CNotesController() (constr) to phone alias:%s", alias));

    std::u16string appData;
    if (int32_t err = plat::appDataFolder(true, &appData); err != 0)
        panic(format(u"panic: can't get AppData directory err(0x%X)", err));

    std::u16string storeFolder =
        plat::joinPath(plat::joinPath(plat::joinPath(appData, u"Morvex"), imei), u"NotesDB");
    if (!CFolderUtils::ensureFolderExists(storeFolder))
        panic(u"CNotesController(): Panic, can't create folder " + storeFolder);
    storeFolder += plat::kPathSeparator;

    const std::u16string dbName = storeFolder + u"notesDB";
    if (m_notesDB.initialize(dbName) < 0)
        panic(u"CNotesController(): Panic, can't initialize db " + dbName);

    m_propertyFilename = storeFolder + u"properties.dat";

    m_notesFolder = CFolderUtils::getPhoneRootFolder(u"", alias);
    if (m_notesFolder.empty())
        panic(format(u"CNotesController(): Panic, cannot resolve phone root on PC for alias:%s",
                     alias));
    {
        CLanguage language;
        std::u16string folderName = language.getString(CLanguage::kNotesFolderName);
        // Without language resources the phone root itself holds the notes.
        if (!folderName.empty()) m_notesFolder = plat::joinPath(m_notesFolder, folderName);
    }

    plat::FileStatus notesStatus;
    std::vector<std::u16string> records;
    if (!plat::getFileStatus(m_notesFolder, &notesStatus) &&
        (m_notesDB.getKeys(records), !records.empty())) {
        // The notes were exchanged with the phone before, so the folder was renamed, moved or
        // deleted (or Root or the language changed). A new empty folder would be synchronised
        // as "every note deleted": make none, and let every session be refused until the
        // folder is back.
        log.critic(
            format(u"CNotesController(): the notes folder %s is missing although %d notes "
                   u"were exchanged with the phone; not making it again",
                   m_notesFolder, static_cast<int64_t>(records.size())));
    } else {
        int32_t r = prepareNotesFolder(m_notesFolder, u"Notes.xml", true);
        if (r < 0) panic(u"CNotesController(): Panic, can't create folder " + m_notesFolder);
        if (r == 1) log.trace(u"CNotesController(): created support for PB");
    }

    if (!loadProperties()) {
        m_pProperties.reset();
        panic(u"CNotesController(): Panic with propertyfile");
    }

    if (CPropertyValue* v = m_pProperties->get(keys::kLastSyncNum)) {
        try {
            v->getLongValue(m_lastSyncNum);
        } catch (const TextError& e) {
            log.critic(u"CNotesController(): property last sync num exist but is not type long" +
                       e.text());
            v = nullptr;
        }
        if (!v) {
            m_lastSyncNum = -1;
            setNumber(keys::kLastSyncNum, -1);
        }
    } else {
        m_lastSyncNum = -1;
        setNumber(keys::kLastSyncNum, -1);
    }

    if (CPropertyValue* v = m_pProperties->get(keys::kNextLocalLuid)) {
        try {
            v->getLongValue(m_nextLocalLuid);
        } catch (const TextError&) {
            log.critic(u"CNotesController(): property next local luid exist but is not type long");
            v = nullptr;
        }
        if (!v) {
            m_nextLocalLuid = 1;
            setNumber(keys::kNextLocalLuid, 1);
        }
    } else {
        m_nextLocalLuid = 1;
        setNumber(keys::kNextLocalLuid, 1);
    }

    reconcileStoreAndProperties();
    log.trace(u"CNotesController() exiting gracefully");
}

CNotesController::~CNotesController() {
    const auto& log = controllerLog();
    log.trace(format(u"~CNotesController() (destr) to phone alias:%s", m_alias));

    // The last session's sink may outlive us in the engine's hands; it must not call back.
    releaseSink();
    auto state = lockState();

    // Properties first, then the index: a crash in between is repaired at the next start.
    setNumber(keys::kLastSyncNum, m_lastSyncNum);
    if (!unloadProperties()) log.critic(u"~CNotesController()  some error with properties");
    int32_t r = m_notesDB.close();
    if (r < 0) log.critic(format(u"~CNotesController( ) problems (%d) with Storage.close()", r));

    m_pProperties.reset();
    m_pImportFilenameMap.reset();
    release_shielded(m_pDataStoreNotify);
    m_sentjobs.clear();
}

void CNotesController::reconcileStoreAndProperties() {
    const auto& log = controllerLog();
    JournalBatch batch(*this);
    std::vector<std::u16string> records;
    m_notesDB.getKeys(records);
    bool changed = false;

    // Records whose properties were saved without them: a note deleted before the crash loses
    // its record; a mapped note without a file time is sent to the phone again.
    std::vector<std::u16string> kept;
    kept.reserve(records.size());
    for (const auto& key : records) {
        CPropertyValue* v = m_pProperties->get(keys::kFileTime + key);
        CTime t;
        bool valid = false;
        if (v) {
            try {
                v->getCTimeValue(t);
                valid = true;
            } catch (const TextError&) {
            }
        }
        if (valid) {
            kept.push_back(key);
            continue;
        }
        changed = true;
        if (m_pProperties->get(keys::kPcFileName + key)) {
            log.high(u"reconcile: record without file time, the note goes out again: " + key);
            setTime(keys::kFileTime + key, 0);
            kept.push_back(key);
        } else {
            log.high(u"reconcile: dropping a record that no property knows: " + key);
            m_notesDB.remove(key);
        }
    }

    // File times whose records were not saved: rebuild the record from the note on disk, or
    // an empty one for a mapped note whose file is gone, so that the scan sends its delete.
    for (const auto& key : m_pProperties->getKeys()) {
        static constexpr std::u16string_view kPrefix = keys::kFileTime;
        if (key.compare(0, kPrefix.size(), kPrefix) != 0) continue;
        const std::u16string name = key.substr(kPrefix.size());
        if (std::binary_search(kept.begin(), kept.end(), name)) continue;
        changed = true;
        const std::u16string path = plat::joinPath(m_notesFolder, name);
        plat::FileStatus st;
        bool plain = !name.empty() && name.find_first_of(u"/\\") == std::u16string::npos;
        if (plain && plat::getFileStatus(path, &st) && !st.isDirectory) {
            std::vector<uint8_t> bytes;
            plat::File f;
            if (f.tryOpen(path, plat::Access::Read, plat::Disposition::OpenExisting,
                          plat::Share::DenyWrite)) {
                try {
                    bytes.resize(static_cast<size_t>(f.length()));
                    bytes.resize(f.readAt(0, bytes.data(), bytes.size()));
                } catch (const plat::FileException&) {
                    bytes.clear();
                }
            }
            log.high(u"reconcile: rebuilding the record of " + name);
            m_notesDB.store(name, bytes.data(), static_cast<int32_t>(bytes.size()));
        } else if (plain && m_pProperties->get(keys::kPcFileName + name)) {
            log.high(u"reconcile: keeping an empty record of deleted note " + name);
            m_notesDB.store(name, nullptr, 0);
        } else {
            log.high(u"reconcile: dropping the file time of unknown note " + name);
            dropProperty(key);
        }
    }

    // Mapped notes that got neither record nor file time: the note goes out again as a replace.
    m_notesDB.getKeys(kept);
    std::vector<std::u16string> orphans;
    m_pProperties->forEachWithPrefix(keys::kPcFileName,
                                     [&](std::u16string_view name, CPropertyValue&) {
                                         if (!std::binary_search(kept.begin(), kept.end(), name))
                                             orphans.emplace_back(name);
                                     });
    for (const auto& name : orphans) {
        const std::u16string path = plat::joinPath(m_notesFolder, name);
        plat::FileStatus st;
        if (name.find_first_of(u"/\\") != std::u16string::npos || !plat::getFileStatus(path, &st) ||
            st.isDirectory || m_pProperties->get(keys::kFileTime + name))
            continue;
        log.high(u"reconcile: mapped note without record, it goes out again: " + name);
        m_notesDB.store(name, nullptr, 0);
        setTime(keys::kFileTime + name, 0);
        changed = true;
    }

    if (changed) {
        if (!unloadProperties()) log.critic(u"reconcile: saving properties failed");
        if (m_notesDB.save() < 0) log.critic(u"reconcile: saving NotesDB failed");
    }
}

HRESULT CNotesController::reservedOperation() {
    return E_NOTIMPL;
}

HRESULT CNotesController::getDataStoreInfo() {
    return E_NOTIMPL;
}

int32_t CNotesController::prepareNotesFolder(const std::u16string& folder,
                                             const std::u16string& templateName, bool hide) {
    bool created = false;
    plat::FileStatus st;
    if (plat::getFileStatus(folder, &st)) {
        if (!st.isDirectory) return E_FAIL;
    } else {
        if (!CFolderUtils::ensureFolderExists(folder)) return E_FAIL;
        if (hide) {
            uint32_t attrs = 0;
            if (plat::getFileAttributes(folder, &attrs) != 0 ||
                plat::setFileAttributes(folder, attrs | plat::kAttrHidden | plat::kAttrSystem) != 0)
                return E_FAIL;
        }
        created = true;
    }

    const std::u16string descriptor = plat::joinPath(folder, u"folder.xml");
    uint32_t attrs = 0;
    if (plat::getFileStatus(descriptor, &st)) {
        if (plat::getFileAttributes(descriptor, &attrs) != 0) return E_FAIL;
        if (!(attrs & plat::kAttrSystem) &&
            plat::setFileAttributes(descriptor, attrs | plat::kAttrSystem) != 0)
            return E_FAIL;
        return created ? 1 : 0;
    }

    const std::u16string exeFolder = CFolderUtils::getHostExeFolder();
    const std::u16string templatePath = plat::joinPath(exeFolder, templateName);
    if (exeFolder.empty() || !plat::getFileStatus(templatePath, &st)) return created ? 1 : 0;
    if (plat::copyFile(templatePath, descriptor, true) != 0) return E_FAIL;
    if (plat::getFileAttributes(templatePath, &attrs) == 0)
        plat::setFileAttributes(descriptor, attrs | plat::kAttrSystem);
    return 1;
}

bool CNotesController::loadProperties() {
    const auto& log = controllerLog();
    log.trace(m_propertyFilename);
    plat::FileStatus st;
    if (!plat::getFileStatus(m_propertyFilename, &st)) {
        log.trace(format(u"loadProperties(): Ok, propertyfile not present %s", m_propertyFilename));
        m_pProperties = std::make_unique<CPropertySet>();
        replayJournal();
        return true;
    }
    if (st.isDirectory) {
        log.critic(format(u"loadproperties():propertyFilename in use as a directory (%s)",
                          m_propertyFilename));
        return false;
    }
    plat::File file;
    if (!file.tryOpen(m_propertyFilename, plat::Access::Read, plat::Disposition::OpenExisting,
                      plat::Share::DenyWrite)) {
        log.critic(
            format(u"loadProperties() problems with file %s could not open", m_propertyFilename));
        return false;
    }
    try {
        const uint64_t length = file.length();
        if (length == 0) {
            file.close();
            m_pProperties = std::make_unique<CPropertySet>();
            log.trace(u"loadProperties(): Ok, propertyfile empty");
            replayJournal();
            return true;
        }
        // One zero code unit after the counted bytes, as the block reader expects.
        std::u16string buffer((length + 1) / 2 + 1, u'\0');
        size_t got = file.readAt(0, buffer.data(), length);
        file.close();
        if (got < length)
            log.high(format(u"loadProperties(): couldn't read whole file(%d/%d)",
                            static_cast<int64_t>(got), static_cast<int64_t>(length)));
        m_pProperties = std::make_unique<CPropertySet>(buffer.data(), got);
        replayJournal();
        return true;
    } catch (const plat::FileException& e) {
        // Log texts here and below are kept exactly as log readers know them, spelling included.
        log.critic(u"loadProperties(): catched CFE, panic!");
        log.critic(format(u"loadProperties() problems with file %s", e.fileName()));
    } catch (...) {
        log.critic(u"loadProperties(): catched something");
    }
    return false;
}

bool CNotesController::unloadProperties() {
    const auto& log = controllerLog();
    log.trace(u"unloadProperties()");
    if (!m_pProperties) return false;
    // The file is replaced whole: written beside, flushed, then renamed over the old one, so a
    // crash leaves either the old or the new file, never a torn one.
    const std::u16string temp = m_propertyFilename + u".tmp";
    plat::File file;
    if (!file.tryOpen(temp, plat::Access::Write, plat::Disposition::CreateAlways,
                      plat::Share::Exclusive)) {
        log.critic(format(u"unloadProperties(): %s cannot open", m_propertyFilename));
        return false;
    }
    try {
        std::u16string block = m_pProperties->toText();
        if (!block.empty())
            file.writeAt(0, block.data(), block.size() * sizeof(char16_t));
        else
            log.trace(u"unloadProperties(): empty");
        file.flush();
        file.close();
    } catch (const plat::FileException&) {
        log.critic(u"unloadProperties CFileException");
        file = plat::File();
        plat::removeFile(temp);
        return false;
    }
    if (plat::replaceFileDurably(temp, m_propertyFilename) != 0) {
        log.critic(u"unloadProperties CFileException");
        plat::removeFile(temp);
        return false;
    }
    clearJournal();
    return true;
}

uint64_t CNotesController::notifyGeneration() {
    std::lock_guard<std::recursive_mutex> l(m_notifyLock);
    return m_notifyGeneration;
}

void CNotesController::dropNotifyOf(uint64_t generation) {
    std::lock_guard<std::recursive_mutex> l(m_notifyLock);
    if (generation == m_notifyGeneration) setNotify(nullptr);
}

void CNotesController::signalSessionEnd() {
    m_hSyncDone.set();
}

void CNotesController::releaseSink() {
    if (!m_pNotifyConverter) return;
    m_pNotifyConverter->detach();
    m_pNotifyConverter.reset();
}

HRESULT CNotesController::setNotify(IUnknown* pNotify) {
    std::lock_guard<std::recursive_mutex> l(m_notifyLock);
    ++m_notifyGeneration;
    const auto& log = controllerLog();
    log.trace(u"setNotify");
    HRESULT result = E_FAIL;
    release_shielded(m_pDataStoreNotify);
    if (pNotify) {
        try {
            result = pNotify->QueryInterface(vantrel::IID_IDataStoreNotify,
                                             m_pDataStoreNotify.put_void());
            if (FAILED(result)) (void)m_pDataStoreNotify.detach();
        } catch (...) {
            log.critic(u"setNotify thrown");
            (void)m_pDataStoreNotify.detach();
            result = E_FAIL;
        }
    }
    if (FAILED(result)) log.critic(u"setNotify failed");
    return result;
}

// The journal holds the property changes made since the property file was last written, one
// line each in the file's own text form: "+" key ":=" value, or "-" key, each ended by a line
// feed. A line cut short by a crash is ignored.
std::u16string journalPath(const std::u16string& propertyFile) {
    return propertyFile + u".journal";
}

void CNotesController::putProperty(const std::u16string& key, const CPropertyValue& value) {
    m_pProperties->set(key, value);
    std::u16string entry(1, u'+');
    CPropertySet::appendEscaped(entry, key);
    entry += u":=";
    std::u16string text;
    value.getStringValue(text);
    CPropertySet::appendEscaped(entry, text);
    entry += u'\n';
    appendToJournal(entry);
}

void CNotesController::dropProperty(const std::u16string& key) {
    if (!m_pProperties->get(key)) return;
    m_pProperties->remove(key);
    std::u16string entry(1, u'-');
    CPropertySet::appendEscaped(entry, key);
    entry += u'\n';
    appendToJournal(entry);
}

void CNotesController::appendToJournal(const std::u16string& entry) {
    m_journalPending += entry;
    if (m_journalDepth == 0) flushJournal();
}

void CNotesController::flushJournal() {
    if (m_journalPending.empty()) return;
    std::u16string entry;
    entry.swap(m_journalPending);
    if (m_propertyFilename.empty()) return;
    try {
        if (!m_journal) {
            auto file = std::make_unique<plat::File>();
            file->open(journalPath(m_propertyFilename), plat::Access::Write,
                       plat::Disposition::OpenAlways, plat::Share::Exclusive);
            m_journalSize = file->length();
            m_journal = std::move(file);
        }
        m_journal->writeAt(m_journalSize, entry.data(), entry.size() * sizeof(char16_t));
        m_journalSize += entry.size() * sizeof(char16_t);
    } catch (const plat::FileException& e) {
        controllerLog().high(u"journal: cannot record a property change " +
                             describeFileException(&e, false));
    }
}

void CNotesController::replayJournal() {
    plat::File file;
    if (!file.tryOpen(journalPath(m_propertyFilename), plat::Access::Read,
                      plat::Disposition::OpenExisting, plat::Share::DenyWrite))
        return;
    std::u16string text;
    try {
        text.resize(static_cast<size_t>(file.length() / 2));
        text.resize(file.readAt(0, text.data(), text.size() * 2) / 2);
    } catch (const plat::FileException&) {
        return;
    }
    size_t applied = 0;
    for (size_t start = 0;;) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos) break;  // the rest was cut short
        std::u16string_view line(text.data() + start, end - start);
        start = end + 1;
        if (line.size() < 2) continue;
        if (line[0] == u'-') {
            m_pProperties->remove(CPropertySet::unescape(line.substr(1)));
            ++applied;
        } else if (line[0] == u'+') {
            size_t sep = line.find(u":=");
            if (sep == std::u16string_view::npos) continue;
            m_pProperties->set(CPropertySet::unescape(line.substr(1, sep - 1)),
                               CPropertyValue(CPropertySet::unescape(line.substr(sep + 2))));
            ++applied;
        }
    }
    if (applied)
        controllerLog().high(format(u"loadProperties(): %d changes recovered from the journal",
                                    static_cast<int64_t>(applied)));
}

void CNotesController::clearJournal() {
    m_journalPending.clear();
    if (m_journal) {
        try {
            m_journal->setLength(0);
            m_journalSize = 0;
            return;
        } catch (const plat::FileException&) {
            m_journal.reset();
        }
    }
    plat::removeFile(journalPath(m_propertyFilename));
}

std::u16string CNotesController::allocateLocalLuid() {
    std::u16string id = format(u"%d", m_nextLocalLuid);
    ++m_nextLocalLuid;
    setNumber(keys::kNextLocalLuid, m_nextLocalLuid);
    return id;
}

void CNotesController::setNumber(const std::u16string& key, int32_t value) {
    putProperty(key, CPropertyValue(value));
}
void CNotesController::setText(const std::u16string& key, const std::u16string& value) {
    putProperty(key, CPropertyValue(value));
}
void CNotesController::setTime(const std::u16string& key, int64_t value) {
    putProperty(key, CPropertyValue(CTime{value}));
}
void CNotesController::setTrue(const std::u16string& key) {
    putProperty(key, CPropertyValue(true));
}

}  // namespace vt
