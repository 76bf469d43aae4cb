// CNotesSml: the module's one creatable component. A host makes one per connected phone,
// binds it to the phone and the SyncML engine with ISyncInitialize::Initialize, and drives the
// work through IDataStore. Every IDataStore method checks the engine's state, hands the host's
// notification object to the phone's controller and forwards to one controller operation.
// No exception leaves a method: it becomes 0x80046010 (0x80046000 for Cancel).
//
// Apartment-threaded: all calls on one object come from the thread that created it; the
// reference count is interlocked all the same. Supports aggregation.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "controller/controller_interface.h"
#include "platform/com.h"
#include "platform/com_raii.h"
#include "vantrel/data_store.h"
#include "vantrel/sync_engine.h"

namespace vt {

// HRESULTs of the component object.
inline constexpr HRESULT kHrNoController = static_cast<HRESULT>(0x80046009);
inline constexpr HRESULT kHrControllerThrew = static_cast<HRESULT>(0x80046010);
inline constexpr HRESULT kHrCancelThrew = static_cast<HRESULT>(0x80046000);

class CNotesSml : public vantrel::ISyncInitialize, public vantrel::IDataStore {
  public:
    // Creates an object, plain (outer null) or aggregated (outer set; riid must be IUnknown),
    // and queries it for riid.
    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

    // IUnknown (delegates to the controlling unknown when aggregated)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ISyncInitialize
    HRESULT STDMETHODCALLTYPE Initialize(BSTR bstrIMEI, BSTR bstrAlias, BSTR bstrDataStore,
                                         IUnknown* piSyncEngine) override;

    // IDataStore
    HRESULT STDMETHODCALLTYPE Synchronize(BSTR bstrDataStorePath, IUnknown* piDataStoreNotify,
                                          UINT* puiClientSyncID) override;
    HRESULT STDMETHODCALLTYPE Cancel(UINT uiClientSyncID) override;
    HRESULT STDMETHODCALLTYPE ExportDataFromPhone(BSTR bstrDataStorePath, LONG bDBOverride,
                                                  LONG bItemOverride, IUnknown* piDataStoreNotify,
                                                  UINT* puiClientSyncID) override;
    HRESULT STDMETHODCALLTYPE ImportDataToPhone(BSTR bstrDataStorePath, LONG bDBOverride,
                                                LONG bItemOverride, IUnknown* piDataStoreNotify,
                                                UINT* puiClientSyncID) override;
    HRESULT STDMETHODCALLTYPE GetDataStoreInfo(BSTR bstrDataStore, BSTR* pbstrDataStoreLocation,
                                               BSTR* pbstrTimeStamp, LONG* pbInSync,
                                               LONG* pbSynchronizing, LONG* pbPaused) override;
    HRESULT STDMETHODCALLTYPE ReadAllDataOut(BSTR bstrDataStorePath,
                                             BSTR bstrTargetFolder) override;
    HRESULT STDMETHODCALLTYPE WriteDataIn(BSTR bstrDataStorePath, BSTR bstrItemName,
                                          VARIANT varFileData) override;

    uint32_t clientSyncId() const { return m_uiClientSyncID; }

  protected:
    CNotesSml();
    virtual ~CNotesSml();

  private:
    // The non-delegating IUnknown that an aggregating outer object holds.
    struct Inner : public IUnknown {
        CNotesSml* self = nullptr;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;
    };

    HRESULT checkEngineState();
    HRESULT innerQueryInterface(REFIID riid, void** ppv);

    INotesController* m_pController = nullptr;
    com_ptr<vantrel::ISyncEngine> m_pSyncEngine;
    uint32_t m_uiClientSyncID;
    std::u16string m_strAlias;
    std::u16string m_strIMEI;
    std::u16string m_strDataStore;

    std::atomic<ULONG> m_ref{0};
    Inner m_inner;
    IUnknown* m_pOuter;  // the controlling unknown: the aggregator or m_inner

    static std::atomic<uint32_t> s_nextClientSyncID;
};

// The class object of CNotesSml.
class CNotesSmlFactory : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

  private:
    std::atomic<ULONG> m_ref{0};
};

}  // namespace vt
