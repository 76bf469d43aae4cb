#include "engines/syncml/server_session.h"

#include <algorithm>

#include "engines/syncml/auth.h"
#include "platform/text.h"
#include "util/byte_array_variant.h"
#include "util/logger.h"
#include "vantrel/syncml_status.h"

namespace vt::syncml {

namespace {

const LogChannel& logChannel() {
    static const LogChannel log(u"SyncMLServer");
    return log;
}

// SyncML status codes the server writes beyond those the module answers.
constexpr int kStatusOk = 200;
constexpr int kStatusBadRequest = 400;
constexpr int kStatusNotFound = 404;
constexpr int kStatusNotSupported = 406;  // optional feature not supported
constexpr int kStatusUnsupportedMediaType = 415;
constexpr int kStatusCommandFailed = 500;
constexpr int kStatusRefreshRequired = 508;
constexpr int kStatusChunkAccepted = 213;  // a piece of a large object, kept
constexpr int kStatusTooLarge = 413;       // an object over the receiver's MaxObjSize
constexpr int kStatusSizeMismatch = 424;   // a large object's pieces add up to another size
constexpr int kAlertNextMessage = 222;
constexpr int kAlertResume = 225;

std::u16string u16(std::string_view s) {
    return vt::fromUtf8(s);
}

const char16_t* ole(const std::u16string& s) {
    return s.c_str();
}

std::string lower(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

// What an item costs in a message besides its data: the markup of an Add/Replace/Delete with
// one item, its ids and its status bookkeeping, generously.
constexpr uint64_t kCommandOverhead = 400;
// What the header, the statuses and the Sync's own markup may take.
constexpr uint64_t kMessageReserve = 2048;
// The least room worth a piece of a large object; with less, the piece waits for a message of
// its own.
constexpr uint64_t kMinPiece = 1024;
// The longest client LUID taken: real ones are short; a longer one would become a file name and
// mapping keys of that size.
constexpr size_t kMaxLuidBytes = 1024;

}  // namespace

std::string serverDevInf() {
    // SyncType 1 two-way, 2 slow.
    return "<DevInf xmlns='syncml:devinf'><VerDTD>1.2</VerDTD><Man>Vantrel</Man>"
           "<Mod>vantrel serve</Mod><OEM>Vantrel</OEM><FwV>1.0</FwV><SwV>1.0</SwV><HwV>1.0</HwV>"
           "<DevID>vantrel</DevID><DevTyp>server</DevTyp><UTC/><SupportLargeObjs/>"
           "<SupportNumberOfChanges/>"
           "<DataStore><SourceRef>Notes</SourceRef><DisplayName>Notes</DisplayName>"
           "<MaxGUIDSize>64</MaxGUIDSize>"
           "<Rx-Pref><CTType>text/plain</CTType><VerCT>1.0</VerCT></Rx-Pref>"
           "<Tx-Pref><CTType>text/plain</CTType><VerCT>1.0</VerCT></Tx-Pref>"
           "<SyncCap><SyncType>1</SyncType><SyncType>2</SyncType></SyncCap>"
           "</DataStore></DevInf>";
}

bool isNotesStore(std::string_view uri) {
    std::string u = lower(uri);
    if (u.rfind("./", 0) == 0) u.erase(0, 2);
    return u == "notes";
}

ServerSession::ServerSession(SessionDevice device, std::string clientAnchor,
                             std::string serverAnchor, std::string serverUri, std::string respUri,
                             uint64_t maxMsgSize)
    : device_(std::move(device)),
      storedClientAnchor_(std::move(clientAnchor)),
      storedServerAnchor_(std::move(serverAnchor)),
      serverUri_(std::move(serverUri)),
      respUri_(std::move(respUri)),
      maxMsgSize_(maxMsgSize) {}

ServerSession::~ServerSession() {
    abort(SessionSummary::Failed, "the server ended the session");
}

bool ServerSession::attach(com_ptr<DeviceEngine> engine) {
    engine_ = std::move(engine);
    if (!engine_ || !engine_->takeStart(&start_, &cb_, &changes_)) return false;
    total_ = static_cast<long>(changes_.size());
    if (cb_) cb_->SyncStatusStarted();
    return true;
}

bool ServerSession::cancelRequested() {
    return engine_ && engine_->takeCancel();
}

void ServerSession::abort(SessionSummary::Outcome outcome, const std::string& reason) {
    if (ended()) return;
    summary_.outcome = outcome;
    summary_.reason = reason;
    phase_ = Phase::Done;
    if (cb_) {
        if (outcome == SessionSummary::Cancelled)
            cb_->SyncStatusCanceled();
        else
            cb_->SyncStatusFailed(E_FAIL);
    }
    cb_.reset();
}

void ServerSession::finish() {
    summary_.outcome = SessionSummary::Finished;
    phase_ = Phase::Done;
    if (cb_) cb_->SyncStatusFinished();
    cb_.reset();
}

void ServerSession::progress() {
    if (cb_) cb_->SyncStatusPackageSent(0, done_, std::max(total_, done_));
}

Message ServerSession::startReply(const Message& in, int syncHdrStatus,
                                  const std::optional<Meta>& chal) {
    Message reply;
    reply.header.sessionId = in.header.sessionId;
    reply.header.msgId = std::to_string(++msgId_);
    reply.header.target = in.header.source;
    reply.header.source = serverUri_;
    reply.header.respUri = respUri_;
    reply.header.meta.maxMsgSize = maxMsgSize_;
    reply.header.meta.maxObjSize = kServerMaxObjSize;
    cmdId_ = 0;
    reply.commands.push_back(headerStatus(in, nextCmdId(), syncHdrStatus, chal));
    return reply;
}

Command headerStatus(const Message& in, std::string cmdId, int code,
                     const std::optional<Meta>& chal) {
    Command st;
    st.kind = CommandKind::Status;
    st.cmdId = std::move(cmdId);
    st.msgRef = in.header.msgId;
    st.cmdRef = "0";
    st.cmd = "SyncHdr";
    st.targetRefs.push_back(in.header.target);
    st.sourceRefs.push_back(in.header.source);
    st.data = std::to_string(code);
    st.chal = chal;
    return st;
}

Command commandStatus(const Message& in, const Command& c, std::string cmdId, int code,
                      const std::string& targetRef, const std::string& sourceRef) {
    Command st;
    st.kind = CommandKind::Status;
    st.cmdId = std::move(cmdId);
    st.msgRef = in.header.msgId;
    st.cmdRef = c.cmdId;
    st.cmd = c.kind == CommandKind::Unknown ? c.name : std::string(commandName(c.kind));
    if (!targetRef.empty()) st.targetRefs.push_back(targetRef);
    if (!sourceRef.empty()) st.sourceRefs.push_back(sourceRef);
    st.data = std::to_string(code);
    return st;
}

Command* ServerSession::answer(Message& reply, const Message& in, const Command& c, int code,
                               const std::string& targetRef, const std::string& sourceRef) {
    if (c.noResp) return nullptr;
    reply.commands.push_back(commandStatus(in, c, nextCmdId(), code, targetRef, sourceRef));
    return &reply.commands.back();
}

Message ServerSession::handle(const Message& in, int syncHdrStatus,
                              const std::optional<Meta>& chal) {
    if (clientSessionId_.empty()) clientSessionId_ = in.header.sessionId;
    if (in.header.meta.maxMsgSize) clientMaxMsgSize_ = *in.header.meta.maxMsgSize;
    if (in.header.meta.maxObjSize) clientMaxObjSize_ = *in.header.meta.maxObjSize;
    Message reply = startReply(in, syncHdrStatus, chal);
    if (ended()) {
        reply.final = true;
        return reply;
    }
    if (cb_) cb_->SyncStatusPackageGet(0);

    for (const Command& c : in.commands) {
        switch (c.kind) {
            case CommandKind::Status:
                onStatus(c);
                break;
            case CommandKind::Results:
                answer(reply, in, c, kStatusOk);
                break;
            case CommandKind::Put:
                onPut(reply, in, c);
                break;
            case CommandKind::Get:
                onGet(reply, in, c);
                break;
            case CommandKind::Alert:
                onAlert(reply, in, c);
                break;
            case CommandKind::Sync:
                onSync(reply, in, c);
                break;
            case CommandKind::Map:
                onMap(reply, in, c);
                break;
            case CommandKind::Unknown:
                answer(reply, in, c, kStatusBadRequest);
                break;
            default:
                answer(reply, in, c, kStatusNotSupported);
                break;
        }
        if (ended()) break;
    }
    if (ended()) {
        reply.final = true;
        return reply;
    }

    switch (phase_) {
        case Phase::Init:
            if (!in.final) {
                addNextMessageAlert(reply);
            } else if (!alertSeen_) {
                // A session must begin with the client's Alert for the notes.
                abort(SessionSummary::Failed, "the client's first package had no Alert for Notes");
                reply.final = true;
            } else {
                phase_ = Phase::ClientSync;
                reply.final = true;
            }
            break;
        case Phase::ClientSync:
            if (!in.final) {
                addNextMessageAlert(reply);
            } else {
                phase_ = addServerSync(reply) ? Phase::Maps : Phase::ServerSync;
                reply.final = phase_ == Phase::Maps;
            }
            break;
        case Phase::ServerSync:
            phase_ = addServerSync(reply) ? Phase::Maps : Phase::ServerSync;
            reply.final = phase_ == Phase::Maps;
            break;
        case Phase::Maps:
            if (!in.final) {
                addNextMessageAlert(reply);
            } else {
                reply.final = true;
                finish();
            }
            break;
        case Phase::Done:
            reply.final = true;
            break;
    }
    progress();
    return reply;
}

void ServerSession::onStatus(const Command& c) {
    auto it = sent_.find({c.msgRef, c.cmdRef});
    if (it == sent_.end()) return;  // a status for the server's Alert, Results, Sync, ...
    int code = 0;
    try {
        code = std::stoi(c.data);
    } catch (const std::exception&) {
        code = kStatusCommandFailed;
    }
    if (!vantrel::isSuccessStatus(code)) {
        ++summary_.refusedByClient;
        logChannel().high(u16("the client refused command " + c.cmdRef + " with status " + c.data));
    }
    if (cb_) cb_->ClientCmdStatus(it->second.moduleCmd, static_cast<ULONG>(code));
    sent_.erase(it);
    ++done_;
}

void ServerSession::onAlert(Message& reply, const Message& in, const Command& c) {
    int code = 0;
    try {
        code = std::stoi(c.data);
    } catch (const std::exception&) {
        answer(reply, in, c, kStatusBadRequest);
        return;
    }
    if (code == kAlertNextMessage) {
        answer(reply, in, c, kStatusOk);
        return;
    }
    const Item* item = c.items.empty() ? nullptr : &c.items.front();
    if (!item || !isNotesStore(item->target)) {
        answer(reply, in, c, kStatusNotFound, item ? item->target : "", item ? item->source : "");
        return;
    }
    if (alertSeen_ || phase_ != Phase::Init) {
        answer(reply, in, c, kStatusBadRequest, item->target, item->source);
        return;
    }
    // A client that asks to resume an interrupted session (225) gets a new session: the server
    // keeps no half sessions. Two-way when its anchors still match (what the interrupted
    // session applied is known to the module by LUID, so nothing arrives twice), else slow.
    if (code == kAlertResume) code = vantrel::kAlertTwoWay;
    if (code != vantrel::kAlertTwoWay && code != vantrel::kAlertSlowSync) {
        answer(reply, in, c, kStatusNotSupported, item->target, item->source);
        return;
    }
    alertSeen_ = true;
    clientAlert_ = code;
    clientUri_ = item->source;
    std::string last;
    if (item->meta.anchor) {
        clientNext_ = item->meta.anchor->next;
        last = item->meta.anchor->last.value_or("");
    }
    // A slow sync when the client asks for one, when the module has not synchronised with this
    // device yet, and when the client's last anchor is not the one it ended its last finished
    // session with here (one side lost its state, or that session did not finish).
    const bool anchorsMatch = !storedClientAnchor_.empty() && last == storedClientAnchor_;
    const bool slow =
        code == vantrel::kAlertSlowSync || start_.alert == vantrel::kAlertSlowSync || !anchorsMatch;
    summary_.slow = slow;
    const int effective = slow ? vantrel::kAlertSlowSync : vantrel::kAlertTwoWay;
    LONG status = vantrel::kStatusOk;
    const std::u16string l = u16(last), n = u16(clientNext_);
    HRESULT hr = cb_ ? cb_->ClientCmdAlert(effective, 0, 0, 0, ole(l), ole(n), &status) : E_FAIL;
    if (FAILED(hr) || !vantrel::isSuccessStatus(status)) {
        answer(reply, in, c, FAILED(hr) ? kStatusCommandFailed : static_cast<int>(status),
               item->target, item->source);
        abort(SessionSummary::Failed, "the module refused the client's alert");
        return;
    }
    // The client asked for a two-way sync that has to be a slow one: 508 tells it to start over
    // with a slow sync, as the server's own Alert 201 says.
    const int answerCode =
        code == vantrel::kAlertTwoWay && slow ? kStatusRefreshRequired : kStatusOk;
    if (Command* st = answer(reply, in, c, answerCode, item->target, item->source)) {
        Item anchorEcho;
        anchorEcho.dataXml =
            "<Anchor xmlns='syncml:metinf'><Next>" + escapeText(clientNext_) + "</Next></Anchor>";
        st->items.push_back(std::move(anchorEcho));
    }
    addServerAlert(reply, effective);
}

Item& ServerSession::addAlert(Message& reply, int code) {
    Command a;
    a.kind = CommandKind::Alert;
    a.cmdId = nextCmdId();
    a.data = std::to_string(code);
    Item item;
    item.target = clientUri_;
    item.source = "Notes";
    a.items.push_back(std::move(item));
    reply.commands.push_back(std::move(a));
    return reply.commands.back().items.back();
}

void ServerSession::addServerAlert(Message& reply, int code) {
    Anchor anchor;
    // The Last anchor is the Next of the last session that finished with this client, which
    // the client compares with its own record; the module's anchors count every session.
    anchor.last = !storedServerAnchor_.empty() ? storedServerAnchor_
                  : start_.lastAnchor.empty()  ? std::string("0")
                                               : start_.lastAnchor;
    anchor.next = start_.nextAnchor;
    addAlert(reply, code).meta.anchor = std::move(anchor);
}

void ServerSession::addNextMessageAlert(Message& reply) {
    addAlert(reply, kAlertNextMessage);
}

void ServerSession::onPut(Message& reply, const Message& in, const Command& c) {
    const Item* item = c.items.empty() ? nullptr : &c.items.front();
    if (item) {
        clientDevInf_ = item->dataXml.empty() ? item->data.value_or("") : item->dataXml;
        if (clientDevInf_.find("<Mod>SyncEvolution</Mod>") != std::string::npos)
            device_.appendsLineEnd = true;
    }
    answer(reply, in, c, kStatusOk, {}, item ? item->source : "");
}

void ServerSession::onGet(Message& reply, const Message& in, const Command& c) {
    const Item* item = c.items.empty() ? nullptr : &c.items.front();
    const std::string target = item ? item->target : "";
    if (lower(target).find("devinf") == std::string::npos) {
        answer(reply, in, c, kStatusNotFound, target);
        return;
    }
    answer(reply, in, c, kStatusOk, target);
    Command r;
    r.kind = CommandKind::Results;
    r.cmdId = nextCmdId();
    r.msgRef = in.header.msgId;
    r.cmdRef = c.cmdId;
    r.meta.type = "application/vnd.syncml-devinf+xml";
    Item devinf;
    devinf.source = target;
    devinf.dataXml = serverDevInf();
    r.items.push_back(std::move(devinf));
    reply.commands.push_back(std::move(r));
}

void ServerSession::onSync(Message& reply, const Message& in, const Command& c) {
    if (phase_ == Phase::Init || !isNotesStore(c.target)) {
        answer(reply, in, c, phase_ == Phase::Init ? kStatusBadRequest : kStatusNotFound, c.target,
               c.source);
        return;
    }
    answer(reply, in, c, kStatusOk, c.target, c.source);
    // The client's count comes with the first message of its package (some clients repeat it).
    if (c.numberOfChanges && !clientCounted_) {
        clientCounted_ = true;
        total_ += static_cast<long>(*c.numberOfChanges);
    }
    for (const Command& inner : c.commands) {
        switch (inner.kind) {
            case CommandKind::Add:
            case CommandKind::Replace:
            case CommandKind::Delete:
                onItemCommand(reply, in, inner);
                break;
            default:
                answer(
                    reply, in, inner,
                    inner.kind == CommandKind::Unknown ? kStatusBadRequest : kStatusNotSupported);
                break;
        }
        if (ended()) return;
    }
}

std::string ServerSession::itemText(const std::string& data, const std::string& format,
                                    bool* ok) const {
    *ok = true;
    std::string text = data;
    if (format == "b64") {
        std::string raw;
        if (!unbase64(text, &raw)) {
            *ok = false;
            return {};
        }
        text = std::move(raw);
    }
    if (device_.appendsLineEnd && text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
        text.resize(text.size() - 2);
    return text;
}

ServerSession::Assembly ServerSession::assemble(Message& reply, const Message& in, const Command& c,
                                                const Item& item, const std::string& luid,
                                                std::string* whole, std::string* format) {
    const std::string& piece = item.data.value_or("");
    if (incoming_ && (incoming_->luid != luid || incoming_->kind != c.kind)) {
        // Another item before the last piece of a large object: that object is incomplete. Its
        // pieces were answered 213; the module never heard of it, the client sends it again.
        logChannel().high(u16("the last piece of the client's note " + incoming_->luid +
                              " never came; it was dropped"));
        ++summary_.refusedByPc;
        incoming_.reset();
    }
    if (!item.moreData && !incoming_) {
        *whole = piece;
        *format = !item.meta.format.empty() ? item.meta.format : c.meta.format;
        return Assembly::Whole;
    }
    if (!incoming_) {
        incoming_ = Incoming{c.kind,
                             luid,
                             !item.meta.format.empty() ? item.meta.format : c.meta.format,
                             {},
                             item.meta.size ? item.meta.size : c.meta.size};
    }
    const uint64_t declared = incoming_->size.value_or(0);
    if (declared > kServerMaxObjSize || incoming_->data.size() + piece.size() > kServerMaxObjSize) {
        // Never a note cut short: the whole object is refused.
        logChannel().high(u16("the client's note " + luid + " is larger than the server takes"));
        answer(reply, in, c, kStatusTooLarge, {}, luid);
        ++summary_.refusedByPc;
        incoming_.reset();
        return Assembly::Refused;
    }
    incoming_->data += piece;
    if (item.moreData) {
        answer(reply, in, c, kStatusChunkAccepted, {}, luid);
        return Assembly::Piece;
    }
    Incoming done = std::move(*incoming_);
    incoming_.reset();
    if (done.size && *done.size != done.data.size()) {
        answer(reply, in, c, kStatusSizeMismatch, {}, luid);
        ++summary_.refusedByPc;
        return Assembly::Refused;
    }
    *whole = std::move(done.data);
    *format = std::move(done.format);
    return Assembly::Whole;
}

void ServerSession::onItemCommand(Message& reply, const Message& in, const Command& c) {
    if (c.items.empty()) {
        answer(reply, in, c, kStatusBadRequest);
        return;
    }
    for (const Item& item : c.items) {
        // The client names its note in Source; a Delete or Replace may name it in Target only.
        const std::string luid = !item.source.empty() ? item.source : item.target;
        if (luid.empty() || luid.size() > kMaxLuidBytes) {
            answer(reply, in, c, kStatusBadRequest);
            continue;
        }
        if (!cb_) {
            answer(reply, in, c, kStatusCommandFailed, {}, luid);
            continue;
        }
        const std::u16string id = u16(luid);
        LONG status = vantrel::kStatusOk;
        HRESULT hr = S_OK;
        ++clientCmd_;
        if (c.kind == CommandKind::Delete) {
            hr = cb_->ClientCmdDeleteItem(0, clientCmd_, 0, ole(id), 0, 0, 0, &status);
        } else {
            std::string data, format;
            if (assemble(reply, in, c, item, luid, &data, &format) != Assembly::Whole) {
                --clientCmd_;
                continue;
            }
            bool ok = false;
            const std::string text = itemText(data, format, &ok);
            unique_variant content;
            if (!ok || !bytesVariant(text, &content)) {
                answer(reply, in, c, kStatusUnsupportedMediaType, {}, luid);
                ++summary_.refusedByPc;
                continue;
            }
            hr = c.kind == CommandKind::Add
                     ? cb_->ClientCmdAddItem(0, clientCmd_, 0, ole(id), 0, 0, 0, *content.get(),
                                             &status)
                     : cb_->ClientCmdReplaceItem(0, clientCmd_, 0, ole(id), 0, 0, 0, *content.get(),
                                                 &status);
        }
        int code = static_cast<int>(status);
        if (FAILED(hr) && vantrel::isSuccessStatus(code)) code = kStatusCommandFailed;
        if (code == vantrel::kStatusConflictResolvedWithServerData) ++summary_.conflicts;
        if (!vantrel::isSuccessStatus(code)) {
            ++summary_.refusedByPc;
        } else if (c.kind == CommandKind::Add) {
            ++summary_.clientAdds;
        } else if (c.kind == CommandKind::Replace) {
            ++summary_.clientReplaces;
        } else {
            ++summary_.clientDeletes;
        }
        ++done_;
        answer(reply, in, c, code, {}, luid);
    }
}

void ServerSession::onMap(Message& reply, const Message& in, const Command& c) {
    for (const MapItem& m : c.mapItems) {
        if (m.source.empty() || m.source.size() > kMaxLuidBytes) {
            answer(reply, in, c, kStatusBadRequest, c.target, c.source);
            return;
        }
    }
    for (const MapItem& m : c.mapItems) {
        const std::u16string luid = u16(m.source), local = u16(m.target);
        if (cb_) cb_->ClientMapItemAdded(0, ole(luid), ole(local));
    }
    answer(reply, in, c, kStatusOk, c.target, c.source);
}

bool ServerSession::addServerSync(Message& reply) {
    Command sync;
    sync.kind = CommandKind::Sync;
    sync.cmdId = nextCmdId();
    sync.target = clientUri_;
    sync.source = "Notes";
    if (!syncStarted_) {
        syncStarted_ = true;
        sync.numberOfChanges = changes_.size();
    }
    // The client's limit, else the server's; either way never less than a small message.
    uint64_t limit = clientMaxMsgSize_ ? clientMaxMsgSize_ : maxMsgSize_;
    limit = std::max<uint64_t>(limit, 4096);
    uint64_t used = kMessageReserve + 120 * reply.commands.size();
    for (const Command& c : reply.commands)
        for (const Item& i : c.items) used += i.dataXml.size() + i.data.value_or("").size();
    bool any = false;
    const bool largeObjects = clientDevInf_.find("SupportLargeObjs") != std::string::npos;
    while (nextChange_ < changes_.size()) {
        const PcChange& ch = changes_[nextChange_];
        if (sentOfChange_ == 0) {
            if (engine_ && engine_->withdrawn(ch.cmdId)) {
                ++nextChange_;
                continue;
            }
            int refusal = 0;
            if (ch.kind != PcChange::Delete && !isXmlText(ch.bytes)) {
                // Bytes XML can't carry as text: the module keeps the note, offers it again.
                logChannel().high(
                    u16("a PC note is not plain UTF-8 text; it was not sent "
                        "(command " +
                        std::to_string(ch.cmdId) + ")"));
                refusal = kStatusUnsupportedMediaType;
            } else if (ch.kind != PcChange::Delete && clientMaxObjSize_ &&
                       ch.bytes.size() > clientMaxObjSize_) {
                // Larger than the client takes: not cut short, not sent; offered again.
                logChannel().high(
                    u16("a PC note is larger than the client's MaxObjSize; it was "
                        "not sent (command " +
                        std::to_string(ch.cmdId) + ")"));
                refusal = kStatusTooLarge;
            }
            if (refusal) {
                ++nextChange_;
                if (cb_) cb_->ClientCmdStatus(ch.cmdId, static_cast<ULONG>(refusal));
                continue;
            }
        }
        const std::string_view rest = ch.kind == PcChange::Delete
                                          ? std::string_view()
                                          : std::string_view(ch.bytes).substr(sentOfChange_);
        const uint64_t fixed = kCommandOverhead + escapeText(ch.id).size();
        const uint64_t cost = fixed + cdataSize(rest);
        std::optional<std::string_view> piece;
        if (used + cost > limit) {
            // A note larger than the room left goes in pieces (MoreData) to a client that takes
            // large objects, each piece filling a message; other changes wait for the next one.
            const uint64_t room = used + fixed < limit ? limit - used - fixed : 0;
            if (largeObjects && ch.kind != PcChange::Delete && room >= kMinPiece) {
                size_t n = std::min<size_t>(rest.size(), room);
                for (uint64_t over; n > 0 && (over = cdataSize(rest.substr(0, n))) > room;) {
                    const size_t d = std::max<size_t>(1, static_cast<size_t>((over - room) / 2));
                    n = n > d ? n - d : 0;
                }
                // Never a UTF-8 character cut in two: each piece is text of its own.
                while (n > 0 && n < rest.size() &&
                       (static_cast<unsigned char>(rest[n]) & 0xC0) == 0x80)
                    --n;
                if (n > 0 && n < rest.size()) piece = rest.substr(0, n);
            }
            if (!piece && any) break;
        }
        if (piece) {
            Command cmd;
            cmd.kind = ch.kind == PcChange::Add ? CommandKind::Add : CommandKind::Replace;
            cmd.cmdId = nextCmdId();
            cmd.meta.type = "text/plain";
            Item item;
            if (ch.kind == PcChange::Add)
                item.source = ch.id;
            else
                item.target = ch.id;
            if (sentOfChange_ == 0) item.meta.size = ch.bytes.size();
            item.data = std::string(*piece);
            item.moreData = true;
            cmd.items.push_back(std::move(item));
            sync.commands.push_back(std::move(cmd));
            sentOfChange_ += piece->size();
            any = true;
            break;  // the message is full
        }
        ++nextChange_;
        const bool lastPiece = sentOfChange_ > 0;
        sentOfChange_ = 0;
        used += cost;
        any = true;
        Command cmd;
        cmd.kind = ch.kind == PcChange::Add       ? CommandKind::Add
                   : ch.kind == PcChange::Replace ? CommandKind::Replace
                                                  : CommandKind::Delete;
        cmd.cmdId = nextCmdId();
        if (ch.kind != PcChange::Delete) cmd.meta.type = "text/plain";
        Item item;
        if (ch.kind == PcChange::Add)
            item.source = ch.id;
        else
            item.target = ch.id;
        if (ch.kind != PcChange::Delete) item.data = lastPiece ? std::string(rest) : ch.bytes;
        cmd.items.push_back(std::move(item));
        sent_[{reply.header.msgId, cmd.cmdId}] = Sent{ch.cmdId, ch.kind};
        if (ch.kind == PcChange::Add)
            ++summary_.serverAdds;
        else if (ch.kind == PcChange::Replace)
            ++summary_.serverReplaces;
        else
            ++summary_.serverDeletes;
        sync.commands.push_back(std::move(cmd));
    }
    reply.commands.push_back(std::move(sync));
    return nextChange_ >= changes_.size();
}

}  // namespace vt::syncml
