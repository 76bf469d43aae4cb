#include "engines/virtual_phone/phone_session.h"

#include <algorithm>
#include <cstring>

#include "platform/com_raii.h"
#include "platform/format.h"
#include "util/logger.h"

namespace vt::engines {

namespace {

const LogChannel& logChannel() {
    static const LogChannel log(u"VirtualPhone");
    return log;
}

// VT_ARRAY|VT_UI1 with lower bound 0, also for no bytes.
bool bytesVariant(const std::string& bytes, unique_variant* out) {
    unique_safearray psa(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
    if (!psa) return false;
    if (!bytes.empty()) {
        safearray_data_lock<uint8_t> lock(psa.get());
        if (!lock.ok()) return false;
        std::memcpy(lock.data(), bytes.data(), bytes.size());
    }
    VARIANT* v = out->put();
    v->vt = VT_ARRAY | VT_UI1;
    v->parray = psa.release();
    return true;
}

const char16_t* kindName(PcCommand::Kind k) {
    switch (k) {
        case PcCommand::Add:
            return u"add";
        case PcCommand::Replace:
            return u"replace";
        case PcCommand::Delete:
            return u"delete";
    }
    return u"?";
}

}  // namespace

PhoneSession::PhoneSession(VirtualPhone& phone, vantrel::ISyncEngineCallback* callback,
                           VirtualPhone::SessionArgs args)
    : phone_(phone), store_(phone.store_), cb_(callback), args_(std::move(args)) {}

void PhoneSession::note(HRESULT hr) {
    if (FAILED(hr)) ++stats_.failedCallbacks;
}

void PhoneSession::fault(const std::u16string& message) {
    logChannel().high(message);
    if (stats_.error.empty()) stats_.error = message;
}

bool PhoneSession::step() {
    const VirtualPhoneOptions& o = args_.options;
    if (o.delayMs > 0) phone_.pause(o.delayMs);
    if (phone_.cancelRequested() || stats_.callbacks == o.cancelAfter) {
        endCancelled();
        return false;
    }
    if (stats_.callbacks == o.failAfter) {
        endFailed(o.failCode);
        return false;
    }
    ++stats_.callbacks;
    phone_.publish(stats_);
    return true;
}

void PhoneSession::endCancelled() {
    ended_ = true;
    phone_.beginClosing();
    ++stats_.callbacks;
    logChannel().trace(u"session cancelled");
    note(cb_->SyncStatusCanceled());
    phone_.dropCommands(args_.lastCmd);
    stats_.outcome = SessionOutcome::Cancelled;
    phone_.publish(stats_);
}

void PhoneSession::endFailed(LONG code) {
    ended_ = true;
    phone_.beginClosing();
    ++stats_.callbacks;
    logChannel().trace(format(u"session failed 0x%X", code));
    stats_.failCode = code;
    note(cb_->SyncStatusFailed(code));
    phone_.dropCommands(args_.lastCmd);
    stats_.outcome = SessionOutcome::Failed;
    phone_.publish(stats_);
}

void PhoneSession::abandon(const std::u16string& why) {
    fault(why);
    if (!ended_) {
        ended_ = true;
        phone_.beginClosing();
        ++stats_.callbacks;
        stats_.failCode = E_UNEXPECTED;
        try {
            note(cb_->SyncStatusFailed(E_UNEXPECTED));
        } catch (...) {
            // The module broke the rule that nothing is thrown across the interface; the
            // session is over either way.
        }
    }
    phone_.dropCommands(args_.lastCmd);
    stats_.outcome = SessionOutcome::Failed;
    phone_.publish(stats_);
}

void PhoneSession::run() {
    stats_.outcome = SessionOutcome::Running;
    if (!step()) return;
    note(cb_->SyncStatusStarted());
    if (!prepare()) {
        endFailed(E_FAIL);
        return;
    }
    if (!sendAlert() || !sendChanges() || !applyCommands()) return;
    if (!step()) return;
    note(cb_->SyncStatusPackageSent(0, total_, total_));
    if (!step()) return;
    finish();
}

// Reads the state and the notes, and gives every note the phone doesn't know its LUID: a name
// that is a LUID never handed out is taken as it is, any other name is renamed to a fresh LUID.
bool PhoneSession::prepare() {
    std::u16string error;
    if (!store_.loadState(&state_, &error)) {
        fault(error);
        return false;
    }
    std::vector<NoteFile> files = store_.scan(&error);
    if (!error.empty()) fault(error);

    std::vector<NoteFile> unknown;
    for (auto& f : files) {
        auto luid = PhoneStore::parseLuid(f.name);
        if (luid && state_.notes.count(*luid))
            present_.emplace(*luid, std::move(f));
        else
            unknown.push_back(std::move(f));
    }
    // Adopt first, so that a rename never takes a name that is adopted later.
    std::vector<NoteFile> rename;
    for (auto& f : unknown) {
        auto luid = PhoneStore::parseLuid(f.name);
        if (luid && *luid >= state_.nextLuid) {
            state_.notes[*luid] = std::nullopt;
            present_.emplace(*luid, std::move(f));
        } else {
            rename.push_back(std::move(f));
        }
    }
    for (const auto& entry : state_.notes) {
        state_.nextLuid = std::max(state_.nextLuid, entry.first + 1);
        const std::u16string name = PhoneStore::luidText(entry.first);
        if (!present_.count(entry.first) && store_.exists(name)) {
            unreadable_.insert(entry.first);
            fault(format(u"cannot read the note '%s'; it is left as it was", name));
        }
    }
    std::sort(rename.begin(), rename.end(),
              [](const NoteFile& a, const NoteFile& b) { return a.name < b.name; });
    for (auto& f : rename) {
        Luid luid = freshLuid();
        std::u16string name = PhoneStore::luidText(luid);
        if (!store_.renameNote(f.name, name, &error)) {
            fault(error);  // left for the next session
            continue;
        }
        logChannel().trace(format(u"new note '%s' is LUID %s", f.name, name));
        f.name = name;
        state_.notes[luid] = std::nullopt;
        present_.emplace(luid, std::move(f));
    }
    return true;
}

Luid PhoneSession::freshLuid() {
    Luid luid = state_.nextLuid;
    while (state_.notes.count(luid) || store_.exists(PhoneStore::luidText(luid))) ++luid;
    state_.nextLuid = luid + 1;
    return luid;
}

bool PhoneSession::sendAlert() {
    slow_ = !state_.anchor || args_.pcAlert == vantrel::kAlertSlowSync;
    const LONG alert = slow_ ? vantrel::kAlertSlowSync : vantrel::kAlertTwoWay;
    const std::u16string last = state_.anchor.value_or(u"0");
    if (!step()) return false;
    LONG status = 200;
    ++phoneCmd_;
    HRESULT hr =
        cb_->ClientCmdAlert(alert, 0, 0, 0, toOleStr(last), toOleStr(args_.pcNextAnchor), &status);
    note(hr);
    stats_.alert = alert;
    if (FAILED(hr) || status < 200 || status > 299) {
        fault(format(u"the PC refused the alert: 0x%X, status %d", hr, status));
        endFailed(FAILED(hr) ? hr : E_FAIL);
        return false;
    }
    return true;
}

bool PhoneSession::sendChanges() {
    std::vector<Change> changes;
    for (auto it = state_.notes.begin(); it != state_.notes.end();) {
        const Luid luid = it->first;
        const bool present = present_.count(luid) != 0;
        if (unreadable_.count(luid)) {
            ++it;  // neither changed nor deleted as far as the phone can tell
            continue;
        }
        if (!present && (slow_ || !it->second)) {
            // Gone before the PC ever had it, or a slow sync, which carries no deletes.
            it = state_.notes.erase(it);
            continue;
        }
        if (slow_ || !it->second)
            changes.push_back({PcCommand::Add, luid});
        else if (!present)
            changes.push_back({PcCommand::Delete, luid});
        else if (present_.at(luid).revision != *it->second)
            changes.push_back({PcCommand::Replace, luid});
        ++it;
    }
    total_ = static_cast<int>(changes.size() + phone_.countCommands(args_.lastCmd));

    int sent = 0;
    for (const Change& c : changes) {
        const std::u16string luid = PhoneStore::luidText(c.luid);
        unique_variant content;
        if (c.kind != PcCommand::Delete && !bytesVariant(present_.at(c.luid).bytes, &content)) {
            fault(u"cannot make the content of note " + luid);
            continue;
        }
        if (!step()) return false;
        LONG status = 200;
        HRESULT hr;
        ++phoneCmd_;
        if (c.kind == PcCommand::Delete) {
            hr = cb_->ClientCmdDeleteItem(0, phoneCmd_, 0, toOleStr(luid), 0, 0, 0, &status);
            ++stats_.sentDeletes;
        } else if (c.kind == PcCommand::Add) {
            hr = cb_->ClientCmdAddItem(0, phoneCmd_, 0, toOleStr(luid), 0, 0, 0, *content.get(),
                                       &status);
            ++stats_.sentAdds;
        } else {
            hr = cb_->ClientCmdReplaceItem(0, phoneCmd_, 0, toOleStr(luid), 0, 0, 0, *content.get(),
                                           &status);
            ++stats_.sentReplaces;
        }
        note(hr);
        ++sent;
        logChannel().trace(
            format(u"sent %s of %s: 0x%X, status %d", kindName(c.kind), luid, hr, status));

        const bool conflict = status == 419;
        const bool accepted = conflict || (c.kind == PcCommand::Delete && status == 404) ||
                              (!FAILED(hr) && (status == 200 || status == 201));
        if (conflict) ++stats_.conflicts;
        if (!accepted) {
            // Kept for the next session: a refused add stays new, a refused replace or delete
            // keeps the old revision. After a slow sync the note goes again as an add.
            ++stats_.refused;
            if (slow_) state_.notes[c.luid] = std::nullopt;
            continue;
        }
        if (c.kind == PcCommand::Delete) {
            state_.notes.erase(c.luid);
            if (conflict) deletedWon_.insert(c.luid);
        } else {
            state_.notes[c.luid] = present_.at(c.luid).revision;
        }
    }
    phone_.publish(stats_);

    if (!step()) return false;
    note(cb_->SyncStatusPackageSent(0, sent, total_));
    if (!step()) return false;
    note(cb_->SyncStatusPackageGet(0));
    return true;
}

bool PhoneSession::sendStatus(ULONG cmdId, ULONG status) {
    if (!step()) return false;
    note(cb_->ClientCmdStatus(cmdId, status));
    return true;
}

bool PhoneSession::applyCommands() {
    PcCommand c;
    while (phone_.takeCommand(args_.lastCmd, &c)) {
        ++commandIndex_;
        logChannel().trace(format(u"PC command %u: %s %s", c.cmdId, kindName(c.kind), c.luid));
        bool go;
        if (commandIndex_ == args_.options.refuseStatus) {
            ++stats_.refusedByPhone;
            go = sendStatus(c.cmdId, args_.options.refuseCode);
        } else if (c.kind == PcCommand::Add) {
            go = applyAdd(c);
        } else if (c.kind == PcCommand::Replace) {
            go = applyReplace(c);
        } else {
            go = applyDelete(c);
        }
        phone_.publish(stats_);
        if (!go) return false;
    }
    return true;
}

bool PhoneSession::applyAdd(const PcCommand& c) {
    const Luid luid = freshLuid();
    const std::u16string name = PhoneStore::luidText(luid);
    NoteRevision rev;
    std::u16string error;
    if (!store_.writeNote(name, c.data, &rev, &error)) {
        fault(error);
        ++stats_.refusedByPhone;
        return sendStatus(c.cmdId, 510);
    }
    state_.notes[luid] = rev;
    ++stats_.appliedAdds;
    const bool sendMap = ++addIndex_ != args_.options.dropMap;
    auto map = [&] {
        if (!sendMap) return true;
        if (!step()) return false;
        note(cb_->ClientMapItemAdded(0, toOleStr(name), toOleStr(c.luid)));
        return true;
    };
    if (args_.options.statusFirst) return sendStatus(c.cmdId, 201) && map();
    return map() && sendStatus(c.cmdId, 201);
}

bool PhoneSession::applyReplace(const PcCommand& c) {
    const auto luid = PhoneStore::parseLuid(c.luid);
    // A note the phone deleted while the PC won it comes back.
    const bool known =
        luid && ((state_.notes.count(*luid) && store_.exists(c.luid)) || deletedWon_.count(*luid));
    if (!known) {
        ++stats_.notFound;
        return sendStatus(c.cmdId, 404);
    }
    NoteRevision rev;
    std::u16string error;
    if (!store_.writeNote(c.luid, c.data, &rev, &error)) {
        fault(error);
        ++stats_.refusedByPhone;
        return sendStatus(c.cmdId, 510);
    }
    state_.notes[*luid] = rev;
    deletedWon_.erase(*luid);
    ++stats_.appliedReplaces;
    return sendStatus(c.cmdId, 200);
}

bool PhoneSession::applyDelete(const PcCommand& c) {
    const auto luid = PhoneStore::parseLuid(c.luid);
    if (!luid || (!state_.notes.count(*luid) && !deletedWon_.count(*luid))) {
        ++stats_.notFound;
        return sendStatus(c.cmdId, 404);
    }
    std::u16string error;
    if (!store_.removeNote(c.luid, &error)) {
        fault(error);
        ++stats_.refusedByPhone;
        return sendStatus(c.cmdId, 510);
    }
    state_.notes.erase(*luid);
    deletedWon_.erase(*luid);
    ++stats_.appliedDeletes;
    return sendStatus(c.cmdId, 200);
}

void PhoneSession::finish() {
    ended_ = true;
    phone_.beginClosing();
    note(cb_->SyncStatusFinished());
    state_.anchor = args_.pcNextAnchor;
    std::u16string error;
    stats_.stateSaved = store_.saveState(state_, &error);
    if (!stats_.stateSaved) fault(u"the phone state was not saved: " + error);
    stats_.outcome = SessionOutcome::Finished;
    phone_.publish(stats_);
}

}  // namespace vt::engines
