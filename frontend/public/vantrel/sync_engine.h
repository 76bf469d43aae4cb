// The contract between the module and a SyncML engine: ISyncEngine, which the engine
// implements and the module calls, and ISyncEngineCallback, which the module implements and
// the engine calls during a session. Include <vtcom/comtypes.h> and link libvantrelcom on Linux
// (docs/linux-abi.md).
//
// Slots are fixed; reserved slots exist so that the numbered ones keep their places and are
// never called by the module. Strings are BSTRs allocated by the caller; callback strings are
// zero-terminated UTF-16 (a null pointer reads as empty). Item contents travel as VARIANTs
// holding VT_ARRAY|VT_UI1 with lower bound 0.
//
// Threading: StartSync returns at once and the engine runs the session on a thread of its own
// (never the caller's), delivering one callback at a time.
#pragma once

#include <vtcom/comtypes.h>

namespace vantrel {

inline constexpr IID IID_ISyncEngine = {
    0x9326869B, 0x0C56, 0x47B5, {0x88, 0xCA, 0x10, 0x9F, 0x5F, 0xDF, 0xEA, 0x9D}};
inline constexpr IID IID_ISyncEngineCallback = {
    0xA9D6BE26, 0xCC48, 0x4715, {0xBE, 0xF8, 0xCE, 0xDB, 0xB2, 0x5D, 0xD9, 0xFD}};

// SyncML alert codes given to StartSync.
inline constexpr LONG kAlertTwoWay = 200;
inline constexpr LONG kAlertSlowSync = 201;

struct ISyncEngineCallback;

struct ISyncEngine : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;  // slot 3
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;  // slot 4
    virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;  // slot 5
    virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;  // slot 6
    // Slot 7. Queues an add of a PC note for the next session; *pCmdId numbers the command.
    virtual HRESULT STDMETHODCALLTYPE AddItem(BSTR bstrDataStore, BSTR bstrLuid,
                                              BSTR bstrContentType, BSTR bstrReserved1,
                                              BSTR bstrReserved2, VARIANT varData,
                                              ULONG* pCmdId) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved8() = 0;  // slot 8
    // Slot 9. Queues a delete.
    virtual HRESULT STDMETHODCALLTYPE DeleteItem(BSTR bstrDataStore, BSTR bstrLuid, LONG reserved1,
                                                 LONG reserved2, BSTR bstrContentType,
                                                 ULONG* pCmdId) = 0;
    // Slot 10. Takes a queued command back.
    virtual HRESULT STDMETHODCALLTYPE WithdrawItem(BSTR bstrDataStore, ULONG cmdId) = 0;
    // Slot 11. Queues a replace of a note the phone knows by bstrLuid.
    virtual HRESULT STDMETHODCALLTYPE ReplaceItem(BSTR bstrDataStore, BSTR bstrLuid,
                                                  BSTR bstrContentType, BSTR bstrReserved1,
                                                  BSTR bstrReserved2, VARIANT varData,
                                                  ULONG* pCmdId) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved12() = 0;  // slot 12
    // Slot 13. Starts a session with the queued commands; reports through pCallback, which the
    // engine AddRefs for as long as it needs it.
    virtual HRESULT STDMETHODCALLTYPE StartSync(LONG alertCode, BSTR bstrLocalStore,
                                                BSTR bstrRemoteStore, BSTR bstrLastAnchor,
                                                BSTR bstrNextAnchor, LONG reserved,
                                                ISyncEngineCallback* pCallback,
                                                ULONG* pSession) = 0;
    // Slot 14.
    virtual HRESULT STDMETHODCALLTYPE Cancel(UINT uiClientSyncID) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved15() = 0;  // slot 15
    virtual HRESULT STDMETHODCALLTYPE Reserved16() = 0;  // slot 16
    // Slot 17. A negative result means the engine can't take requests now.
    virtual HRESULT STDMETHODCALLTYPE GetState() = 0;
};

