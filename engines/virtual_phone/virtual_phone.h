// VirtualPhone: a SyncML engine that plays the phone's side of a session itself, so that the
// product synchronises with no device attached. It implements vantrel::ISyncEngine for the
// module and offers a C++ API for hosts and tests.
//
// The phone's notes are the files of one folder (PhoneStore); the PC's commands (AddItem,
// ReplaceItem, DeleteItem) wait in a queue until a session applies them. A session runs on a
// thread of its own and makes one callback at a time: started, the phone's alert, the phone's
// changes, progress, the PC's commands with their maps and statuses, finished; only then does
// the phone save its state. docs/virtual-phone.md describes the folder, the state file, the
// session steps and the fault modes.
//
// Lifetime: a real COM reference count; create() hands out the first reference and the object
// deletes itself when the count reaches 0. A running session holds a reference of its own to
// the phone and to the callback, and drops both when its thread ends.
//
// Thread safety: every method may be called from any thread, also from inside a callback on the
// session thread (the phone holds no lock while it calls back), except waitForSession, which
// returns at once there.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engines/virtual_phone/phone_options.h"
#include "engines/virtual_phone/phone_store.h"
#include "platform/com.h"
#include "vantrel/sync_engine.h"

namespace vt::engines {

class PhoneSession;

enum class SessionOutcome { None, Running, Finished, Cancelled, Failed };

// What the latest session did.
struct SessionStats {
    SessionOutcome outcome = SessionOutcome::None;
    LONG alert = 0;  // the alert the phone sent, 0 before it was sent
    // Phone to PC: the changes sent.
    int sentAdds = 0, sentReplaces = 0, sentDeletes = 0;
    // PC to phone: the commands applied.
    int appliedAdds = 0, appliedReplaces = 0, appliedDeletes = 0;
    int conflicts = 0;        // phone changes the PC answered 419 (the PC wins the note)
    int refused = 0;          // phone changes the PC refused; they are sent again next session
    int notFound = 0;         // PC commands answered 404
    int refusedByPhone = 0;   // PC commands the phone refused (fault mode or write failure)
    int failedCallbacks = 0;  // callbacks that answered a negative HRESULT
    int callbacks = 0;        // callbacks made, the final one included
    // The items the session exchanges both ways (the phone's changes and the PC's commands),
    // known once the phone has looked at its notes: 0 before.
    int total = 0;
    LONG failCode = 0;  // the code given to SyncStatusFailed
    bool stateSaved = false;
    std::u16string error;  // the phone's own trouble (unreadable note, failed write), if any
};

// A PC command waiting for a session.
struct PcCommand {
    enum Kind { Add, Replace, Delete };
    ULONG cmdId = 0;
    Kind kind = Add;
    std::u16string luid;  // the PC's local id for an add, the phone's LUID otherwise
    std::string data;     // the note's bytes (add and replace)
};

class VirtualPhone final : public vantrel::ISyncEngine {
  public:
    // Opens (creating when missing) the phone folder dir and answers the phone with one
    // reference. E_POINTER for a null out, E_FAIL when the folder can't be made.
    static HRESULT create(const std::u16string& dir, const VirtualPhoneOptions& options,
                          VirtualPhone** out);

    VirtualPhone(const VirtualPhone&) = delete;
    VirtualPhone& operator=(const VirtualPhone&) = delete;

    const std::u16string& folder() const { return store_.folder(); }
    VirtualPhoneOptions options() const;
    // Takes effect from the next session on.
    void setOptions(const VirtualPhoneOptions& options);

    // True from StartSync until the session thread has ended.
    bool sessionRunning() const;
    // Waits until no session runs. Answers false at once when called on the session thread.
    bool waitForSession();
    // The latest session's statistics (of the running one while it runs).
    SessionStats lastSession() const;
    // Sessions started so far; StartSync's out value is this count.
    ULONG sessionCount() const;
    // The PC commands not yet consumed by a session, by command number.
    std::vector<PcCommand> queuedCommands() const;
    // The phone's notes now on disk: LUID names in number order, then any other names.
    std::vector<NoteFile> listNotes() const;

