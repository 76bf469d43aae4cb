#include "engines/virtual_phone/virtual_phone.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <new>
#include <system_error>

#include "engines/virtual_phone/phone_session.h"
#include "platform/com_raii.h"
#include "platform/format.h"
#include "platform/text.h"
#include "util/byte_array_variant.h"
#include "util/logger.h"

namespace vt::engines {

namespace {

const LogChannel& logChannel() {
    static const LogChannel log(u"VirtualPhone");
    return log;
}

}  // namespace

HRESULT VirtualPhone::create(const std::u16string& dir, const VirtualPhoneOptions& options,
                             VirtualPhone** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    VirtualPhone* phone = nullptr;
    try {
        phone = new VirtualPhone(dir, options);
        std::u16string error;
        if (!phone->store_.open(&error)) {
            logChannel().critic(u"create: " + error);
            phone->Release();
            return E_FAIL;
        }
    } catch (const std::bad_alloc&) {
        if (phone) phone->Release();
        return E_OUTOFMEMORY;
    }
    *out = phone;
    return S_OK;
}

VirtualPhone::VirtualPhone(const std::u16string& dir, const VirtualPhoneOptions& options)
    : store_(dir), options_(options) {}

VirtualPhone::~VirtualPhone() {
    // The session thread holds a reference, so it has ended (or is ending, on this very thread
    // when its own Release was the last).
    std::thread t;
    {
        std::lock_guard<std::mutex> l(m_);
        t = std::move(session_);
    }
    if (t.joinable()) {
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else
            t.join();
    }
}

VirtualPhoneOptions VirtualPhone::options() const {
    std::lock_guard<std::mutex> l(m_);
    return options_;
}

void VirtualPhone::setOptions(const VirtualPhoneOptions& options) {
    std::lock_guard<std::mutex> l(m_);
    options_ = options;
}

bool VirtualPhone::sessionRunning() const {
    std::lock_guard<std::mutex> l(m_);
    return running_;
}

bool VirtualPhone::waitForSession() {
    std::unique_lock<std::mutex> l(m_);
    if (running_ && std::this_thread::get_id() == sessionThread_) return false;
    cv_.wait(l, [this] { return !running_; });
    // The thread has at most its last Release left to run.
    if (session_.joinable()) session_.join();
    return true;
}

SessionStats VirtualPhone::lastSession() const {
    std::lock_guard<std::mutex> l(m_);
    return stats_;
}

ULONG VirtualPhone::sessionCount() const {
    std::lock_guard<std::mutex> l(m_);
    return sessions_;
}

std::vector<PcCommand> VirtualPhone::queuedCommands() const {
    std::lock_guard<std::mutex> l(m_);
    std::vector<PcCommand> out;
    for (const auto& [id, c] : queue_) out.push_back(c);
    return out;
}

std::vector<NoteFile> VirtualPhone::listNotes() const {
    std::vector<NoteFile> notes = store_.scan(nullptr);
    std::sort(notes.begin(), notes.end(), [](const NoteFile& a, const NoteFile& b) {
        auto la = PhoneStore::parseLuid(a.name), lb = PhoneStore::parseLuid(b.name);
        if (la && lb) return *la < *lb;
        if (la || lb) return la.has_value();
        return a.name < b.name;
    });
    return notes;
}

HRESULT VirtualPhone::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, vantrel::IID_ISyncEngine)) {
        *ppv = static_cast<vantrel::ISyncEngine*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG VirtualPhone::AddRef() {
    return ++refs_;
}

ULONG VirtualPhone::Release() {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
}

HRESULT VirtualPhone::queue(PcCommand::Kind kind, BSTR luid, const VARIANT* data, ULONG* pCmdId) {
    if (!pCmdId) return E_POINTER;
    try {
        PcCommand c;
        c.kind = kind;
        c.luid = fromBstr(luid);
        if (data) {
            HRESULT hr = variantBytes(*data, &c.data) ? S_OK : E_INVALIDARG;
            if (FAILED(hr)) return hr;
        }
        std::lock_guard<std::mutex> l(m_);
        c.cmdId = nextCmd_++;
        *pCmdId = c.cmdId;
        queue_.emplace(c.cmdId, std::move(c));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT VirtualPhone::AddItem(BSTR, BSTR localId, BSTR, BSTR, BSTR, VARIANT data, ULONG* pCmdId) {
    return queue(PcCommand::Add, localId, &data, pCmdId);
}

HRESULT VirtualPhone::DeleteItem(BSTR, BSTR luid, LONG, LONG, BSTR, ULONG* pCmdId) {
    return queue(PcCommand::Delete, luid, nullptr, pCmdId);
}

HRESULT VirtualPhone::ReplaceItem(BSTR, BSTR luid, BSTR, BSTR, BSTR, VARIANT data, ULONG* pCmdId) {
    return queue(PcCommand::Replace, luid, &data, pCmdId);
}

HRESULT VirtualPhone::WithdrawItem(BSTR, ULONG cmdId) {
    std::lock_guard<std::mutex> l(m_);
    return queue_.erase(cmdId) ? S_OK : S_FALSE;
}

HRESULT VirtualPhone::StartSync(LONG alertCode, BSTR, BSTR, BSTR lastAnchor, BSTR nextAnchor, LONG,
                                vantrel::ISyncEngineCallback* pCallback, ULONG* pSession) {
    if (!pCallback) return E_POINTER;
    try {
        SessionArgs args;
        args.pcAlert = alertCode;
        args.pcLastAnchor = fromBstr(lastAnchor);
        args.pcNextAnchor = fromBstr(nextAnchor);

        std::unique_lock<std::mutex> l(m_);
        if (running_) {
            if (!closing_ || std::this_thread::get_id() == sessionThread_) return E_UNEXPECTED;
            cv_.wait(l, [this] { return !running_; });
        }
        // An ended thread has at most its last Release left, which can't free this phone
        // while the caller holds a reference.
        if (session_.joinable()) session_.join();

        args.lastCmd = nextCmd_ - 1;
        args.options = options_;
        running_ = true;
        closing_ = false;
        cancel_ = false;
        stats_ = SessionStats{};
        stats_.outcome = SessionOutcome::Running;
        pCallback->AddRef();
        AddRef();
        try {
            session_ = std::thread(&VirtualPhone::runSession, this, pCallback, std::move(args));
        } catch (const std::system_error&) {
            running_ = false;
            stats_.outcome = SessionOutcome::None;
            --refs_;  // the caller's reference keeps the count above 0
            l.unlock();
            pCallback->Release();
            return E_OUTOFMEMORY;
        }
        sessionThread_ = session_.get_id();
        ++sessions_;
        if (pSession) *pSession = sessions_;
        logChannel().trace(format(u"StartSync(%d, l:%s, n:%s) session %u", alertCode,
                                  fromBstr(lastAnchor), fromBstr(nextAnchor), sessions_));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void VirtualPhone::runSession(vantrel::ISyncEngineCallback* callback, SessionArgs args) {
    {
        PhoneSession session(*this, callback, std::move(args));
        try {
            session.run();
        } catch (const std::exception& e) {
            session.abandon(u"the session stopped on an exception: " + fromUtf8(e.what()));
        } catch (...) {
            session.abandon(u"the session stopped on an exception");
        }
    }
    callback->Release();
    {
        std::lock_guard<std::mutex> l(m_);
        running_ = false;
        closing_ = false;
        cancel_ = false;
    }
    cv_.notify_all();
    Release();  // may delete this phone; nothing of it is touched afterwards
}

HRESULT VirtualPhone::Cancel(UINT) {
    std::lock_guard<std::mutex> l(m_);
    if (!running_ || closing_) return S_FALSE;
    cancel_ = true;
    cv_.notify_all();
    return S_OK;
}

HRESULT VirtualPhone::GetState() {
    std::lock_guard<std::mutex> l(m_);
    return options_.stateResult;
}

bool VirtualPhone::takeCommand(ULONG lastCmd, PcCommand* out) {
    std::lock_guard<std::mutex> l(m_);
    auto it = queue_.begin();
    if (it == queue_.end() || it->first > lastCmd) return false;
    *out = std::move(it->second);
    queue_.erase(it);
    return true;
}

void VirtualPhone::dropCommands(ULONG lastCmd) {
    std::lock_guard<std::mutex> l(m_);
    queue_.erase(queue_.begin(), queue_.upper_bound(lastCmd));
}

size_t VirtualPhone::countCommands(ULONG lastCmd) const {
    std::lock_guard<std::mutex> l(m_);
    return static_cast<size_t>(std::distance(queue_.begin(), queue_.upper_bound(lastCmd)));
}

bool VirtualPhone::cancelRequested() const {
    std::lock_guard<std::mutex> l(m_);
    return cancel_;
}

void VirtualPhone::pause(int ms) {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return cancel_; });
}

void VirtualPhone::publish(const SessionStats& stats) {
    std::lock_guard<std::mutex> l(m_);
    stats_ = stats;
}

void VirtualPhone::beginClosing() {
    std::lock_guard<std::mutex> l(m_);
    closing_ = true;
}

}  // namespace vt::engines
