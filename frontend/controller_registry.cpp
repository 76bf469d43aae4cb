#include "frontend/controller_registry.h"

#include <map>
#include <memory>

#include "controller/notes_controller.h"
#include "platform/format.h"
#include "platform/path.h"
#include "util/lazy_instance.h"
#include "util/logger.h"
#include "util/string_split.h"
#include "util/sync.h"
#include "util/text_error.h"

namespace vt {

namespace {

struct Registry {
    CritSec lock;
    std::map<std::u16string, CNotesController*> controllers;
};

// Freed by CFactory::release(); controllers may be destroyed from static destructors of hosts
// that never released their objects, so no destructor of ours runs at exit.
LazyInstance<Registry> g_registry;

Registry& registry() {
    return g_registry.get();
}

const LogChannel& channel() {
    static const LogChannel log(u"ConC CFactory");
    return log;
}

}  // namespace

std::u16string CFactory::keyOf(const std::u16string& text) {
    CStringSplit split(text, u':');
    return split.getAt(split.getCount() - 1);
}

HRESULT CFactory::createController(const std::u16string& imei, const std::u16string& alias,
                                   uint32_t clientSyncId, vantrel::ISyncEngine* pEngine,
                                   INotesController** out) {
    const std::u16string imeiKey = keyOf(imei);
    const std::u16string aliasKey = keyOf(alias);
    // Both become folder names (the phone's data folder, its PC folder under Root): anything
    // but a plain name could lead outside them.
    if (!plat::isPlainFileName(imeiKey) || !plat::isPlainFileName(aliasKey)) {
        channel().high(format(u"createController():'alias:%s' 'imei:%s', not plain folder names",
                              aliasKey, imeiKey));
        return E_INVALIDARG;
    }
    Registry& r = registry();
    CritSecLock lock(r.lock);
    auto it = r.controllers.find(imeiKey);
    if (it != r.controllers.end() && it->second) {
        // The registry's log texts are kept as log readers know them ("allready", "catched").
        channel().high(format(u"createController():'alias:%s' 'imei:%s', imei exists allready",
                              aliasKey, imeiKey));
        return E_FAIL;
    }
    try {
        auto controller =
            std::make_unique<CNotesController>(imeiKey, aliasKey, clientSyncId, pEngine);
        r.controllers[imeiKey] = controller.get();
        if (out) *out = controller.get();
        controller.release();
        return S_OK;
    } catch (const TextError& e) {
        channel().critic(
            format(u"createController(): (alias:%s) new catched: %s", aliasKey, e.text()));
    } catch (const std::exception& e) {
        channel().critic(
            format(u"createController(): (alias:%s) new catched: %s", aliasKey, e.what()));
    }
    return E_FAIL;
}

HRESULT CFactory::destroyController(const std::u16string& imei) {
    Registry& r = registry();
    CritSecLock lock(r.lock);
    auto it = r.controllers.find(keyOf(imei));
    if (it == r.controllers.end() || !it->second) {
        channel().high(format(u"destroyController(): 'imei:%s', doesn't exists", imei));
        return E_FAIL;
    }
    CNotesController* controller = it->second;
    r.controllers.erase(it);
    delete controller;
    return S_OK;
}

HRESULT CFactory::setNotify(const std::u16string& imei, IUnknown* pNotify) {
    Registry& r = registry();
    CritSecLock lock(r.lock);
    auto it = r.controllers.find(keyOf(imei));
    if (it == r.controllers.end() || !it->second) {
        channel().high(format(u"setNotify(): 'imei:%s', doesn't exists", imei));
        return E_FAIL;
    }
    it->second->setNotify(pNotify);
    return S_OK;
}

size_t CFactory::count() {
    Registry* r = g_registry.peek();
    if (!r) return 0;
    CritSecLock lock(r->lock);
    return r->controllers.size();
}

bool CFactory::release() {
    return g_registry.release([](Registry& r) {
        CritSecLock lock(r.lock);
        return r.controllers.empty();
    });
}

}  // namespace vt