    // IUnknown: IID_IUnknown and vantrel::IID_ISyncEngine.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ISyncEngine. The data store names and content types are not checked. Item contents must
    // be VT_ARRAY|VT_UI1 with lower bound 0, or VT_EMPTY for an empty note (E_INVALIDARG
    // otherwise). A null out pointer gives E_POINTER.
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddItem(BSTR dataStore, BSTR localId, BSTR contentType, BSTR, BSTR,
                                      VARIANT data, ULONG* pCmdId) override;
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteItem(BSTR dataStore, BSTR luid, LONG, LONG, BSTR contentType,
                                         ULONG* pCmdId) override;
    // S_OK when the command was still queued (also when a running session had taken it but not
    // yet applied it), S_FALSE when there is no such command.
    HRESULT STDMETHODCALLTYPE WithdrawItem(BSTR dataStore, ULONG cmdId) override;
    HRESULT STDMETHODCALLTYPE ReplaceItem(BSTR dataStore, BSTR luid, BSTR contentType, BSTR, BSTR,
                                          VARIANT data, ULONG* pCmdId) override;
    HRESULT STDMETHODCALLTYPE Reserved12() override { return E_NOTIMPL; }
    // Starts a session over the commands queued so far and returns at once. E_POINTER for a
    // null callback, E_UNEXPECTED while another session runs. A session already making its
    // final callback is waited for instead (unless StartSync is called on its thread).
    HRESULT STDMETHODCALLTYPE StartSync(LONG alertCode, BSTR localStore, BSTR remoteStore,
                                        BSTR lastAnchor, BSTR nextAnchor, LONG,
                                        vantrel::ISyncEngineCallback* pCallback,
                                        ULONG* pSession) override;
    // Asks the running session to stop before its next callback; the id is not checked.
    // S_FALSE when no session runs or it is already making its final callback.
    HRESULT STDMETHODCALLTYPE Cancel(UINT clientSyncId) override;
    HRESULT STDMETHODCALLTYPE Reserved15() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved16() override { return E_NOTIMPL; }
    // The options' stateResult (S_OK by default).
    HRESULT STDMETHODCALLTYPE GetState() override;

  private:
    friend class PhoneSession;
    struct SessionArgs {
        LONG pcAlert = 0;
        std::u16string pcLastAnchor, pcNextAnchor;
        ULONG lastCmd = 0;  // the session takes the commands numbered up to this one
        VirtualPhoneOptions options;
    };

    VirtualPhone(const std::u16string& dir, const VirtualPhoneOptions& options);
    ~VirtualPhone();

    HRESULT queue(PcCommand::Kind kind, BSTR luid, const VARIANT* data, ULONG* pCmdId);
    void runSession(vantrel::ISyncEngineCallback* callback, SessionArgs args);

    // For the session thread.
    bool takeCommand(ULONG lastCmd, PcCommand* out);
    void dropCommands(ULONG lastCmd);
    size_t countCommands(ULONG lastCmd) const;
    bool cancelRequested() const;
    // Sleeps ms, waking early on Cancel.
    void pause(int ms);
    void publish(const SessionStats& stats);
    // From here on the session makes only its final callback: Cancel has no effect and
    // StartSync waits for the end instead of refusing.
    void beginClosing();

    std::atomic<ULONG> refs_{1};
    PhoneStore store_;

    mutable std::mutex m_;
    std::condition_variable cv_;
    VirtualPhoneOptions options_;
    ULONG nextCmd_ = 1;
    std::map<ULONG, PcCommand> queue_;
    bool running_ = false;
    bool closing_ = false;
    bool cancel_ = false;
    std::thread session_;
    std::thread::id sessionThread_;
    ULONG sessions_ = 0;
    SessionStats stats_;
};

}  // namespace vt::engines
