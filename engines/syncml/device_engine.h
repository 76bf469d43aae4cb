// DeviceEngine: the SyncML server's engine for one device, as the module sees it
// (vantrel::ISyncEngine). The host binds one to the device's component object for as long as the
// server runs. The module queues its changes here (AddItem, ReplaceItem, DeleteItem) and starts a
// session with StartSync; the server's ServerSession for that device then takes the queued
// commands and the callback, and drives the module as the client's messages arrive over HTTP.
//
// StartSync only records the session: the session runs on the HTTP server's threads, one message
// at a time, never on the caller's stack. Cancel marks the session; the server ends it
// (SyncStatusCanceled) from its own thread.
//
// Lifetime: a real COM reference count; create() hands out the first reference.
// Thread safety: every method may be called from any thread.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/com_raii.h"
#include "vantrel/sync_engine.h"

namespace vt::syncml {

// A change of the PC's, queued by the module for the next session.
struct PcChange {
    enum Kind { Add, Replace, Delete };
    ULONG cmdId = 0;  // the number the module knows the command by
    Kind kind = Add;
    std::string id;     // UTF-8: the module's local id for an add, the client's LUID otherwise
    std::string bytes;  // the note's bytes (add and replace)
};

// What the module gave StartSync.
struct ModuleStart {
    LONG alert = vantrel::kAlertTwoWay;
    std::string lastAnchor, nextAnchor;  // UTF-8
    ULONG session = 0;
};

class DeviceEngine final : public vantrel::ISyncEngine {
  public:
    static com_ptr<DeviceEngine> create();

    DeviceEngine(const DeviceEngine&) = delete;
    DeviceEngine& operator=(const DeviceEngine&) = delete;

    // For the server. Takes the session StartSync recorded: its arguments, the module's callback
    // (one reference, now the caller's) and the commands queued up to then, in command order.
    // False when StartSync has not been called since the last take.
    bool takeStart(ModuleStart* start, com_ptr<vantrel::ISyncEngineCallback>* callback,
                   std::vector<PcChange>* changes);
    // Whether the module asked to cancel the session taken last; clears the request.
    bool takeCancel();
    // Whether a command the session took is still wanted (WithdrawItem not called for it).
    bool withdrawn(ULONG cmdId) const;

    // IUnknown: IID_IUnknown and vantrel::IID_ISyncEngine.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ISyncEngine. Item contents must be VT_ARRAY|VT_UI1 with lower bound 0 or VT_EMPTY
    // (E_INVALIDARG otherwise); null outs give E_POINTER.
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddItem(BSTR dataStore, BSTR localId, BSTR contentType, BSTR, BSTR,
                                      VARIANT data, ULONG* pCmdId) override;
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteItem(BSTR dataStore, BSTR luid, LONG, LONG, BSTR contentType,
                                         ULONG* pCmdId) override;
    // S_OK when the command was queued (or taken by a session that has not sent it yet),
    // S_FALSE when there is no such command.
    HRESULT STDMETHODCALLTYPE WithdrawItem(BSTR dataStore, ULONG cmdId) override;
    HRESULT STDMETHODCALLTYPE ReplaceItem(BSTR dataStore, BSTR luid, BSTR contentType, BSTR, BSTR,
                                          VARIANT data, ULONG* pCmdId) override;
    HRESULT STDMETHODCALLTYPE Reserved12() override { return E_NOTIMPL; }
    // Records the session for the server and returns. E_POINTER for a null callback,
    // E_UNEXPECTED when a recorded session has not been taken yet.
    HRESULT STDMETHODCALLTYPE StartSync(LONG alertCode, BSTR localStore, BSTR remoteStore,
                                        BSTR lastAnchor, BSTR nextAnchor, LONG,
                                        vantrel::ISyncEngineCallback* pCallback,
                                        ULONG* pSession) override;
    // Asks the running session to end; the server ends it with SyncStatusCanceled.
    HRESULT STDMETHODCALLTYPE Cancel(UINT clientSyncId) override;
    HRESULT STDMETHODCALLTYPE Reserved15() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved16() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetState() override { return S_OK; }

  private:
    DeviceEngine() = default;
    ~DeviceEngine() = default;
    HRESULT queue(PcChange::Kind kind, BSTR id, const VARIANT* data, ULONG* pCmdId);

    std::atomic<ULONG> refs_{1};
    mutable std::mutex m_;
    ULONG nextCmd_ = 1;
    std::map<ULONG, PcChange> queue_;
    std::map<ULONG, bool> taken_;  // commands a session took: true once withdrawn
    std::optional<ModuleStart> start_;
    com_ptr<vantrel::ISyncEngineCallback> callback_;
    ULONG sessions_ = 0;
    bool cancel_ = false;
};

}  // namespace vt::syncml
