// The bulk operations: the blocking export session, reading all notes out of NotesDB, collecting
// notes for an import and the import itself.
#include <algorithm>
#include <deque>
#include <set>

#include "controller/controller_log.h"
#include "controller/notes_controller.h"
#include "platform/file.h"
#include "platform/find.h"
#include "platform/format.h"
#include "platform/path.h"
#include "util/folder_utils.h"

namespace vt {

namespace {

constexpr char16_t kImportStem[] = u"tmp_importdatadir";

}  // namespace

HRESULT CNotesController::waitForSessionEnd() {
    m_hSyncDone.wait();
    return m_sessionFinished ? S_OK : E_FAIL;
}

HRESULT CNotesController::exportFromDevice() {
    HRESULT hr = startSession(true);
    if (FAILED(hr)) return hr;
    return waitForSessionEnd();
}

HRESULT CNotesController::datafilesOut(const std::u16string& targetFolder) {
    const auto& log = controllerLog();
    const std::u16string folder = plat::withoutTrailingSeparator(targetFolder);
    std::vector<std::u16string> keys;
    m_notesDB.getKeys(keys);
    std::vector<uint8_t> buffer;
    int64_t capacity = -1;
    int errors = 0;
    for (const auto& key : keys) {
        int32_t size = 0;
        if (m_notesDB.getDataSize(key, size) < 0) {
            log.high(u"datafilesOut() error with db getDataSize()");
            ++errors;
            continue;
        }
        if (size > capacity) {
            log.trace(u"datafilesOut() renewing allocation");
            try {
                buffer.assign(static_cast<size_t>(size), 0);
            } catch (const std::bad_alloc&) {
                log.critic(u"datafilesOut() new failed");
                return E_FAIL;
            }
            capacity = size;
        }
        int32_t length = 0;
        if (m_notesDB.fetch(key, buffer.data(), static_cast<int32_t>(capacity), length) < 0) {
            log.high(u"datafilesOut() error with db fetch()");
            ++errors;
            continue;
        }
        if (!writeFile(folder, key, buffer.data(), length)) {
            log.high(u"datafilesOut() error with writeFile()");
            ++errors;
        }
    }
    std::u16string line = format(u"datafilesOut() %d entries", static_cast<int64_t>(keys.size()));
    line += errors ? format(u" errors %d", errors) : std::u16string(u" no errors");
    log.trace(line);
    return errors ? E_FAIL : S_OK;
}

HRESULT CNotesController::datafileIn(const uint8_t* data, int32_t length,
                                     const std::u16string& itemName) {
    auto state = lockState();
    const auto& log = controllerLog();
    bool failed = false;
    std::u16string folder;
    if (!m_pImportFilenameMap) {
        log.trace(u"datafileIn(): first call in this session creating new m_pImportFilenameMap");
        m_pImportFilenameMap = std::make_unique<std::map<std::u16string, std::u16string>>();
        m_importSyncNum = m_lastSyncNum;
        folder = importDataFolder(failed, true);
    } else {
        folder = importDataFolder(failed, false);
    }
    if (failed) {
        log.critic(format(u"datafileIn( ) can't create folder: %s", folder));
        return E_FAIL;
    }
    const std::u16string name = resolveFileName(u"untitled", folder);
    if (!writeFile(folder, name, data, length)) {
        log.critic(u"datafileIn( ) writeFile failed");
        return E_FAIL;
    }
    m_pImportFilenameMap->emplace(name, itemName);
    int count = 0;
    for (const auto& e : plat::findFiles(plat::joinPath(folder, u"*.txt")))
        if (!e.isDirectory) ++count;
    // "writed" and the other log texts are kept as log readers know them.
    std::u16string line = u"datafileIn() writed " + itemName;
    if (name != itemName) line += u" as a " + name;
    line += u" current filecount for importToDevice is " + format(u"%d", count);
    log.trace(line);
    return count;
}

std::u16string CNotesController::importDataFolder(bool& failed, bool fresh) {
    const auto& log = controllerLog();
    std::u16string folder = CFolderUtils::getFolderOfPath(m_propertyFilename) +
                            format(u"%s_%d", kImportStem, m_importSyncNum.value_or(m_lastSyncNum));
    plat::FileStatus st;
    if (fresh && plat::getFileStatus(folder, &st)) {
        if (!deleteDirectoryRecursively(folder)) failed = true;
    }
    if (!plat::getFileStatus(folder, &st)) {
        if (plat::createDirectory(folder) == 0) {
            log.trace(format(u"importDataFolder(): created folder %s ok", folder));
            failed = false;
        } else {
            log.critic(format(u"importDataFolder(): create folder error %s", folder));
            failed = true;
        }
    } else {
        failed = fresh;
    }
    return plat::withoutTrailingSeparator(folder);
}

HRESULT CNotesController::importToDevice(bool append, bool itemOverwrite) {
    const auto& log = controllerLog();
    log.trace(format(u"importToDevice(append = %s, itemoverwrite=%s)", append ? u"true" : u"false",
                     itemOverwrite ? u"true" : u"false"));
    if (m_sessionRunning) {
        // Nothing is moved or deleted while the phone is in a session; the collected notes stay
        // for a later import.
        log.high(u"importToDevice(): the previous session with the phone has not ended; refused");
        return kHrSessionRunning;
    }
    std::unique_ptr<std::map<std::u16string, std::u16string>> nameMap =
        std::move(m_pImportFilenameMap);
    if (!nameMap) {
        nameMap = std::make_unique<std::map<std::u16string, std::u16string>>();
        m_importSyncNum = m_lastSyncNum;
    }
    struct ForgetFolder {
        std::optional<int32_t>& num;
        ~ForgetFolder() { num.reset(); }
    } forget{m_importSyncNum};

    std::vector<std::u16string> current;
    if (!append) getListOfCurrentTextFiles(current);
    std::vector<std::u16string> copied;
    bool ok =
        itemOverwrite ? mergeFilesFromImportDir(copied, *nameMap) : copyFilesFromImportDir(copied);
    if (!ok) return E_FAIL;

    // A merged note may have taken an old note's name: it is the imported note now and stays.
    // The names are compared as files, since where case is ignored "A.txt" was written over
    // "a.txt" and the two spellings name one file.
    if (!copied.empty()) {
        std::set<plat::FileIdentity> written;
        for (const auto& path : copied) {
            plat::FileIdentity id;
            if (plat::getFileIdentity(path, &id)) written.insert(id);
        }
        std::erase_if(current, [&](const std::u16string& path) {
            plat::FileIdentity id;
            return std::find(copied.begin(), copied.end(), path) != copied.end() ||
                   (plat::getFileIdentity(path, &id) && written.count(id) != 0);
        });
    }
    deleteFilesByList(current);

    if (!append) m_bImportNoAppend = true;
    HRESULT hr = startSession(true);
    if (FAILED(hr)) {
        m_bImportNoAppend = false;
        return hr;
    }
    hr = waitForSessionEnd();
    m_bImportNoAppend = false;
    cleanUpAfterImport();
    return hr;
}

bool CNotesController::getListOfCurrentTextFiles(std::vector<std::u16string>& list) {
    controllerLog().trace(u"getListOfCurrentTextFiles()");
    for (const auto& e : plat::findFiles(plat::joinPath(m_notesFolder, u"*.txt")))
        if (!e.isDirectory) list.push_back(plat::joinPath(m_notesFolder, e.name));
    return true;
}

bool CNotesController::copyFilesFromImportDir(std::vector<std::u16string>& copied) {
    const auto& log = controllerLog();
    log.trace(u"copyFilesFromImportDir()");
    bool failed = false;
    const std::u16string folder = importDataFolder(failed, false);
    if (failed) return false;
    int errors = 0;
    for (const auto& e : plat::findFiles(plat::joinPath(folder, u"*.txt"))) {
        if (e.isDirectory) continue;
        const std::u16string source = plat::joinPath(folder, e.name);
        size_t dot = e.name.rfind(u'.');
        const std::u16string title = dot == std::u16string::npos ? e.name : e.name.substr(0, dot);
        const std::u16string target = makeUniquePath(m_notesFolder, e.name, title);
        if (plat::copyFile(source, target, true) != 0) {
            log.high(
                format(u"copyFilesFromImportDir(): error copying '%s' to '%s'", source, target));
            ++errors;
        } else {
            copied.push_back(target);
        }
    }
    if (errors) {
        log.trace(format(u"copyFilesFromImportDir(): %d error(s)", errors));
        return false;
    }
    return true;
}

bool CNotesController::mergeFilesFromImportDir(
    std::vector<std::u16string>& copied, const std::map<std::u16string, std::u16string>& nameMap) {
    const auto& log = controllerLog();
    log.trace(u"mergeFilesFromImportDir()");
    bool failed = false;
    const std::u16string folder = importDataFolder(failed, false);
    if (failed) return false;
    int errors = 0;
    for (const auto& e : plat::findFiles(plat::joinPath(folder, u"*.txt"))) {
        if (e.isDirectory) continue;
        const std::u16string source = plat::joinPath(folder, e.name);
        std::u16string target;
        auto it = nameMap.find(e.name);
        if (it != nameMap.end()) {
            if (!plat::isPlainFileName(it->second)) {
                // The host's item name would lead out of the notes folder.
                log.high(u"mergeFilesFromImportDir() refusing item name " + it->second);
                ++errors;
                continue;
            }
            target = plat::joinPath(m_notesFolder, it->second);
        } else {
            ++errors;
            log.high(u"mergeFilesFromImportDir() no mappings for " + e.name);
            target = plat::joinPath(m_notesFolder, e.name);
        }
        log.trace(format(u"mergeFilesFromImportDir() copying %s to %s", source, target));
        if (plat::copyFile(source, target, false) != 0) {
            log.high(
                format(u"mergeFilesFromImportDir(): error copying '%s' to '%s'", source, target));
            ++errors;
        } else {
            copied.push_back(target);
        }
    }
    if (errors) {
        log.trace(format(u"mergeFilesFromImportDir(): %d error(s)", errors));
        return false;
    }
    return true;
}

bool CNotesController::deleteFilesByList(const std::vector<std::u16string>& list) {
    const auto& log = controllerLog();
    int errors = 0;
    for (const auto& path : list) {
        if (plat::removeFile(path) != 0) {
            log.high(format(u"deleteFilesByList() error can't delete %s", path));
            ++errors;
        }
    }
    if (errors) {
        log.trace(format(u"deleteFilesByList() %d error(s)", errors));
        return false;
    }
    return true;
}

bool CNotesController::deleteDirectoryRecursively(const std::u16string& folder) {
    const auto& log = controllerLog();
    // A symbolic link, the folder itself or any entry below it, is removed as a file and never
    // descended into: what it leads to may lie anywhere.
    std::deque<std::u16string> queue;
    std::vector<std::u16string> files, folders;
    const std::vector<plat::FindEntry> self = plat::findFiles(folder);
    if (self.size() == 1 && self.front().isLink)
        files.push_back(folder);
    else
        queue.push_back(folder);
    while (!queue.empty()) {
        const std::u16string current = queue.front();
        for (const auto& e :
             plat::findFiles(plat::joinPath(current, u"*.*"), plat::FindDetail::WithStatus)) {
            if (e.name == u"." || e.name == u"..") continue;
            const std::u16string path = plat::joinPath(current, e.name);
            if (e.isDirectory && !e.isLink) {
                queue.push_back(path);
                continue;
            }
            files.push_back(path);
            if (!e.isLink && (e.attributes & plat::kAttrReadOnly))
                log.trace(format(u"deleteDirectoryRecursively()readonly file %s", path));
        }
        folders.push_back(current);
        queue.pop_front();
    }
    int errors = 0;
    for (const auto& path : files) {
        if (plat::removeFile(path) != 0) {
            log.high(format(u"deleteDirectoryRecursively(): couldn't DeleteFile(%s)", path));
            ++errors;
        }
    }
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        if (plat::removeDirectory(*it) != 0) {
            log.high(format(u"deleteDirectoryRecursively(): couldn't RemoveDirectory(%s)", *it));
            ++errors;
        }
    }
    if (errors) {
        log.trace(format(u"deleteDirectoryRecursively() %d error(s)", errors));
        return false;
    }
    return true;
}

