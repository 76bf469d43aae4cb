#include "frontend/notes_sml.h"

#include <new>

#include "frontend/controller_registry.h"
#include "platform/com_raii.h"
#include "platform/format.h"
#include "util/byte_array_variant.h"
#include "util/com_barrier.h"
#include "util/logger.h"
#include "util/module_lock.h"

namespace vt {

namespace {
const LogChannel& channel() {
    static const LogChannel log(u"Vantrel :: CNotesSml");
    return log;
}
}  // namespace

std::atomic<uint32_t> CNotesSml::s_nextClientSyncID{0};

CNotesSml::CNotesSml() : m_uiClientSyncID(s_nextClientSyncID++), m_pOuter(&m_inner) {
    m_inner.self = this;
    module_lock::lock();
}

CNotesSml::~CNotesSml() {
    if (m_pController) {
        CFactory::destroyController(m_strIMEI);
        m_pController = nullptr;
    }
    m_pSyncEngine.reset();
    m_uiClientSyncID = 0;
    // Last: until here the module's code runs, so the module must not be unloaded before.
    module_lock::unlock();
}

HRESULT CNotesSml::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    CNotesSml* obj = new (std::nothrow) CNotesSml();
    if (!obj) return E_OUTOFMEMORY;
    if (outer) obj->m_pOuter = outer;
    // Hold the object while it is queried so a failing query destroys it.
    obj->m_inner.AddRef();
    HRESULT hr = obj->m_inner.QueryInterface(riid, ppv);
    obj->m_inner.Release();
    return hr;
}

HRESULT CNotesSml::innerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown)) {
        *ppv = static_cast<IUnknown*>(&m_inner);
    } else if (IsEqualIID(riid, vantrel::IID_ISyncInitialize)) {
        *ppv = static_cast<vantrel::ISyncInitialize*>(this);
    } else if (IsEqualIID(riid, vantrel::IID_IDataStore)) {
        *ppv = static_cast<vantrel::IDataStore*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
}

HRESULT CNotesSml::Inner::QueryInterface(REFIID riid, void** ppv) {
    return self->innerQueryInterface(riid, ppv);
}
ULONG CNotesSml::Inner::AddRef() {
    return ++self->m_ref;
}
ULONG CNotesSml::Inner::Release() {
    const ULONG n = --self->m_ref;
    if (n == 0) delete self;
    return n;
}

HRESULT CNotesSml::QueryInterface(REFIID riid, void** ppv) {
    return m_pOuter->QueryInterface(riid, ppv);
}
ULONG CNotesSml::AddRef() {
    return m_pOuter->AddRef();
}
ULONG CNotesSml::Release() {
    return m_pOuter->Release();
}

HRESULT CNotesSml::checkEngineState() {
    if (!m_pSyncEngine) return E_UNEXPECTED;
    HRESULT hr = m_pSyncEngine->GetState();
    if (FAILED(hr)) channel().trace(format(u"m_pSyncEngine->GetState returned(0x%x)", hr));
    return hr;
}

HRESULT CNotesSml::Initialize(BSTR bstrIMEI, BSTR bstrAlias, BSTR bstrDataStore,
                              IUnknown* piSyncEngine) {
    // Only copies of the arguments can throw here: out of memory.
    return comBarrier(E_OUTOFMEMORY, [&]() -> HRESULT {
        const auto& log = channel();
        std::u16string alias = fromBstr(bstrAlias), imei = fromBstr(bstrIMEI),
                       dataStore = fromBstr(bstrDataStore);
        if (!piSyncEngine) {
            log.trace(u"Initialize");
            return E_POINTER;
        }
        com_ptr<vantrel::ISyncEngine> engine;
        HRESULT hr;
        try {
            hr = piSyncEngine->QueryInterface(vantrel::IID_ISyncEngine, engine.put_void());
        } catch (...) {
            log.critic(u"Initialize :: QueryInterface THROWN !!!");
            return E_FAIL;
        }
        if (FAILED(hr)) {
            log.trace(u"Initialize");
            return hr;
        }
        log.trace(u"Initialize :: QueryInterface succeeded\n");
        // The controller is registered under the first IMEI and borrows the first engine: both
        // stay, or the destructor would remove another object's controller and the sessions
        // would run on an engine nobody holds.
        if (m_pController) return E_FAIL;
        // A retry after a failed createController replaces the engine reference it held.
        m_pSyncEngine = std::move(engine);
        m_strAlias = std::move(alias);
        m_strIMEI = std::move(imei);
        m_strDataStore = std::move(dataStore);
        hr = CFactory::createController(m_strIMEI, m_strAlias, m_uiClientSyncID,
                                        m_pSyncEngine.get(), &m_pController);
        if (FAILED(hr))
            log.trace(u"Failed to create Controller");
        else
            log.trace(u"Initialize :: QueryInterface succeeded\n");
        return hr;
    });
}

HRESULT CNotesSml::Synchronize(BSTR bstrDataStorePath, IUnknown* piDataStoreNotify,
                               UINT* puiClientSyncID) {
    return comBarrier(
        kHrControllerThrew,
        [&]() -> HRESULT {
            const auto& log = channel();
            log.trace(format(u"CNotesSml::Synchronize( %s )", fromBstr(bstrDataStorePath)));
            HRESULT hr = checkEngineState();
            if (FAILED(hr)) return hr;
            if (m_pController) {
                log.trace(u"Has controller");
                if (puiClientSyncID) *puiClientSyncID = m_uiClientSyncID;
                CFactory::setNotify(m_strIMEI, piDataStoreNotify);
                hr = m_pController->synchronize();
            } else {
                log.trace(u"Doesn't have controller");
            }
            log.trace(u"CNotesSml::Synchronization started ok");
            return hr;
        },
        [] { channel().critic(u"Synchronize thrown"); });
}

