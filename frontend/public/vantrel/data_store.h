// The module's COM interfaces as a host sees them: the component class NotesSml with
// ISyncInitialize and IDataStore, and the notification interface IDataStoreNotify that the
// host implements. Include <vtcom/comtypes.h> and link libvantrelcom on Linux (see
// docs/linux-abi.md); on Windows the system COM headers provide the base types.
//
// Slots are fixed: every interface derives from IUnknown and adds its methods in the order
// below. Every method returns an HRESULT. Strings are BSTRs the caller allocates and frees.
#pragma once

#include <vtcom/comtypes.h>

namespace vantrel {

// {1C7DB2E8-83AA-4288-81BE-5A46D1F10DDE}, ProgID "Vantrel.NotesSml.1", version independent
// "Vantrel.NotesSml".
inline constexpr CLSID CLSID_NotesSml = {
    0x1C7DB2E8, 0x83AA, 0x4288, {0x81, 0xBE, 0x5A, 0x46, 0xD1, 0xF1, 0x0D, 0xDE}};
// The type library VANTRELLib 1.0.
inline constexpr GUID LIBID_VANTRELLib = {
    0xF7728B2F, 0x606E, 0x4C69, {0x8E, 0xE0, 0x22, 0x7E, 0x16, 0x0C, 0x23, 0xB2}};
inline constexpr IID IID_IDataStore = {
    0xDC1CB7DA, 0xDCEE, 0x4B5C, {0x93, 0x78, 0xA4, 0x44, 0x5F, 0xC9, 0x59, 0x94}};
inline constexpr IID IID_ISyncInitialize = {
    0x21227EAB, 0xABF6, 0x4F71, {0xA4, 0x2E, 0x21, 0x3D, 0xA3, 0x26, 0x19, 0x57}};
inline constexpr IID IID_IDataStoreNotify = {
    0x743431BB, 0x7942, 0x4FA9, {0x9B, 0x72, 0x1F, 0x8F, 0x08, 0x3E, 0x28, 0xAE}};

// Binds a component object to one phone and to the SyncML engine that talks to it.
struct ISyncInitialize : public IUnknown {
    // Slot 3. Call once per object. piSyncEngine must answer ISyncEngine.
    virtual HRESULT STDMETHODCALLTYPE Initialize(BSTR bstrIMEI, BSTR bstrAlias, BSTR bstrDataStore,
                                                 IUnknown* piSyncEngine) = 0;
};

// The host's entry to one phone's notes.
struct IDataStore : public IUnknown {
    // Slot 3. Starts a two-way session and returns; progress arrives at piDataStoreNotify.
    virtual HRESULT STDMETHODCALLTYPE Synchronize(BSTR bstrDataStorePath,
                                                  IUnknown* piDataStoreNotify,
                                                  UINT* puiClientSyncID) = 0;
    // Slot 4.
    virtual HRESULT STDMETHODCALLTYPE Cancel(UINT uiClientSyncID) = 0;
    // Slot 5. Runs one session and returns when it has ended.
    virtual HRESULT STDMETHODCALLTYPE ExportDataFromPhone(BSTR bstrDataStorePath, LONG bDBOverride,
                                                          LONG bItemOverride,
                                                          IUnknown* piDataStoreNotify,
                                                          UINT* puiClientSyncID) = 0;
    // Slot 6. Moves the notes written in with WriteDataIn into the notes folder and syncs them.
    virtual HRESULT STDMETHODCALLTYPE ImportDataToPhone(BSTR bstrDataStorePath, LONG bDBOverride,
                                                        LONG bItemOverride,
                                                        IUnknown* piDataStoreNotify,
                                                        UINT* puiClientSyncID) = 0;
    // Slot 7.
    virtual HRESULT STDMETHODCALLTYPE GetDataStoreInfo(BSTR bstrDataStore,
                                                       BSTR* pbstrDataStoreLocation,
                                                       BSTR* pbstrTimeStamp, LONG* pbInSync,
                                                       LONG* pbSynchronizing, LONG* pbPaused) = 0;
    // Slot 8. Writes every note as last exchanged with the phone into bstrTargetFolder.
    virtual HRESULT STDMETHODCALLTYPE ReadAllDataOut(BSTR bstrDataStorePath,
                                                     BSTR bstrTargetFolder) = 0;
    // Slot 9. varFileData: VT_ARRAY|VT_UI1 with lower bound 0 (or a BSTR, taken as raw bytes).
    // A success answer is the number of notes collected so far (1, 2, ...).
    virtual HRESULT STDMETHODCALLTYPE WriteDataIn(BSTR bstrDataStorePath, BSTR bstrItemName,
                                                  VARIANT varFileData) = 0;
};

// Session states reported through IDataStoreNotify::NotifySyncStatus.
enum SyncState : LONG {
    kSyncStateStarted = 0,
    kSyncStateProgress = 1,
    kSyncStateCanceled = 2,
    kSyncStateEnded = 4,  // finished or failed; resultCode tells which
};

// Implemented by the host. Called on short-lived worker threads, possibly several at once.
struct IDataStoreNotify : public IUnknown {
    // Slot 3. The result is ignored.
    virtual HRESULT STDMETHODCALLTYPE NotifySyncStatus(UINT uiClientSyncID, LONG state,
                                                       LONG resultCode, LONG progress1,
                                                       LONG progress2, LONG itemCount) = 0;
};

}  // namespace vantrel
