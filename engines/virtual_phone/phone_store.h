// The virtual phone's persistent side: its notes, one file per note in the phone's folder named
// by the note's LUID ("1", "2", ...), and its sync state in <folder>/.vphone/state (the anchor
// of the last completed session, the next LUID to hand out and each note's revision at that
// session). Notes and the state are replaced atomically (temporary file in .vphone, flush,
// rename), so a process killed at any point leaves either the old or the new version.
//
// Names starting with '.' are not notes (the .vphone folder, hidden files, editor leftovers);
// neither are sub-folders.
//
// Thread safety: a PhoneStore holds only its folder names; its methods may run on any thread,
// but two writers of the same note or of the state must not run at once (the phone runs one
// session at a time).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

    // Every note in the folder, with its bytes and revision, in no particular order. A note
    // that cannot be read is reported through *error and left out; the scan goes on.
    std::vector<NoteFile> scan(std::u16string* error) const;
    // One note; false when it is missing or unreadable.
    bool readNote(std::u16string_view name, NoteFile* out) const;
    // Writes a note atomically and gives its new revision.
    bool writeNote(std::u16string_view name, std::string_view bytes, NoteRevision* revision,
                   std::u16string* error) const;
    // Removing a missing note succeeds.
    bool removeNote(std::u16string_view name, std::u16string* error) const;
    // Renames a note; refuses to replace an existing entry.
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

  private:
    bool writeAtomically(const std::u16string& target, std::string_view bytes,
                         std::u16string* error) const;

    std::u16string folder_;
    std::u16string stateFolder_;
};

}  // namespace vt::engines
