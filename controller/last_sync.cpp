// The last-sync record: the start time of the latest session, written into "folder.xml" of
// the notes folder for other programs. The controller never reads it back.
#include "controller/controller_log.h"
#include "controller/notes_controller.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/time.h"
#include "platform/xml.h"

namespace vt {

void CNotesController::setLastSyncTime() {
    const auto& log = controllerLog();
    const std::u16string path = plat::joinPath(m_notesFolder, u"folder.xml");
    log.trace(format(u"setLastSyncTime :: file is %s", path));
    const std::u16string timeText = plat::userLocaleDateTime(plat::currentTime());
    log.trace(format(u"%s\n", timeText));

    std::unique_ptr<plat::XmlDocument> doc = plat::XmlDocument::create();
    if (!doc) {
        log.trace(u"setLastSyncTime :: CreateInstance failed");
        return;
    }
    if (!doc->load(path)) {
        log.trace(u"setLastSyncTime :: XML load failed");
        return;
    }

    bool done = false;
    auto lastSync = doc->elementsByTagName(u"LastSync");
    if (lastSync.empty()) {
        log.trace(u"setLastSyncTime :: Node not found");
    } else {
        done = true;
        if (!lastSync.front()->setText(timeText))
            log.trace(u"setLastSyncTime :: puttext failed");
        else
            log.trace(u"setLastSyncTime :: Everything ok");
    }

    if (!done) {
        log.trace(u"setLastSyncTime :: Item not found create it");
        auto applications = doc->elementsByTagName(u"Application");
        if (applications.empty()) {
            log.trace(u"setLastSyncTime :: Parent not found");
        } else if (plat::XmlElement* node = doc->createElement(u"LastSync"); !node) {
            log.trace(u"setLastSyncTime :: New node creation failed");
        } else if (!node->setText(timeText)) {
            log.trace(u"setLastSyncTime :: puttext failed");
        } else {
            log.trace(u"setLastSyncTime :: Everything ok");
            applications.front()->appendChild(*node);
            done = true;
        }
    }

    if (done) {
        doc->save(path);
        log.trace(u"setLastSyncTime :: All ok now saving to disk");
    } else {
        log.trace(u"setLastSyncTime :: Couldn't set date and time");
    }
}

}  // namespace vt
