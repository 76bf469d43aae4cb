#include "engines/virtual_phone/phone_session.h"

#include <algorithm>
#include <cstring>

#include "platform/com_raii.h"
#include "platform/format.h"
#include "platform/time.h"
#include "util/byte_array_variant.h"
#include "util/logger.h"
#include "vantrel/syncml_status.h"

namespace vt::engines {

namespace {

const LogChannel& logChannel() {
    static const LogChannel log(u"VirtualPhone");
    return log;
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
    : phone_(phone),
      store_(phone.store_),
      cb_(callback),
      args_(std::move(args)),
      journal_(phone.store_) {}

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
    journal_.flush(nullptr);
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
    journal_.flush(nullptr);
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

// Reads the state and the journal, lists the notes, reads those that may have changed, and gives
// every note the phone doesn't know its LUID: a name that is a LUID never handed out is taken
// as it is (or recognised from the journal), any other name is renamed to a fresh LUID.
bool PhoneSession::prepare() {
    std::u16string error;
    if (!store_.loadState(&state_, &error)) {
        fault(error);
        return false;
    }
    slow_ = !state_.anchor || args_.pcAlert == vantrel::kAlertSlowSync;
    checkStart_ = plat::currentTime();
    // LUIDs below it were handed out before the state was saved: the journal is older.
    const Luid handedOut = state_.nextLuid;
    std::map<Luid, JournalEntry> journal = journal_.read();
    std::erase_if(journal, [&](const auto& j) { return j.first < handedOut; });
    if (!journal.empty()) state_.nextLuid = std::max(state_.nextLuid, journal.rbegin()->first + 1);

    // The listing in LUID order (other names last), joined with the state in one pass.
    std::vector<std::pair<Luid, plat::FindEntry>> listed;
    {
        std::vector<plat::FindEntry> entries = store_.list();
        listed.reserve(entries.size());
        for (plat::FindEntry& e : entries)
            listed.emplace_back(PhoneStore::parseLuid(e.name).value_or(0), std::move(e));
    }
    std::sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) {
        return (a.first - 1) < (b.first - 1);  // 0 (not a LUID) wraps to the end
    });
    present_.reserve(listed.size());
    std::vector<std::u16string> rename;
    auto known = state_.notes.begin();
    for (auto& [luid, e] : listed) {
        while (luid != 0 && known != state_.notes.end() && known->first < luid) ++known;
        if (luid != 0 && known != state_.notes.end() && known->first == luid) {
            if (!slow_ && known->second && unchangedByListing(*known->second, e)) {
                present_.emplace(luid, NoteFile{std::move(e.name), {}, *known->second});
                continue;
            }
            NoteFile n;
            if (store_.readNote(e.name, &n)) present_.emplace(luid, std::move(n));
            continue;  // an unreadable one is found below
        }
        if (luid < handedOut) {  // not a LUID, or one handed out and forgotten since
            rename.push_back(std::move(e.name));
            continue;
        }
        NoteFile n;
        if (!store_.readNote(e.name, &n)) {
            fault(format(u"cannot read the note '%s'", store_.notePath(e.name)));
            continue;
        }
        takeUnknownNumber(luid, std::move(n), journal.find(luid), journal);
    }
    // The PC knows the LUIDs of answered adds also when their note has gone since.
    for (const auto& [luid, j] : journal)
        if (j.answered && !state_.notes.count(luid))
            state_.notes[luid] = NoteRevision{j.size, 0, j.hash};

