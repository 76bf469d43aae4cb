// The notes on each side as a person would look at them: the .txt files of a PC notes folder
// and the note files of a virtual phone's store, with their bytes. For status and the demo.
// Thread-safe (no state).
#pragma once

#include <string>
#include <vector>

namespace vt::host {

struct NoteEntry {
    std::u16string name;
    std::string bytes;
};

// The *.txt files of folder, by name; a file that can't be read shows no bytes.
std::vector<NoteEntry> listPcNotes(const std::u16string& folder);
// The phone's notes: LUID names in number order, then other names.
std::vector<NoteEntry> listPhoneNotes(const std::u16string& store);

// The bytes as one line of at most max characters (line breaks become blanks).
std::u16string oneLine(const std::string& bytes, size_t max);

}  // namespace vt::host