std::u16string CNotesController::makeUniquePath(const std::u16string& folder,
                                                const std::u16string& fileName,
                                                const std::u16string& fileTitle) {
    std::u16string ext;
    if (fileName != fileTitle) ext = fileName.substr(fileTitle.size());
    std::u16string path = plat::joinPath(folder, fileName);
    for (int n = 1; fileExists(path); ++n)
        path = plat::joinPath(folder, format(u"%s(%d)%s", fileTitle, n, ext));
    return path;
}

void CNotesController::cleanUpAfterImport() {
    const auto& log = controllerLog();
    log.trace(u"cleanUpAfterImport()");
    const std::u16string base = CFolderUtils::getFolderOfPath(m_propertyFilename);
    std::vector<std::u16string> folders;
    for (const auto& e : plat::findFiles(base + u"*.*")) {
        if (e.isDirectory && e.name.rfind(kImportStem, 0) == 0) folders.push_back(base + e.name);
    }
    for (const auto& path : folders) {
        std::u16string line = format(u"cleanUpAfterImport() `rm -r %s`", path);
        log.trace(line);
        if (!deleteDirectoryRecursively(path)) log.critic(line + u" failed");
    }
    if (folders.size() != 1)
        log.high(
            format(u"cleanUpAfterImport() something is wrong, there should be exactly one tmp "
                   u"folder and there is %d",
                   static_cast<int64_t>(folders.size())));
}

}  // namespace vt
