// ServerSession: the server's side of one SyncML session with one device's client, for the
// datastore "Notes" (text/plain). It turns the client's messages into the module's callbacks
// (through the callback StartSync gave the device's DeviceEngine) and writes the replies:
// statuses for every command, device information, the server's Alert with the module's anchors,
// the module's queued changes as the server's Sync (split to the client's MaxMsgSize), and the
// end of the session (SyncStatusFinished, ...Failed or ...Canceled, exactly once).
//
// Packages: the client's initialisation (Alert, devinf Put/Get) is answered with the server's
// Alert; the client's Sync package (over one or more messages, each non-final one answered with
// Alert 222) with the server's Sync package (over as many messages as MaxMsgSize needs); the
// client's map package with the session's last reply, after which the session has finished.
//
// Authentication happens before a message reaches the session (SyncServer); the session only
// writes the SyncHdr status it is told.
//
// Not thread-safe: SyncServer serialises the calls for a session under the session's own lock.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engines/syncml/device_engine.h"
#include "engines/syncml/message.h"
#include "platform/com_raii.h"

namespace vt::syncml {

// What a session did, for the server's line per session and for `vantrel status`.
struct SessionSummary {
    enum Outcome { Running, Finished, Failed, Cancelled };
    Outcome outcome = Running;
    bool slow = false;
    int clientAdds = 0, clientReplaces = 0, clientDeletes = 0;  // client -> PC, applied
    int serverAdds = 0, serverReplaces = 0, serverDeletes = 0;  // PC -> client, sent
    int refusedByPc = 0;      // client changes the module answered with an error
    int refusedByClient = 0;  // PC changes the client answered with an error
    int conflicts = 0;        // client changes answered 419 (the PC's version wins)
    std::string reason;       // why it failed, for the log
};

// The device a session belongs to, as the server knows it.
struct SessionDevice {
    std::string id;     // the client's device id (SyncHdr Source)
    std::string alias;  // the host's name for it
    // The client appends a line end to each text item it sends and turns line ends into CRLF
    // (known of SyncEvolution): the appended line end is taken off what reaches the module.
    bool appendsLineEnd = false;
};

class ServerSession {
  public:
    // clientAnchor and serverAnchor: the client's and the server's Next anchors of the device's
    // last finished session with this server (empty when none). serverUri: where the client reaches
    // the server; respUri: the address of this session's further messages. maxMsgSize: the server's
    // own limit.
    ServerSession(SessionDevice device, std::string clientAnchor, std::string serverAnchor,
                  std::string serverUri, std::string respUri, uint64_t maxMsgSize);
    ~ServerSession();
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    // Takes the module's session from the engine (after the host's Synchronize). False when the
    // module did not start one.
    bool attach(com_ptr<DeviceEngine> engine);

    // Answers one client message. syncHdrStatus is the SyncHdr's status (212 on the message
    // that authenticated the session, 200 after), chal the challenge (NextNonce) to give with
    // it, if any. After the reply that ends the session, ended() is true.
    Message handle(const Message& in, int syncHdrStatus, const std::optional<Meta>& chal);

    // Ends a running session from outside: Failed (timeout, transport failure) or Cancelled.
    // The module's final callback is made here. Does nothing once the session has ended.
    void abort(SessionSummary::Outcome outcome, const std::string& reason);

    // Whether the module asked to cancel the session.
    bool cancelRequested();

    bool ended() const { return summary_.outcome != SessionSummary::Running; }
    const SessionSummary& summary() const { return summary_; }
    const SessionDevice& device() const { return device_; }
    const std::string& clientSessionId() const { return clientSessionId_; }
    // The client's Next anchor of this session: kept once the session has finished.
    const std::string& clientNextAnchor() const { return clientNext_; }
    // The server's Next anchor of this session (the module's).
    const std::string& serverNextAnchor() const { return start_.nextAnchor; }
    // The client's device information document (its Put), when it sent one.
    const std::string& clientDevInf() const { return clientDevInf_; }

  private:
    enum class Phase { Init, ClientSync, ServerSync, Maps, Done };
    struct Sent {
        ULONG moduleCmd = 0;
        PcChange::Kind kind = PcChange::Add;
    };

