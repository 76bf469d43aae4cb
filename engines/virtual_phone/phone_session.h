// One session of the virtual phone, run start to end on the session thread: the phone's alert,
// its changes since the last completed session, the PC's queued commands, and, after
// SyncStatusFinished, the notes written made durable and the state saved. Internal to
// VirtualPhone; not thread-safe (one thread drives it).
#pragma once

#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "engines/virtual_phone/virtual_phone.h"

namespace vt::engines {

class PhoneSession {
  public:
    PhoneSession(VirtualPhone& phone, vantrel::ISyncEngineCallback* callback,
                 VirtualPhone::SessionArgs args);
    PhoneSession(const PhoneSession&) = delete;
    PhoneSession& operator=(const PhoneSession&) = delete;

    // Makes every callback of the session and publishes the statistics as it goes.
    void run();
    // Ends the session as failed after an unexpected error (an exception): SyncStatusFailed
    // unless the final callback was already made; nothing saved.
    void abandon(const std::u16string& why);

  private:
    struct Change {
        PcCommand::Kind kind;
        Luid luid;
    };

    // Before every callback but the final one: the pause, a requested cancel and the
    // callback-count faults. False when the session ended here (its final callback made).
    bool step();
    void endCancelled();
    void endFailed(LONG code);
    void finish();

    bool prepare();
    // True when the listing shows a note as its revision describes it and its time is old
    // enough that an edit within the same tick of the file system's clock can't hide behind it.
    bool unchangedByListing(const NoteRevision& rev, const plat::FindEntry& e) const;
    // Takes a note whose name is a number not in the state: adopted, or recognised from the
    // journal as stored for a PC add.
    void takeUnknownNumber(Luid luid, NoteFile note,
                           std::map<Luid, JournalEntry>::const_iterator journaled,
                           const std::map<Luid, JournalEntry>& journal);
    bool sendAlert();
    bool sendChanges();
    bool applyCommands();
    bool applyAdd(const PcCommand& c);
    bool applyReplace(const PcCommand& c);
    bool applyDelete(const PcCommand& c);
    bool sendStatus(ULONG cmdId, ULONG status);

    // The lowest LUID at or above the next one that is neither known nor a file's name.
    Luid freshLuid();
    void note(HRESULT hr);
    void fault(const std::u16string& message);

    VirtualPhone& phone_;
    const PhoneStore& store_;
    vantrel::ISyncEngineCallback* cb_;
    VirtualPhone::SessionArgs args_;
    SessionStats stats_;
    PhoneState state_;
    // The notes on disk when the session started; bytes only of those read (every note the
    // phone sends, and those whose revision the listing could not confirm).
    std::unordered_map<Luid, NoteFile> present_;
    std::set<Luid> unreadable_;  // known notes whose file is there but can't be read
    std::set<Luid> deletedWon_;  // phone deletes the PC answered 419 in this session
    // Notes stored for a PC add whose map and status the PC may never have had (the session
    // that stored them did not end): not sent as the phone's own; a PC add of the same bytes
    // takes the LUID over. Left over at the end, they are new notes for the next session.
    std::set<Luid> awaited_;
    PhoneJournal journal_;
    std::vector<std::u16string> written_;  // notes written in this session, to be flushed
    bool touched_ = false;                 // notes written, renamed or removed
    int64_t checkStart_ = 0;               // the phone's clock when it began to look
    bool slow_ = false;
    ULONG phoneCmd_ = 0;
    int total_ = 0;
    int commandIndex_ = 0;
    int addIndex_ = 0;
    bool ended_ = false;  // the final callback was made (or is being made)
};

}  // namespace vt::engines
