// Support for the end-to-end tests: a sandbox in which the real module (the shared library this
// build made) is registered, "Root" and the language are set, and helpers to look at and change
// both sides the way a person would: the PC's notes folder and the virtual phone's store.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/phone_link.h"
#include "tests/support/temp_dir.h"

namespace vt::test {

// What a command line run in this process printed and answered.
struct CommandRun {
    int code = -1;
    std::string out;
    std::string err;
};

class HostE2ETest : public SandboxedTest {
  protected:
    HostE2ETest();
    ~HostE2ETest() override;

    // Registers the built module, sets Root to <home>/PC and the language to English.
    void SetUp() override;

    // runCommandLine with standard output and error captured.
    CommandRun run(const std::vector<std::u16string>& args);

    std::u16string root() const { return home_ / u"PC"; }
    std::u16string pcFolder(const std::u16string& alias = u"phone") const;
    std::u16string store(const std::u16string& alias = u"phone") const;
    host::PhoneSetup setup(const std::u16string& alias = u"phone",
                           const std::u16string& imei = u"350000000000001") const;

    // A PC note, given a last-write time no earlier session has seen (the module compares
    // whole seconds).
    void writePc(const std::u16string& alias, const std::u16string& name, const std::string& text);
    void removePc(const std::u16string& alias, const std::u16string& name);
    // A phone note; a name that isn't a LUID becomes one at the next session.
    void writePhone(const std::u16string& alias, const std::u16string& name,
                    const std::string& text);
    void removePhone(const std::u16string& alias, const std::u16string& name);
    // The phone's note whose text is text (empty when none).
    std::u16string phoneNameOf(const std::u16string& alias, const std::string& text);

    // The texts on each side, sorted (duplicates kept).
    std::vector<std::string> pcTexts(const std::u16string& alias = u"phone");
    std::vector<std::string> phoneTexts(const std::u16string& alias = u"phone");
    // PC file name -> text.
    std::map<std::u16string, std::string> pcFiles(const std::u16string& alias = u"phone");

    // One session through a PhoneLink of this process; expects it to finish.
    host::SessionReport syncOnce(const host::PhoneSetup& s);

    // Starts the real `vantrel` program with args, its output into outFile; the process id.
    int64_t startHost(const std::vector<std::u16string>& args, const std::u16string& outFile);
    // The module's record store of a phone (<AppData>/Morvex/<IMEI>/NotesDB/notesDB.dta).
    std::u16string recordStore(const std::u16string& imei = u"350000000000001") const;

  private:
    // The test thread is a single-threaded apartment, as the host program's is: the server is
    // "Apartment", so objects are created in this thread and called directly.
    struct Apartment {
        Apartment();
        ~Apartment();
        HRESULT hr;
    } apartment_;
    // The module writes debug copies of received items into the current folder.
    std::unique_ptr<ScopedCurrentPath> cwd_;
};

// A later last-write time for a file, unique in the process.
void bumpWriteTime(const std::u16string& path);

}  // namespace vt::test
