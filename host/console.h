// The host's output: text lines on standard output, messages on standard error, and a live
// progress display for running sessions: a bar redrawn in place on a terminal, plain lines
// otherwise (so that logs and pipes stay readable).
//
// One process-wide Console; thread-safe (one lock around every write), since progress comes
// from the module's notification threads and from the host's own.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace vt::host {

// What a progress display shows of one phone's session.
struct ProgressView {
    std::u16string phase;  // "starting", "exchanging", "finished", ...
    long done = 0;         // items exchanged so far
    long total = 0;        // items expected (0 when not known yet)
    long packages = 0;     // packages exchanged (the module's progress notifications)
};

class Console {
  public:
    // The process's console: a terminal display when standard output is a terminal and the
    // environment does not ask for plain output (VANTREL_PLAIN set, or TERM=dumb).
    static Console& instance();

    bool terminal() const { return terminal_; }
    // Forces plain output (tests, --plain).
    void setPlain();
    // Prints no progress at all (--quiet); lines and errors still appear.
    void setQuiet(bool quiet);
    bool quiet() const { return quiet_; }

    // A line on standard output.
    void line(const std::u16string& text);
    // "vantrel: " + text on standard error.
    void error(const std::u16string& text);

    // Shows a phone's progress. On a terminal the bar line is redrawn (at most every 50 ms
    // unless the phase changed); in plain mode a line is printed when the phase changes, or at
    // most once a second while items move.
    void progress(const std::u16string& phone, const ProgressView& view);
    // Ends a phone's display: removes it from the bar (the caller prints the outcome).
    void endProgress(const std::u16string& phone);

  private:
    Console();
    void clearBarLocked();
    void drawBarLocked();
    void writeOut(const std::string& bytes);
    void writeErr(const std::string& bytes);

    std::mutex m_;
    bool terminal_ = false;
    bool quiet_ = false;
    int columns_ = 80;
    bool barShown_ = false;
    long long lastDrawMs_ = 0;
    struct Shown {
        ProgressView view;
        long long lastPlainMs = 0;
        std::u16string lastPlainPhase;
        long lastPlainDone = -1;
    };
    std::map<std::u16string, Shown> shown_;
};

// Milliseconds of a monotonic clock.
long long monotonicMs();

}  // namespace vt::host