// Implemented by the module; one object per session. *pStatus is the SyncML status the engine
// reports to the phone for the command.
struct ISyncEngineCallback : public IUnknown {
    // Slot 3.
    virtual HRESULT STDMETHODCALLTYPE ClientCmdAlert(LONG alertCode, LONG unused1, LONG unused2,
                                                     LONG unused3, const OLECHAR* lastAnchor,
                                                     const OLECHAR* nextAnchor, LONG* pStatus) = 0;
    // Slot 4.
    virtual HRESULT STDMETHODCALLTYPE ClientCmdAddItem(LONG reversible, ULONG cmdId, LONG unused1,
                                                       const OLECHAR* luid, LONG unused2,
                                                       LONG unused3, LONG unused4, VARIANT content,
                                                       LONG* pStatus) = 0;
    // Slot 5.
    virtual HRESULT STDMETHODCALLTYPE ClientCmdDeleteItem(LONG reversible, ULONG cmdId,
                                                          LONG unused1, const OLECHAR* luid,
                                                          LONG unused2, LONG unused3, LONG unused4,
                                                          LONG* pStatus) = 0;
    // Slot 6.
    virtual HRESULT STDMETHODCALLTYPE ClientCmdReplaceItem(LONG reversible, ULONG cmdId,
                                                           LONG unused1, const OLECHAR* luid,
                                                           LONG unused2, LONG unused3, LONG unused4,
                                                           VARIANT content, LONG* pStatus) = 0;
    // Slot 7.
    virtual HRESULT STDMETHODCALLTYPE ClientCmdCopyItem(LONG, LONG, LONG, LONG, LONG, LONG,
                                                        LONG) = 0;
    // Slot 8.
    virtual HRESULT STDMETHODCALLTYPE ClientCmdGetItem(LONG reversible, ULONG cmdId, LONG unused1,
                                                       const OLECHAR* luid, LONG unused2,
                                                       LONG unused3, VARIANT* pContent,
                                                       LONG* pStatus) = 0;
    // Slot 9.
    virtual HRESULT STDMETHODCALLTYPE ClientCmdRollbackItem(LONG, LONG) = 0;
    // Slot 10. The phone's status for a command the PC sent.
    virtual HRESULT STDMETHODCALLTYPE ClientCmdStatus(ULONG cmdId, ULONG status) = 0;
    // Slot 11.
    virtual HRESULT STDMETHODCALLTYPE ClientResultGet(LONG, LONG, LONG, LONG, LONG, LONG, LONG,
                                                      LONG, LONG) = 0;
    // Slot 12. The phone's LUID for a note the PC added under a local id.
    virtual HRESULT STDMETHODCALLTYPE ClientMapItemAdded(LONG unused, const OLECHAR* luid,
                                                         const OLECHAR* localLuid) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClientReserved1() = 0;     // slot 13
    virtual HRESULT STDMETHODCALLTYPE ClientReserved2() = 0;     // slot 14
    virtual HRESULT STDMETHODCALLTYPE SyncStatusStarted() = 0;   // slot 15
    virtual HRESULT STDMETHODCALLTYPE SyncStatusPaused() = 0;    // slot 16
    virtual HRESULT STDMETHODCALLTYPE SyncStatusResumed() = 0;   // slot 17
    virtual HRESULT STDMETHODCALLTYPE SyncStatusCanceled() = 0;  // slot 18
    // Slot 19.
    virtual HRESULT STDMETHODCALLTYPE SyncStatusPackageSent(LONG unused, LONG progress1,
                                                            LONG progress2) = 0;
    virtual HRESULT STDMETHODCALLTYPE SyncStatusPackageGet(LONG unused) = 0;  // slot 20
    virtual HRESULT STDMETHODCALLTYPE SyncStatusFailed(LONG errorCode) = 0;   // slot 21
    virtual HRESULT STDMETHODCALLTYPE SyncStatusFinished() = 0;               // slot 22
};

}  // namespace vantrel