    if (!state_.notes.empty())
        state_.nextLuid = std::max(state_.nextLuid, state_.notes.rbegin()->first + 1);
    // Every note present_ holds so far is in the state: equal counts mean none is missing.
    if (present_.size() < state_.notes.size()) {
        for (const auto& entry : state_.notes) {
            if (present_.count(entry.first)) continue;
            const std::u16string name = PhoneStore::luidText(entry.first);
            if (store_.exists(name)) {
                unreadable_.insert(entry.first);
                fault(format(u"cannot read the note '%s'; it is left as it was", name));
            }
        }
    }
    std::sort(rename.begin(), rename.end());
    for (const std::u16string& from : rename) {
        NoteFile n;
        if (!store_.readNote(from, &n)) {
            fault(format(u"cannot read the note '%s'", store_.notePath(from)));
            continue;
        }
        Luid luid = freshLuid();
        std::u16string name = PhoneStore::luidText(luid);
        if (!store_.renameNote(from, name, &error)) {
            fault(error);  // left for the next session
            continue;
        }
        touched_ = true;
        logChannel().trace(format(u"new note '%s' is LUID %s", from, name));
        n.name = name;
        state_.notes[luid] = std::nullopt;
        present_.emplace(luid, std::move(n));
    }
    return true;
}

bool PhoneSession::unchangedByListing(const NoteRevision& rev, const plat::FindEntry& e) const {
    // Whole seconds, a coarse clock behind the file system's, and file systems that keep times
    // in steps of 2 s: a time at least 2 s before the last look is safe.
    constexpr int64_t kTick = 2;
    return rev.size == e.size && rev.lastWriteTime == e.lastWriteTime && state_.checked &&
           e.lastWriteTime <= *state_.checked - kTick;
}

void PhoneSession::takeUnknownNumber(Luid luid, NoteFile note,
                                     std::map<Luid, JournalEntry>::const_iterator journaled,
                                     const std::map<Luid, JournalEntry>& journal) {
    if (journaled == journal.end()) {
        state_.notes[luid] = std::nullopt;  // a number never handed out: the phone's new note
    } else {
        const JournalEntry& j = journaled->second;
        const bool asStored = note.revision.size == j.size && note.revision.hash == j.hash;
        if (j.answered) {
            // The PC has the note under this LUID: unchanged, or changed since on the phone.
            state_.notes[luid] = asStored ? note.revision : NoteRevision{j.size, 0, j.hash};
        } else {
            state_.notes[luid] = std::nullopt;
            if (asStored) awaited_.insert(luid);
        }
    }
    present_.emplace(luid, std::move(note));
}

Luid PhoneSession::freshLuid() {
    Luid luid = state_.nextLuid;
    while (state_.notes.count(luid) || store_.exists(PhoneStore::luidText(luid))) ++luid;
    state_.nextLuid = luid + 1;
    return luid;
}

bool PhoneSession::sendAlert() {
    const LONG alert = slow_ ? vantrel::kAlertSlowSync : vantrel::kAlertTwoWay;
    const std::u16string last = state_.anchor.value_or(u"0");
    if (!step()) return false;
    LONG status = vantrel::kStatusOk;
    ++phoneCmd_;
    HRESULT hr =
        cb_->ClientCmdAlert(alert, 0, 0, 0, toOleStr(last), toOleStr(args_.pcNextAnchor), &status);
    note(hr);
    stats_.alert = alert;
    if (FAILED(hr) || !vantrel::isSuccessStatus(status)) {
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
        if (unreadable_.count(luid) || awaited_.count(luid)) {
            // Neither changed nor deleted as far as the phone can tell, or the PC's own note.
            ++it;
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
    // Announced before the first item, so that progress shows how much is left.
    stats_.total = total_;
    phone_.publish(stats_);

    int sent = 0;
    for (const Change& c : changes) {
        const std::u16string luid = PhoneStore::luidText(c.luid);
        unique_variant content;
        if (c.kind != PcCommand::Delete && !bytesVariant(present_.at(c.luid).bytes, &content)) {
            fault(u"cannot make the content of note " + luid);
            continue;
        }
        if (!step()) return false;
        LONG status = vantrel::kStatusOk;
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

        const bool conflict = status == vantrel::kStatusConflictResolvedWithServerData;
        const bool accepted =
            conflict || (c.kind == PcCommand::Delete && status == vantrel::kStatusNotFound) ||
            (!FAILED(hr) && (status == vantrel::kStatusOk || status == vantrel::kStatusItemAdded));
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
    // The PC sends an add again when it never had the answer to it: the note stored for it
    // then takes it, rather than a second copy.
    Luid luid = 0;
    for (auto it = awaited_.begin(); it != awaited_.end(); ++it) {
        if (present_.at(*it).bytes == c.data) {
            luid = *it;
            awaited_.erase(it);
            logChannel().trace(format(u"PC add %u is the note stored as LUID %d", c.cmdId,
                                      static_cast<int64_t>(luid)));
            break;
        }
    }
    if (luid == 0) luid = freshLuid();
    const std::u16string name = PhoneStore::luidText(luid);
    NoteRevision rev;
    std::u16string error;
    // On record before the note appears under its name, so a note the next session finds is
    // known for the PC's.
    if (!journal_.add(luid, c.data, &error) ||
        !store_.writeNote(name, c.data, &rev, &error, PhoneStore::Flush::Later)) {
        fault(error);
        ++stats_.refusedByPhone;
        return sendStatus(c.cmdId, vantrel::kStatusDataStoreFailure);
    }
    written_.push_back(name);
    touched_ = true;
    state_.notes[luid] = rev;
    ++stats_.appliedAdds;
    const bool sendMap = ++addIndex_ != args_.options.dropMap;
    auto map = [&] {
        if (!sendMap) return true;
        if (!step()) return false;
        note(cb_->ClientMapItemAdded(0, toOleStr(name), toOleStr(c.luid)));
        return true;
    };
    const bool go = args_.options.statusFirst
                        ? sendStatus(c.cmdId, vantrel::kStatusItemAdded) && map()
                        : map() && sendStatus(c.cmdId, vantrel::kStatusItemAdded);
    if (go) journal_.done(luid);
    return go;
}

bool PhoneSession::applyReplace(const PcCommand& c) {
    const auto luid = PhoneStore::parseLuid(c.luid);
    // A note the phone deleted while the PC won it comes back.
    const bool known =
        luid && ((state_.notes.count(*luid) && store_.exists(c.luid)) || deletedWon_.count(*luid));
    if (!known) {
        ++stats_.notFound;
        return sendStatus(c.cmdId, vantrel::kStatusNotFound);
    }
    NoteRevision rev;
    std::u16string error;
    if (!store_.writeNote(c.luid, c.data, &rev, &error, PhoneStore::Flush::Later)) {
        fault(error);
        ++stats_.refusedByPhone;
        return sendStatus(c.cmdId, vantrel::kStatusDataStoreFailure);
    }
    written_.push_back(c.luid);
    touched_ = true;
    state_.notes[*luid] = rev;
    awaited_.erase(*luid);
    deletedWon_.erase(*luid);
    ++stats_.appliedReplaces;
    return sendStatus(c.cmdId, vantrel::kStatusOk);
}

bool PhoneSession::applyDelete(const PcCommand& c) {
    const auto luid = PhoneStore::parseLuid(c.luid);
    if (!luid || (!state_.notes.count(*luid) && !deletedWon_.count(*luid))) {
        ++stats_.notFound;
        return sendStatus(c.cmdId, vantrel::kStatusNotFound);
    }
    std::u16string error;
    if (!store_.removeNote(c.luid, &error)) {
        fault(error);
        ++stats_.refusedByPhone;
        return sendStatus(c.cmdId, vantrel::kStatusDataStoreFailure);
    }
    touched_ = true;
    state_.notes.erase(*luid);
    awaited_.erase(*luid);
    deletedWon_.erase(*luid);
    ++stats_.appliedDeletes;
    return sendStatus(c.cmdId, vantrel::kStatusOk);
}

void PhoneSession::finish() {
    ended_ = true;
    phone_.beginClosing();
    note(cb_->SyncStatusFinished());
    state_.anchor = args_.pcNextAnchor;
    state_.checked = checkStart_;
    std::u16string error;
    journal_.flush(nullptr);
    // The notes first, in one flush, then the state that describes them.
    if (touched_ && !store_.flushNotes(written_, &error)) {
        fault(u"the notes written were not flushed, so the phone state was not saved: " + error);
    } else {
        stats_.stateSaved = store_.saveState(state_, &error);
        if (!stats_.stateSaved)
            fault(u"the phone state was not saved: " + error);
        else if (!journal_.clear(&error))
            fault(error);
    }
    stats_.outcome = SessionOutcome::Finished;
    phone_.publish(stats_);
}

}  // namespace vt::engines