HRESULT CNotesSml::Cancel(UINT uiClientSyncID) {
    return comBarrier(
        kHrCancelThrew,
        [&]() -> HRESULT {
            const auto& log = channel();
            log.trace(format(u"Cancel( %d )", uiClientSyncID));
            if (!m_pSyncEngine) return E_UNEXPECTED;
            HRESULT hr = m_pSyncEngine->Cancel(uiClientSyncID);
            if (FAILED(hr))
                log.trace(format(u"Cancel failed with 0x%x", hr));
            else
                log.trace(u"Cancel succeeded");
            return hr;
        },
        [] { channel().trace(u"Cancel thrown"); });
}

HRESULT CNotesSml::ExportDataFromPhone(BSTR bstrDataStorePath, LONG, LONG,
                                       IUnknown* piDataStoreNotify, UINT* puiClientSyncID) {
    return comBarrier(
        kHrControllerThrew,
        [&]() -> HRESULT {
            channel().trace(format(u"ExportDataFromPhone( %s )", fromBstr(bstrDataStorePath)));
            HRESULT hr = checkEngineState();
            if (FAILED(hr)) return hr;
            if (!m_pController) return kHrNoController;
            if (puiClientSyncID) *puiClientSyncID = m_uiClientSyncID;
            CFactory::setNotify(m_strIMEI, piDataStoreNotify);
            return m_pController->exportFromDevice();
        },
        [] { channel().trace(u"pController->exportFromDevice thrown"); });
}

HRESULT CNotesSml::ImportDataToPhone(BSTR bstrDataStorePath, LONG bDBOverride, LONG bItemOverride,
                                     IUnknown* piDataStoreNotify, UINT* puiClientSyncID) {
    return comBarrier(
        kHrControllerThrew,
        [&]() -> HRESULT {
            channel().trace(format(u"ImportDataToPhone( %s )", fromBstr(bstrDataStorePath)));
            HRESULT hr = checkEngineState();
            if (FAILED(hr)) return hr;
            if (!m_pController) return kHrNoController;
            if (puiClientSyncID) *puiClientSyncID = m_uiClientSyncID;
            CFactory::setNotify(m_strIMEI, piDataStoreNotify);
            return m_pController->importToDevice(bDBOverride == 0, bItemOverride != 0);
        },
        [] { channel().trace(u"pController->importToDevice thrown"); });
}

HRESULT CNotesSml::GetDataStoreInfo(BSTR bstrDataStore, BSTR*, BSTR*, LONG*, LONG*, LONG*) {
    return comBarrier(
        kHrControllerThrew,
        [&]() -> HRESULT {
            channel().trace(format(u"GetDataStoreInfo( %s )", fromBstr(bstrDataStore)));
            HRESULT hr = checkEngineState();
            if (FAILED(hr)) return hr;
            if (!m_pController) return kHrNoController;
            return m_pController->getDataStoreInfo();
        },
        [] { channel().trace(u"pController->getDataStoreInfo thrown"); });
}

HRESULT CNotesSml::ReadAllDataOut(BSTR bstrDataStorePath, BSTR bstrTargetFolder) {
    return comBarrier(
        kHrControllerThrew,
        [&]() -> HRESULT {
            channel().trace(format(u"ReadAllDataOut( %s )", fromBstr(bstrDataStorePath)));
            HRESULT hr = checkEngineState();
            if (FAILED(hr)) return hr;
            if (!m_pController) return kHrNoController;
            return m_pController->datafilesOut(fromBstr(bstrTargetFolder));
        },
        [] { channel().trace(u"pController->datafileOut thrown"); });
}

HRESULT CNotesSml::WriteDataIn(BSTR bstrDataStorePath, BSTR bstrItemName, VARIANT varFileData) {
    return comBarrier(
        kHrControllerThrew,
        [&]() -> HRESULT {
            const auto& log = channel();
            log.trace(format(u"WriteDataIn( %s )", fromBstr(bstrDataStorePath)));
            const std::u16string itemName = fromBstr(bstrItemName);
            HRESULT hr = checkEngineState();
            if (FAILED(hr)) return hr;
            uint32_t size = 0;
            unique_cotaskmem_ptr<uint8_t> buffer(ByteArrayVariant().toBytes(varFileData, &size));
            if (!buffer || size == 0) {
                log.trace(u"Invalid data");
                return E_FAIL;
            }
            if (!m_pController) return kHrNoController;
            return m_pController->datafileIn(buffer.get(), static_cast<int32_t>(size), itemName);
        },
        [] { channel().critic(u"pController->datafileIn thrown"); });
}

// ---- Class object ----

HRESULT CNotesSmlFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CNotesSmlFactory::AddRef() {
    ULONG n = ++m_ref;
    if (n == 1) module_lock::lock();
    return n;
}

ULONG CNotesSmlFactory::Release() {
    ULONG n = --m_ref;
    if (n == 0) module_lock::unlock();  // the module keeps the object itself cached
    return n;
}

HRESULT CNotesSmlFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    return CNotesSml::CreateInstance(pUnkOuter, riid, ppv);
}

HRESULT CNotesSmlFactory::LockServer(BOOL fLock) {
    if (fLock)
        module_lock::lock();
    else
        module_lock::unlock();
    return S_OK;
}

}  // namespace vt