    Message startReply(const Message& in, int syncHdrStatus, const std::optional<Meta>& chal);
    std::string nextCmdId() { return std::to_string(++cmdId_); }
    // Adds the status of c to reply (unless c asked for none); null when it asked for none.
    Command* answer(Message& reply, const Message& in, const Command& c, int code,
                    const std::string& targetRef = {}, const std::string& sourceRef = {});
    void onStatus(const Command& c);
    void onAlert(Message& reply, const Message& in, const Command& c);
    void onSync(Message& reply, const Message& in, const Command& c);
    void onItemCommand(Message& reply, const Message& in, const Command& c);
    void onMap(Message& reply, const Message& in, const Command& c);
    void onPut(Message& reply, const Message& in, const Command& c);
    void onGet(Message& reply, const Message& in, const Command& c);
    // Adds an Alert of code for the client's datastore; its item, for more.
    Item& addAlert(Message& reply, int code);
    void addServerAlert(Message& reply, int code);
    void addNextMessageAlert(Message& reply);
    // Adds as much of the server's Sync as fits; true when all of it has been sent.
    bool addServerSync(Message& reply);
    void finish();
    void progress();
    // The note an item's data (all its pieces) carries: b64 decoded, the line end the client
    // appends taken off. False in *ok when the data can't be decoded.
    std::string itemText(const std::string& data, const std::string& format, bool* ok) const;
    // Where the item c's data stands when it is a piece of a large object: Piece (answered
    // 213, nothing for the module yet), Refused (answered), or Whole with the whole data.
    enum class Assembly { Whole, Piece, Refused };
    Assembly assemble(Message& reply, const Message& in, const Command& c, const Item& item,
                      const std::string& luid, std::string* whole, std::string* format);

    SessionDevice device_;
    std::string storedClientAnchor_;
    std::string storedServerAnchor_;
    std::string serverUri_, respUri_;
    uint64_t maxMsgSize_;
    uint64_t clientMaxMsgSize_ = 0;

    com_ptr<DeviceEngine> engine_;
    com_ptr<vantrel::ISyncEngineCallback> cb_;
    ModuleStart start_;
    std::vector<PcChange> changes_;
    size_t nextChange_ = 0;
    size_t sentOfChange_ = 0;   // bytes of changes_[nextChange_] sent as pieces so far
    bool syncStarted_ = false;  // the server's Sync has begun (NumberOfChanges given)

    Phase phase_ = Phase::Init;
    std::string clientSessionId_;
    std::string clientUri_ = "./notes";  // the client's name of its datastore (Alert Source)
    std::string clientNext_;
    std::string clientDevInf_;
    int clientAlert_ = 0;
    bool alertSeen_ = false;
    uint64_t msgId_ = 0;
    uint64_t cmdId_ = 0;
    ULONG clientCmd_ = 0;  // numbers the client's commands for the module
    // The server's commands awaiting the client's status: (MsgID, CmdID) -> module command.
    std::map<std::pair<std::string, std::string>, Sent> sent_;
    long total_ = 0, done_ = 0;      // progress: items exchanged of those announced
    bool clientCounted_ = false;     // the client's NumberOfChanges is in total_
    uint64_t clientMaxObjSize_ = 0;  // 0: not said
    // A large object the client is sending in pieces.
    struct Incoming {
        CommandKind kind = CommandKind::Add;
        std::string luid;
        std::string format;
        std::string data;
        std::optional<uint64_t> size;  // the whole size, as the first piece declared it
    };
    std::optional<Incoming> incoming_;
    SessionSummary summary_;
};

// The Status answering the header of message in, numbered cmdId.
Command headerStatus(const Message& in, std::string cmdId, int code,
                     const std::optional<Meta>& chal);
// The Status answering command c of message in, numbered cmdId.
Command commandStatus(const Message& in, const Command& c, std::string cmdId, int code,
                      const std::string& targetRef = {}, const std::string& sourceRef = {});

// The server's device information (DevInf, syncml:devinf) as Results and Put carry it.
std::string serverDevInf();

// The largest note the server takes from a client (its MaxObjSize), in bytes as they travel.
constexpr uint64_t kServerMaxObjSize = 16u << 20;

// Whether an Alert or Sync target names the datastore "Notes" ("Notes", "./Notes", any case).
bool isNotesStore(std::string_view uri);

}  // namespace vt::syncml
