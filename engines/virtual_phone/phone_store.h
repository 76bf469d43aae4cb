// The virtual phone's persistent side: its notes, one file per note in the phone's folder named
// by the note's LUID ("1", "2", ...), its sync state in <folder>/.vphone/state (the anchor of
// the last completed session, the next LUID to hand out and each note's revision at that
// session) and the journal of LUIDs handed out to the PC's adds since then
// (<folder>/.vphone/journal). Notes and the state are replaced atomically (temporary file in
// .vphone, rename), so a process killed at any point leaves either the old or the new version.
// The state is flushed before it is renamed; notes written with Flush::Later are made durable
// together by flushNotes().
//
// Names starting with '.' are not notes (the .vphone folder, hidden files, editor leftovers);
// neither are sub-folders.
//
// Thread safety: a PhoneStore holds only its folder names; its methods may run on any thread,
// but two writers of the same note, of the state or of the journal must not run at once (the
// phone runs one session at a time). A PhoneJournal is used by one thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/find.h"

namespace vt::engines {

// What the phone compares to see that a note changed: size and last-write time (whole
// seconds) as the file system reports them, and a hash of the bytes, which tells an edit within
// the same second.
struct NoteRevision {
    uint64_t size = 0;
    int64_t lastWriteTime = 0;
    uint64_t hash = 0;

    bool operator==(const NoteRevision&) const = default;
};

using Luid = uint64_t;

struct PhoneState {
    // The PC's next anchor of the last completed session; none before the first.
    std::optional<std::u16string> anchor;
    // The lowest LUID never handed out.
    Luid nextLuid = 1;
    // Every LUID the phone knows. A revision is the note's state at the last completed session;
    // nullopt marks a note that has its LUID but was never accepted by the PC (sent as an add
    // again at the next session).
    std::map<Luid, std::optional<NoteRevision>> notes;
    // The phone's clock (seconds since 1970) when the session that saved this state began to
    // look at its notes; none in a state an older phone saved. A note whose size and time equal
    // its revision is taken as unchanged without being read, unless its time is so close to
    // this one that an edit within the same tick of the file system's clock could hide behind it.
    std::optional<int64_t> checked;

    bool operator==(const PhoneState&) const = default;
};

struct NoteFile {
    std::u16string name;  // file name in the phone's folder
    std::string bytes;
    NoteRevision revision;
};

class PhoneStore {
  public:
    explicit PhoneStore(std::u16string folder);

    const std::u16string& folder() const { return folder_; }
    // <folder>/.vphone
    const std::u16string& stateFolder() const { return stateFolder_; }
    std::u16string statePath() const;
    std::u16string notePath(std::u16string_view name) const;

    // Creates the folder and .vphone when missing and removes temporary files a crash left.
    bool open(std::u16string* error);

    // A missing state file gives the state of a new phone.
    bool loadState(PhoneState* out, std::u16string* error) const;
    bool saveState(const PhoneState& state, std::u16string* error) const;

    // The notes in the folder with their size and last-write time, from one listing, in no
    // particular order; nothing is read.
    std::vector<plat::FindEntry> list() const;
    // Every note in the folder, with its bytes and revision, in no particular order. A note
    // that cannot be read is reported through *error and left out; the scan goes on.
    std::vector<NoteFile> scan(std::u16string* error) const;
    // One note; false when it is missing or unreadable.
    bool readNote(std::u16string_view name, NoteFile* out) const;

    // Now: the note is durable when the call returns (temporary file flushed, renamed, folder
    // flushed). Later: neither is flushed; flushNotes() makes the note durable.
    enum class Flush { Now, Later };
    // Writes a note atomically and gives its new revision.
    bool writeNote(std::u16string_view name, std::string_view bytes, NoteRevision* revision,
                   std::u16string* error, Flush flush = Flush::Now) const;
    // Makes the notes written, renamed and removed with Flush::Later durable: one flush of the
    // file system when the platform offers it, else a flush of each note named in written.
    bool flushNotes(const std::vector<std::u16string>& written, std::u16string* error) const;
    // Removing a missing note succeeds. The removal is made durable by flushNotes().
    bool removeNote(std::u16string_view name, std::u16string* error) const;
    // Renames a note; refuses to replace an existing entry. Made durable by flushNotes().
    bool renameNote(std::u16string_view from, std::u16string_view to, std::u16string* error) const;
    // True when the folder holds an entry (file or folder) of that name.
    bool exists(std::u16string_view name) const;

    static std::u16string luidText(Luid luid);
    // Accepts the canonical text only: decimal digits, no leading zero, not 0.
    static std::optional<Luid> parseLuid(std::u16string_view text);
    static uint64_t hashBytes(std::string_view bytes);

    // The state file's text, and its parser (false with a message naming the bad line).
    static std::string stateText(const PhoneState& state);
    static bool parseStateText(std::string_view text, PhoneState* out, std::u16string* error);

    // <folder>/.vphone/journal
    std::u16string journalPath() const;

  private:
    // *status (when given): the written file's status, taken before the rename.
    bool writeAtomically(const std::u16string& target, std::string_view bytes, Flush flush,
                         plat::FileStatus* status, std::u16string* error) const;

    std::u16string folder_;
    std::u16string stateFolder_;
};

// What the journal says about a LUID handed out to a PC add since the state was saved.
struct JournalEntry {
    uint64_t size = 0;  // of the PC's bytes
    uint64_t hash = 0;  // PhoneStore::hashBytes of them
    // The map and the status went to the PC, so it knows the LUID.
    bool answered = false;

    bool operator==(const JournalEntry&) const = default;
};

// The journal of the PC's adds: "add <luid> <size> <hash>" is appended before the note is
// renamed into place, "done <luid>" once the PC has had the note's map and status. The
// journal lives until the next saved state makes it redundant. Appends are not flushed: the
// journal guards against a process that dies, and the state saved at a session's end
// supersedes it (a LUID below the state's next-luid is ignored on replay).
class PhoneJournal {
  public:
    explicit PhoneJournal(const PhoneStore& store) : path_(store.journalPath()) {}

    // The LUIDs of the journal, the last word on each counting. A line cut short by a crash
    // or not understood is ignored.
    static std::map<Luid, JournalEntry> parse(std::string_view text);
    // Reads through this journal's own handle while it has the file open for appending, since
    // that open shares the file with no other writer and no reader that denies writing.
    std::map<Luid, JournalEntry> read();

    // Writes "add" (with any "done" lines still waiting) in one write.
    bool add(Luid luid, std::string_view bytes, std::u16string* error);
    // Kept in memory until the next add() or flush(): a "done" lost in a crash only makes the
    // next session wait for the PC's add that never comes again.
    void done(Luid luid);
    bool flush(std::u16string* error);
    // Closes and removes the journal (after the state was saved).
    bool clear(std::u16string* error);

  private:
    bool write(std::string text, std::u16string* error);

    std::u16string path_;
    plat::File file_;
    uint64_t end_ = 0;
    std::string waiting_;
};

}  // namespace vt::engines
