#include "host/console.h"

#include <chrono>
#include <cstdio>

#include "platform/format.h"
#include "platform/system.h"
#include "platform/text.h"

namespace vt::host {

long long monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Console& Console::instance() {
    static Console* c = new Console();  // never destroyed: late threads may still print
    return *c;
}

Console::Console() {
    terminal_ = plat::stdoutIsTerminal();
    if (auto plain = plat::getEnv("VANTREL_PLAIN"); plain && !plain->empty()) terminal_ = false;
    if (auto term = plat::getEnv("TERM"); term && *term == u"dumb") terminal_ = false;
    if (terminal_) columns_ = plat::terminalColumns();
}

void Console::setPlain() {
    std::lock_guard<std::mutex> l(m_);
    clearBarLocked();
    terminal_ = false;
}

void Console::setQuiet(bool quiet) {
    std::lock_guard<std::mutex> l(m_);
    clearBarLocked();
    quiet_ = quiet;
}

void Console::writeOut(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void Console::writeErr(const std::string& bytes) {
    std::fflush(stdout);
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

void Console::line(const std::u16string& text) {
    std::lock_guard<std::mutex> l(m_);
    clearBarLocked();
    writeOut(toUtf8(text) + "\n");
    drawBarLocked();
}

void Console::error(const std::u16string& text) {
    std::lock_guard<std::mutex> l(m_);
    clearBarLocked();
    writeErr("vantrel: " + toUtf8(text) + "\n");
    drawBarLocked();
}

void Console::clearBarLocked() {
    if (!barShown_) return;
    writeOut("\r\x1b[2K");
    barShown_ = false;
}

void Console::drawBarLocked() {
    if (!terminal_ || quiet_ || shown_.empty()) return;
    std::u16string text;
    for (const auto& [phone, s] : shown_) {
        const ProgressView& v = s.view;
        if (!text.empty()) text += u"  |  ";
        std::u16string part = phone + u" ";
        if (shown_.size() == 1) {
            constexpr int kBar = 24;
            int filled = 0;
            if (v.total > 0) filled = static_cast<int>(kBar * std::min(v.done, v.total) / v.total);
            part += u"[" + std::u16string(static_cast<size_t>(filled), u'#') +
                    std::u16string(static_cast<size_t>(kBar - filled), u'-') + u"] ";
        }
        part += v.total > 0 ? format(u"%d/%d items", v.done, v.total) : format(u"%d items", v.done);
        if (v.packages > 0) part += format(u", %d packages", v.packages);
        part += u", " + v.phase;
        text += part;
    }
    const size_t width = static_cast<size_t>(columns_ > 1 ? columns_ - 1 : 79);
    if (text.size() > width) text.resize(width);
    writeOut("\r\x1b[2K" + toUtf8(text));
    barShown_ = true;
    lastDrawMs_ = monotonicMs();
}

void Console::progress(const std::u16string& phone, const ProgressView& view) {
    std::lock_guard<std::mutex> l(m_);
    if (quiet_) return;
    Shown& s = shown_[phone];
    const bool phaseChanged = s.view.phase != view.phase;
    s.view = view;
    const long long now = monotonicMs();
    if (terminal_) {
        if (phaseChanged || now - lastDrawMs_ >= 50) drawBarLocked();
        return;
    }
    const bool moved = view.done != s.lastPlainDone;
    if (view.phase != s.lastPlainPhase || (moved && now - s.lastPlainMs >= 1000)) {
        std::u16string text = phone + u": " + view.phase;
        if (view.total > 0)
            text += format(u", %d of %d items", view.done, view.total);
        else if (view.done > 0)
            text += format(u", %d items", view.done);
        if (view.packages > 0) text += format(u", %d packages", view.packages);
        writeOut(toUtf8(text) + "\n");
        s.lastPlainMs = now;
        s.lastPlainPhase = view.phase;
        s.lastPlainDone = view.done;
    }
}

void Console::endProgress(const std::u16string& phone) {
    std::lock_guard<std::mutex> l(m_);
    clearBarLocked();
    shown_.erase(phone);
    drawBarLocked();
}

}  // namespace vt::host
