// SyncServer driven in-process: client messages are built with the message model, handed to
// handle() as the HTTP layer would, and the replies read back. A fake host stands in for the
// module: it queues the PC's changes on each device's DeviceEngine, starts its session with a
// recording callback (FakeSink) and keeps what the server tells it.
#include "engines/syncml/sync_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engines/syncml/auth.h"
#include "engines/syncml/device_engine.h"
#include "engines/syncml/device_state.h"
#include "engines/syncml/message.h"
#include "platform/com_raii.h"
#include "platform/path.h"
#include "platform/text.h"
#include "tests/support/fakes.h"
#include "tests/support/temp_dir.h"
#include "util/byte_array_variant.h"
#include "vantrel/syncml_status.h"

namespace vt::syncml {
namespace {

using vt::test::FakeSink;

constexpr const char* kXmlType = "application/vnd.syncml+xml";
constexpr const char* kServerUri = "http://127.0.0.1:9876/sync";
constexpr const char* kUser = "anna";
constexpr const char* kPassword = "s3cret words";

// A change the fake module queues for a device's next session.
struct PcNote {
    PcChange::Kind kind = PcChange::Add;
    std::string id;  // local id for an add, the client's LUID otherwise
    std::string bytes;
};

// The host: devices from a table, one DeviceEngine per device for the server's life, a fresh
// FakeSink for every module session. Thread-safe, as the server needs.
class FakeHost : public ServerHost {
  public:
    struct Device {
        DeviceAccount account;
        // What the next StartSync gets.
        LONG alert = vantrel::kAlertSlowSync;
        std::string last, next;
        std::vector<PcNote> queued;  // queued on the engine at the next start, then cleared
        bool refuseStart = false;
        std::function<void(FakeSink&)> configure;  // runs on each new sink before StartSync
        // What happened.
        com_ptr<DeviceEngine> engine;
        std::vector<ULONG> cmdIds;  // the module's command ids of the last queued changes
        std::vector<std::unique_ptr<FakeSink>> sinks;
        int starts = 0;
    };

    ~FakeHost() override {
        // The engines first: a session recorded but never taken would still hold its sink.
        for (auto& [id, d] : devices_) d.engine.reset();
    }

    void addDevice(const std::string& id, const std::u16string& folder,
                   const Secret& secret = makeSecret(kUser, kPassword)) {
        std::lock_guard<std::mutex> l(m_);
        Device& d = devices_[id];
        d.account.id = id;
        d.account.alias = "phone " + id;
        d.account.secret = secret;
        d.account.folder = folder;
    }

    // Changes the device's set-up or reads what happened, under the host's lock.
    void with(const std::string& id, const std::function<void(Device&)>& f) {
        std::lock_guard<std::mutex> l(m_);
        f(devices_.at(id));
    }
    FakeSink& sink(const std::string& id, size_t n = 0) {
        std::lock_guard<std::mutex> l(m_);
        return *devices_.at(id).sinks.at(n);
    }
    size_t sinkCount(const std::string& id) {
        std::lock_guard<std::mutex> l(m_);
        return devices_.at(id).sinks.size();
    }
    int starts(const std::string& id) {
        std::lock_guard<std::mutex> l(m_);
        return devices_.at(id).starts;
    }
    int totalStarts() {
        std::lock_guard<std::mutex> l(m_);
        int n = 0;
        for (auto& [id, d] : devices_) n += d.starts;
        return n;
    }
    std::vector<ULONG> cmdIds(const std::string& id) {
        std::lock_guard<std::mutex> l(m_);
        return devices_.at(id).cmdIds;
    }
    com_ptr<DeviceEngine> engine(const std::string& id) {
        std::lock_guard<std::mutex> l(m_);
        return devices_.at(id).engine;
    }
    std::vector<std::pair<std::string, SessionSummary>> summaries() {
        std::lock_guard<std::mutex> l(m_);
        return summaries_;
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> l(m_);
        return lines_;
    }
    // Waits until the server has told of n ended sessions.
    bool waitForSummaries(size_t n, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                            [&] { return summaries_.size() >= n; });
    }

    bool findDevice(const std::string& deviceId, DeviceAccount* out) override {
        std::lock_guard<std::mutex> l(m_);
        auto it = devices_.find(deviceId);
        if (it == devices_.end()) return false;
        *out = it->second.account;
        return true;
    }

    com_ptr<DeviceEngine> startModuleSession(const DeviceAccount& device,
                                             std::string* error) override {
        std::lock_guard<std::mutex> l(m_);
        Device& d = devices_.at(device.id);
        ++d.starts;
        if (d.refuseStart) {
            *error = "the module is busy";
            return {};
        }
        if (!d.engine) d.engine = DeviceEngine::create();
        unique_bstr store(u"Notes"), type(u"text/plain");
        d.cmdIds.clear();
        for (const PcNote& n : d.queued) {
            unique_bstr id(fromUtf8(n.id));
            ULONG cmd = 0;
            HRESULT hr = E_FAIL;
            if (n.kind == PcChange::Delete) {
                hr = d.engine->DeleteItem(store.get(), id.get(), 0, 0, type.get(), &cmd);
            } else {
                unique_variant data;
                EXPECT_TRUE(bytesVariant(n.bytes, &data));
                hr = n.kind == PcChange::Add
                         ? d.engine->AddItem(store.get(), id.get(), type.get(), nullptr, nullptr,
                                             *data.get(), &cmd)
                         : d.engine->ReplaceItem(store.get(), id.get(), type.get(), nullptr,
                                                 nullptr, *data.get(), &cmd);
            }
            EXPECT_EQ(hr, S_OK);
            d.cmdIds.push_back(cmd);
        }
        d.queued.clear();
        auto sink = std::make_unique<FakeSink>();
        if (d.configure) d.configure(*sink);
        unique_bstr last(fromUtf8(d.last)), next(fromUtf8(d.next));
        ULONG session = 0;
        const HRESULT hr = d.engine->StartSync(d.alert, store.get(), store.get(), last.get(),
                                               next.get(), 0, sink.get(), &session);
        d.sinks.push_back(std::move(sink));
        if (FAILED(hr)) {
            *error = "StartSync failed";
            return {};
        }
        return d.engine;
    }

    void sessionEnded(const DeviceAccount& device, const SessionSummary& summary) override {
        {
            std::lock_guard<std::mutex> l(m_);
            summaries_.emplace_back(device.id, summary);
        }
        cv_.notify_all();
    }

    void report(const std::string& line) override {
        {
            std::lock_guard<std::mutex> l(m_);
            lines_.push_back(line);
        }
        if (onReport) onReport(line);
    }

    // Runs on the server's thread at every report line (set before the server runs).
    std::function<void(const std::string&)> onReport;

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::map<std::string, Device> devices_;
    std::vector<std::pair<std::string, SessionSummary>> summaries_;
    std::vector<std::string> lines_;
};

// ---- Building client messages

Command status(const std::string& cmdId, const std::string& msgRef, const std::string& cmdRef,
               const std::string& cmd, int code) {
    Command c;
    c.kind = CommandKind::Status;
    c.cmdId = cmdId;
    c.msgRef = msgRef;
    c.cmdRef = cmdRef;
    c.cmd = cmd;
    c.data = std::to_string(code);
    return c;
}

Command putDevInf(const std::string& cmdId, bool largeObjects = false) {
    Command c;
    c.kind = CommandKind::Put;
    c.cmdId = cmdId;
    c.meta.type = "application/vnd.syncml-devinf+xml";
    Item i;
    i.source = "./devinf12";
    i.dataXml =
        "<DevInf xmlns='syncml:devinf'><VerDTD>1.2</VerDTD><Man>Test</Man><Mod>Client</Mod>"
        "<DevID>client</DevID><DevTyp>workstation</DevTyp>" +
        std::string(largeObjects ? "<SupportLargeObjs/>" : "") +
        "<DataStore><SourceRef>./notes"
        "</SourceRef><Rx-Pref><CTType>text/plain</CTType><VerCT>1.0</VerCT></Rx-Pref>"
        "<SyncCap><SyncType>1</SyncType><SyncType>2</SyncType></SyncCap></DataStore></DevInf>";
    c.items.push_back(std::move(i));
    return c;
}

Command getDevInf(const std::string& cmdId) {
    Command c;
    c.kind = CommandKind::Get;
    c.cmdId = cmdId;
    c.meta.type = "application/vnd.syncml-devinf+xml";
    Item i;
    i.target = "./devinf12";
    c.items.push_back(std::move(i));
    return c;
}

Command alert(const std::string& cmdId, int code, std::optional<std::string> last,
              const std::string& next) {
    Command c;
    c.kind = CommandKind::Alert;
    c.cmdId = cmdId;
    c.data = std::to_string(code);
    Item i;
    i.target = "Notes";
    i.source = "./notes";
    i.meta.anchor = Anchor{std::move(last), next};
    c.items.push_back(std::move(i));
    return c;
}

Command nextMessageAlert(const std::string& cmdId) {
    Command c;
    c.kind = CommandKind::Alert;
    c.cmdId = cmdId;
    c.data = "222";
    Item i;
    i.target = "Notes";
    i.source = "./notes";
    c.items.push_back(std::move(i));
    return c;
}

Command itemCommand(CommandKind kind, const std::string& cmdId, const std::string& luid,
                    std::optional<std::string> data = std::nullopt) {
    Command c;
    c.kind = kind;
    c.cmdId = cmdId;
    if (kind != CommandKind::Delete) c.meta.type = "text/plain";
    Item i;
    i.source = luid;
    i.data = std::move(data);
    c.items.push_back(std::move(i));
    return c;
}

Command clientSync(const std::string& cmdId, std::vector<Command> inner) {
    Command c;
    c.kind = CommandKind::Sync;
    c.cmdId = cmdId;
    c.target = "Notes";
    c.source = "./notes";
    c.numberOfChanges = inner.size();
    c.commands = std::move(inner);
    return c;
}

Command mapOf(const std::string& cmdId, const std::vector<MapItem>& items) {
    Command c;
    c.kind = CommandKind::Map;
    c.cmdId = cmdId;
    c.target = "Notes";
    c.source = "./notes";
    c.mapItems = items;
    return c;
}

// ---- Reading replies

const Command* findStatus(const Message& m, const std::string& cmd, const std::string& cmdRef) {
    for (const Command& c : m.commands)
        if (c.kind == CommandKind::Status && c.cmd == cmd && c.cmdRef == cmdRef) return &c;
    return nullptr;
}

std::vector<const Command*> allOf(const Message& m, CommandKind kind) {
    std::vector<const Command*> out;
    for (const Command& c : m.commands)
        if (c.kind == kind) out.push_back(&c);
    return out;
}

const Command* firstOf(const Message& m, CommandKind kind) {
    auto all = allOf(m, kind);
    return all.empty() ? nullptr : all.front();
}

int syncHdrCode(const Message& m) {
    const Command* s = findStatus(m, "SyncHdr", "0");
    return s ? std::stoi(s->data) : -1;
}

// One client of one device: numbers its messages, keeps the session's address and the nonce
// the server handed out last, and reads every reply.
class Client {
  public:
    Client(SyncServer& server, std::string deviceId, std::string sessionId = "1")
        : server_(server), deviceId_(std::move(deviceId)), sessionId_(std::move(sessionId)) {}

    std::string nonce;  // the raw nonce the next md5 credential uses
    std::string peer;   // the address its requests come from
    std::string token;  // the session's address, once a reply named it
    uint64_t maxMsgSize = 100000;
    uint64_t maxObjSize = 0;    // 0: not said
    bool largeObjects = false;  // its DevInf says SupportLargeObjs
    SyncServer::Reply raw;      // the last reply as it came

    // A new session: message numbers start again, the address is forgotten.
    void newSession(const std::string& sessionId) {
        sessionId_ = sessionId;
        msgId_ = 0;
        token.clear();
    }

    Message message() {
        Message m;
        m.header.sessionId = sessionId_;
        m.header.msgId = std::to_string(++msgId_);
        m.header.target = kServerUri;
        m.header.source = deviceId_;
        m.header.meta.maxMsgSize = maxMsgSize;
        if (maxObjSize) m.header.meta.maxObjSize = maxObjSize;
        return m;
    }

    // A first message with an md5 credential for the current nonce.
    Message firstMessage(const std::string& password = kPassword) {
        Message m = message();
        m.header.sourceName = kUser;
        m.header.cred = md5Cred(password, nonce);
        return m;
    }

    static Cred md5Cred(const std::string& password, const std::string& nonce) {
        Cred c;
        c.meta.type = "syncml:auth-md5";
        c.meta.format = "b64";
        c.data = base64(md5(makeSecret(kUser, password).hash + ":" + nonce));
        return c;
    }

    // Sends a message (to the session's address once there is one) and reads the reply.
    Message send(const Message& m) { return sendBytes(writeXml(m)); }

    Message sendBytes(const std::string& body) {
        raw = server_.handle("/sync", token, kXmlType, body, peer);
        Message reply;
        std::string error;
        EXPECT_EQ(raw.httpStatus, 200) << raw.body;
        EXPECT_TRUE(parseXml(raw.body, &reply, &error)) << error << "\n" << raw.body;
        const size_t at = reply.header.respUri.find("?session=");
        if (at != std::string::npos) token = reply.header.respUri.substr(at + 9);
        if (const Command* s = findStatus(reply, "SyncHdr", "0"); s && s->chal) {
            EXPECT_TRUE(unbase64(s->chal->nextNonce, &nonce));
        }
        return reply;
    }

    // Statuses for every command of a server reply that wants one: the header 200, alerts
    // and syncs 200, the items of a Sync through code (by default 201 for adds, 200 else).
    void acknowledge(const Message& reply, Message* out,
                     const std::function<int(const Command&)>& code = {}) {
        int id = static_cast<int>(out->commands.size());
        out->commands.push_back(
            status(std::to_string(++id), reply.header.msgId, "0", "SyncHdr", 200));
        for (const Command& c : reply.commands) {
            if (c.kind == CommandKind::Alert || c.kind == CommandKind::Sync)
                out->commands.push_back(status(std::to_string(++id), reply.header.msgId, c.cmdId,
                                               std::string(commandName(c.kind)), 200));
            if (c.kind != CommandKind::Sync) continue;
            for (const Command& inner : c.commands) {
                const int k = code ? code(inner) : inner.kind == CommandKind::Add ? 201 : 200;
                out->commands.push_back(status(std::to_string(++id), reply.header.msgId,
                                               inner.cmdId, std::string(commandName(inner.kind)),
                                               k));
            }
        }
    }

    // The rest of a session after its first reply: the client's changes, then as many messages
    // as the server's Sync takes, then the maps of the server's adds (LUID "m-" + local id).
    // The reply that ended it.
    Message finish(const Message& firstReply, std::vector<Command> changes = {}) {
        Message m = message();
        acknowledge(firstReply, &m);
        m.commands.push_back(clientSync(std::to_string(m.commands.size() + 1), std::move(changes)));
        m.final = true;
        Message reply = send(m);
        std::vector<MapItem> maps;
        for (int guard = 0; guard < 1000; ++guard) {
            for (const Command* s : allOf(reply, CommandKind::Sync))
                for (const Command& inner : s->commands)
                    if (inner.kind == CommandKind::Add && !inner.items.empty())
                        maps.push_back(
                            MapItem{inner.items[0].source, "m-" + inner.items[0].source});
            Message next = message();
            acknowledge(reply, &next);
            if (reply.final) {
                if (!maps.empty()) next.commands.push_back(mapOf("99", maps));
                next.final = true;
                return send(next);
            }
            next.commands.push_back(nextMessageAlert("98"));
            reply = send(next);
        }
        ADD_FAILURE() << "the server's Sync never ended";
        return reply;
    }

  private:
    SyncServer& server_;
    std::string deviceId_;
    std::string sessionId_;
    int msgId_ = 0;
};

// A client's first message: its device information, a Get of the server's, and its Alert.
Message initMessage(Client& client, int alertCode, std::optional<std::string> last,
                    const std::string& next) {
    Message m = client.firstMessage();
    m.commands.push_back(putDevInf("1", client.largeObjects));
    m.commands.push_back(getDevInf("2"));
    m.commands.push_back(alert("3", alertCode, std::move(last), next));
    m.final = true;
    return m;
}

int count(FakeSink& sink, FakeSink::Kind kind) {
    return static_cast<int>(sink.calls(kind).size());
}

std::string noteOf(size_t size, char fill) {
    std::string s;
    for (size_t i = 0; s.size() < size; ++i) s += (i % 40 == 39) ? '\n' : fill;
    return s;
}

class SyncServerTest : public ::testing::Test {
  protected:
    SyncServerTest() { addDevice("dev-1"); }

    void addDevice(const std::string& id) { host_.addDevice(id, tmp_ / fromUtf8(id)); }
    std::u16string folder(const std::string& id) { return tmp_ / fromUtf8(id); }

    // A server whose reaper runs (it starts with start()), on a free port of the loopback.
    void startServer(int idleTimeoutMs) {
        ServerOptions o;
        o.address = "127.0.0.1";
        o.port = 0;
        o.idleTimeoutMs = idleTimeoutMs;
        server_ = std::make_unique<SyncServer>(host_, o);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        EXPECT_NE(server_->port(), 0);
    }

    SyncServer& server() {
        if (!server_) server_ = std::make_unique<SyncServer>(host_, ServerOptions{});
        return *server_;
    }

    // Begins a session for a device and checks that it was accepted.
    Message begin(Client& client, int alertCode = 201, std::optional<std::string> last = {},
                  const std::string& next = "C1") {
        Message reply = client.send(initMessage(client, alertCode, std::move(last), next));
        EXPECT_EQ(syncHdrCode(reply), 212) << client.raw.body;
        EXPECT_FALSE(client.token.empty());
        return reply;
    }

    vt::test::TempDir tmp_;
    FakeHost host_;  // after tmp_, before the server: the server goes first
    std::unique_ptr<SyncServer> server_;
};

// ---- A whole session

TEST_F(SyncServerTest, WholeSessionCarriesChangesBothWaysAndKeepsTheClientsAnchor) {
    host_.with("dev-1", [](FakeHost::Device& d) {
        d.last = "pc-last-7";
        d.next = "pc-next-8";
        d.queued = {{PcChange::Add, "pc-1", "from the PC\r\nline two\r\n"},
                    {PcChange::Replace, "c7", "edited on the PC"},
                    {PcChange::Delete, "c8", ""}};
    });
    Client client(server(), "dev-1");

    // Initialisation.
    const Message r1 = client.send(initMessage(client, 201, std::nullopt, "C1"));
    const Command* hdr = findStatus(r1, "SyncHdr", "0");
    ASSERT_NE(hdr, nullptr);
    EXPECT_EQ(hdr->data, "212");
    ASSERT_TRUE(hdr->chal.has_value());
    EXPECT_EQ(hdr->chal->type, "syncml:auth-md5");
    EXPECT_EQ(hdr->chal->format, "b64");
    const DeviceState afterAuth = loadDeviceState(folder("dev-1"));
    EXPECT_FALSE(afterAuth.nonce.empty());
    EXPECT_EQ(hdr->chal->nextNonce, base64(afterAuth.nonce));
    ASSERT_NE(findStatus(r1, "Put", "1"), nullptr);
    EXPECT_EQ(findStatus(r1, "Put", "1")->data, "200");
    ASSERT_NE(findStatus(r1, "Get", "2"), nullptr);
    EXPECT_EQ(findStatus(r1, "Get", "2")->data, "200");
    const Command* results = firstOf(r1, CommandKind::Results);
    ASSERT_NE(results, nullptr);
    EXPECT_EQ(results->cmdRef, "2");
    ASSERT_EQ(results->items.size(), 1u);
    EXPECT_NE(results->items[0].dataXml.find("<DevInf"), std::string::npos);
    ASSERT_NE(findStatus(r1, "Alert", "3"), nullptr);
    EXPECT_EQ(findStatus(r1, "Alert", "3")->data, "200");
    const Command* serverAlert = firstOf(r1, CommandKind::Alert);
    ASSERT_NE(serverAlert, nullptr);
    EXPECT_EQ(serverAlert->data, "201");
    ASSERT_EQ(serverAlert->items.size(), 1u);
    EXPECT_EQ(serverAlert->items[0].target, "./notes");
    ASSERT_TRUE(serverAlert->items[0].meta.anchor.has_value());
    EXPECT_EQ(serverAlert->items[0].meta.anchor->last, "pc-last-7");
    EXPECT_EQ(serverAlert->items[0].meta.anchor->next, "pc-next-8");
    EXPECT_NE(r1.header.respUri.find("?session="), std::string::npos) << r1.header.respUri;
    EXPECT_TRUE(r1.final);
    EXPECT_EQ(host_.starts("dev-1"), 1);
    FakeSink& sink = host_.sink("dev-1");
    ASSERT_EQ(count(sink, FakeSink::Alert), 1);
    EXPECT_EQ(sink.calls(FakeSink::Alert)[0].code, 201);
    EXPECT_EQ(sink.calls(FakeSink::Alert)[0].text2, u"C1");
    EXPECT_EQ(server().sessionCount(), 1u);

    // The client's changes; the server's answer carries the PC's.
    Message m2 = client.message();
    client.acknowledge(r1, &m2);
    m2.commands.push_back(clientSync(
        "10", {itemCommand(CommandKind::Add, "11", "c1", "first line\r\nsecond line\r\n"),
               itemCommand(CommandKind::Replace, "12", "c2", "changed\r\n"),
               itemCommand(CommandKind::Delete, "13", "c3")}));
    m2.final = true;
    const Message r2 = client.send(m2);
    ASSERT_EQ(count(sink, FakeSink::Add), 1);
    EXPECT_EQ(sink.calls(FakeSink::Add)[0].text, u"c1");
    EXPECT_EQ(sink.calls(FakeSink::Add)[0].data, "first line\r\nsecond line\r\n");
    EXPECT_TRUE(sink.calls(FakeSink::Add)[0].byteArray);
    ASSERT_EQ(count(sink, FakeSink::Replace), 1);
    EXPECT_EQ(sink.calls(FakeSink::Replace)[0].text, u"c2");
    EXPECT_EQ(sink.calls(FakeSink::Replace)[0].data, "changed\r\n");
    ASSERT_EQ(count(sink, FakeSink::Delete), 1);
    EXPECT_EQ(sink.calls(FakeSink::Delete)[0].text, u"c3");
    ASSERT_NE(findStatus(r2, "Sync", "10"), nullptr);
    EXPECT_EQ(findStatus(r2, "Sync", "10")->data, "200");
    ASSERT_NE(findStatus(r2, "Add", "11"), nullptr);
    EXPECT_EQ(findStatus(r2, "Add", "11")->data, "201");
    EXPECT_EQ(findStatus(r2, "Add", "11")->sourceRefs, std::vector<std::string>{"c1"});
    ASSERT_NE(findStatus(r2, "Replace", "12"), nullptr);
    EXPECT_EQ(findStatus(r2, "Replace", "12")->data, "200");
    ASSERT_NE(findStatus(r2, "Delete", "13"), nullptr);
    EXPECT_EQ(findStatus(r2, "Delete", "13")->data, "200");
    const Command* serverSync = firstOf(r2, CommandKind::Sync);
    ASSERT_NE(serverSync, nullptr);
    EXPECT_EQ(serverSync->target, "./notes");
    EXPECT_EQ(serverSync->numberOfChanges, 3u);
    ASSERT_EQ(serverSync->commands.size(), 3u);
    const Command& add = serverSync->commands[0];
    EXPECT_EQ(add.kind, CommandKind::Add);
    ASSERT_EQ(add.items.size(), 1u);
    EXPECT_EQ(add.items[0].source, "pc-1");
    EXPECT_EQ(add.items[0].data, "from the PC\r\nline two\r\n");
    const Command& replace = serverSync->commands[1];
    EXPECT_EQ(replace.kind, CommandKind::Replace);
    ASSERT_EQ(replace.items.size(), 1u);
    EXPECT_EQ(replace.items[0].target, "c7");
    EXPECT_EQ(replace.items[0].data, "edited on the PC");
    const Command& del = serverSync->commands[2];
    EXPECT_EQ(del.kind, CommandKind::Delete);
    ASSERT_EQ(del.items.size(), 1u);
    EXPECT_EQ(del.items[0].target, "c8");
    EXPECT_TRUE(r2.final);

    // Statuses of the PC's changes and the map of its add.
    Message m3 = client.message();
    client.acknowledge(r2, &m3, [](const Command& c) {
        return c.kind == CommandKind::Add ? 201 : c.kind == CommandKind::Replace ? 200 : 211;
    });
    m3.commands.push_back(mapOf("20", {MapItem{"pc-1", "c9"}}));
    m3.final = true;
    const Message r3 = client.send(m3);
    EXPECT_TRUE(r3.final);
    ASSERT_NE(findStatus(r3, "Map", "20"), nullptr);
    EXPECT_EQ(findStatus(r3, "Map", "20")->data, "200");
    const std::vector<ULONG> cmds = host_.cmdIds("dev-1");
    ASSERT_EQ(cmds.size(), 3u);
    const auto statuses = sink.calls(FakeSink::Status);
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(statuses[0].cmdId, cmds[0]);
    EXPECT_EQ(statuses[0].code, 201);
    EXPECT_EQ(statuses[1].cmdId, cmds[1]);
    EXPECT_EQ(statuses[1].code, 200);
    EXPECT_EQ(statuses[2].cmdId, cmds[2]);
    EXPECT_EQ(statuses[2].code, 211);
    const auto maps = sink.calls(FakeSink::Map);
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].text, u"c9");
    EXPECT_EQ(maps[0].text2, u"pc-1");

    // The end.
    EXPECT_EQ(count(sink, FakeSink::Finished), 1);
    EXPECT_EQ(count(sink, FakeSink::Failed), 0);
    EXPECT_EQ(count(sink, FakeSink::Canceled), 0);
    EXPECT_EQ(sink.kinds().back(), FakeSink::Finished);
    EXPECT_EQ(sink.kinds().front(), FakeSink::Started);
    EXPECT_FALSE(sink.overlapped());
    const auto summaries = host_.summaries();
    ASSERT_EQ(summaries.size(), 1u);
    const SessionSummary& s = summaries[0].second;
    EXPECT_EQ(s.outcome, SessionSummary::Finished);
    EXPECT_TRUE(s.slow);
    EXPECT_EQ(s.clientAdds, 1);
    EXPECT_EQ(s.clientReplaces, 1);
    EXPECT_EQ(s.clientDeletes, 1);
    EXPECT_EQ(s.serverAdds, 1);
    EXPECT_EQ(s.serverReplaces, 1);
    EXPECT_EQ(s.serverDeletes, 1);
    EXPECT_EQ(s.refusedByPc, 0);
    EXPECT_EQ(s.refusedByClient, 0);
    EXPECT_EQ(server().sessionCount(), 0u);
    const DeviceState after = loadDeviceState(folder("dev-1"));
    EXPECT_EQ(after.clientAnchor, "C1");
    EXPECT_EQ(after.nonce, afterAuth.nonce);  // the nonce handed out stays the one to use

    // The session is gone: another message to its address finds nothing.
    Message late = client.message();
    late.commands.push_back(nextMessageAlert("1"));
    const Message r4 = client.send(late);
    EXPECT_EQ(syncHdrCode(r4), 404);
    EXPECT_EQ(count(sink, FakeSink::Finished), 1);
    EXPECT_EQ(host_.summaries().size(), 1u);
}

TEST_F(SyncServerTest, FollowingSessionIsTwoWayOnlyWhenTheClientsLastAnchorMatches) {
    host_.with("dev-1", [](FakeHost::Device& d) { d.next = "P1"; });
    Client client(server(), "dev-1");
    client.finish(begin(client, 201, std::nullopt, "C1"));
    ASSERT_EQ(loadDeviceState(folder("dev-1")).clientAnchor, "C1");

    // The client's Last is the Next of the finished session: two-way.
    host_.with("dev-1", [](FakeHost::Device& d) {
        d.alert = vantrel::kAlertTwoWay;
        d.last = "P1";
        d.next = "P2";
    });
    client.newSession("2");
    const Message r = begin(client, 200, std::string("C1"), "C2");
    ASSERT_NE(findStatus(r, "Alert", "3"), nullptr);
    EXPECT_EQ(findStatus(r, "Alert", "3")->data, "200");
    const Command* serverAlert = firstOf(r, CommandKind::Alert);
    ASSERT_NE(serverAlert, nullptr);
    EXPECT_EQ(serverAlert->data, "200");
    ASSERT_TRUE(serverAlert->items.at(0).meta.anchor.has_value());
    EXPECT_EQ(serverAlert->items[0].meta.anchor->last, "P1");
    EXPECT_EQ(serverAlert->items[0].meta.anchor->next, "P2");
    FakeSink& two = host_.sink("dev-1", 1);
    ASSERT_EQ(count(two, FakeSink::Alert), 1);
    EXPECT_EQ(two.calls(FakeSink::Alert)[0].code, 200);
    EXPECT_EQ(two.calls(FakeSink::Alert)[0].text, u"C1");
    EXPECT_EQ(two.calls(FakeSink::Alert)[0].text2, u"C2");
    client.finish(r);
    EXPECT_EQ(count(two, FakeSink::Finished), 1);
    ASSERT_EQ(host_.summaries().size(), 2u);
    EXPECT_FALSE(host_.summaries()[1].second.slow);
    EXPECT_EQ(loadDeviceState(folder("dev-1")).clientAnchor, "C2");

    // A Last the server never saw: the client is told to start over slowly.
    client.newSession("3");
    const Message slow = begin(client, 200, std::string("C1"), "C3");
    ASSERT_NE(findStatus(slow, "Alert", "3"), nullptr);
    EXPECT_EQ(findStatus(slow, "Alert", "3")->data, "508");
    ASSERT_NE(firstOf(slow, CommandKind::Alert), nullptr);
    EXPECT_EQ(firstOf(slow, CommandKind::Alert)->data, "201");
    FakeSink& three = host_.sink("dev-1", 2);
    ASSERT_EQ(count(three, FakeSink::Alert), 1);
    EXPECT_EQ(three.calls(FakeSink::Alert)[0].code, 201);
    client.finish(slow);
    ASSERT_EQ(host_.summaries().size(), 3u);
    EXPECT_TRUE(host_.summaries()[2].second.slow);
    EXPECT_EQ(loadDeviceState(folder("dev-1")).clientAnchor, "C3");
}

// ---- Authentication

TEST_F(SyncServerTest, MissingOrWrongCredentialsAreChallengedAndStartNothing) {
    Client client(server(), "dev-1");

    Message none = initMessage(client, 201, std::nullopt, "C1");
    none.header.cred.reset();
    const Message r1 = client.send(none);
    const Command* hdr = findStatus(r1, "SyncHdr", "0");
    ASSERT_NE(hdr, nullptr);
    EXPECT_EQ(hdr->data, "407");
    ASSERT_TRUE(hdr->chal.has_value());
    EXPECT_EQ(hdr->chal->type, "syncml:auth-md5");
    EXPECT_FALSE(client.nonce.empty());
    EXPECT_EQ(client.nonce, loadDeviceState(folder("dev-1")).nonce);
    for (const char* ref : {"1", "2", "3"}) {
        const Command* st = nullptr;
        for (const Command* c : allOf(r1, CommandKind::Status))
            if (c->cmdRef == ref) st = c;
        ASSERT_NE(st, nullptr) << ref;
        EXPECT_EQ(st->data, "407") << ref;
    }
    EXPECT_EQ(allOf(r1, CommandKind::Status).size(), 4u);
    EXPECT_EQ(firstOf(r1, CommandKind::Alert), nullptr);
    EXPECT_EQ(firstOf(r1, CommandKind::Results), nullptr);
    EXPECT_TRUE(client.token.empty());

    // The right password with a nonce of its own choosing, and a wrong password with the
    // nonce it was given.
    const std::string given = client.nonce;
    client.nonce = "made-up";
    Message stale = initMessage(client, 201, std::nullopt, "C1");
    client.nonce = given;
    Message wrong = client.firstMessage("not the password");
    wrong.commands = stale.commands;
    wrong.final = true;
    for (Message* m : {&stale, &wrong}) {
        const Message r = client.send(*m);
        EXPECT_EQ(syncHdrCode(r), 401);
        ASSERT_NE(findStatus(r, "SyncHdr", "0"), nullptr);
        EXPECT_TRUE(findStatus(r, "SyncHdr", "0")->chal.has_value());
        ASSERT_NE(findStatus(r, "Alert", "3"), nullptr);
        EXPECT_EQ(findStatus(r, "Alert", "3")->data, "401");
        EXPECT_TRUE(client.token.empty());
    }
    EXPECT_EQ(host_.starts("dev-1"), 0);
    EXPECT_EQ(server().sessionCount(), 0u);
    EXPECT_EQ(host_.lines().size(), 3u);

    // The nonce of the last challenge opens the session.
    begin(client);
    EXPECT_EQ(host_.starts("dev-1"), 1);
}

TEST_F(SyncServerTest, CredentialOfAFinishedSessionCannotBeReplayed) {
    Client client(server(), "dev-1");
    const std::string usedNonce = client.nonce;  // none given yet: the empty one
    const Message r = begin(client);
    EXPECT_NE(client.nonce, usedNonce);
    client.finish(r);

    client.newSession("2");
    const std::string fresh = client.nonce;
    client.nonce = usedNonce;
    const Message replay = client.send(initMessage(client, 201, std::nullopt, "C2"));
    EXPECT_EQ(syncHdrCode(replay), 401);
    EXPECT_EQ(host_.starts("dev-1"), 1);
    EXPECT_NE(client.nonce, fresh);  // challenged again with another nonce
    begin(client);
    EXPECT_EQ(host_.starts("dev-1"), 2);
}

TEST_F(SyncServerTest, BasicCredentialIsAccepted) {
    Client client(server(), "dev-1");
    Message m = initMessage(client, 201, std::nullopt, "C1");
    m.header.cred->meta.type = "syncml:auth-basic";
    m.header.cred->data = base64(std::string(kUser) + ":" + kPassword);
    const Message r = client.send(m);
    EXPECT_EQ(syncHdrCode(r), 212);
    EXPECT_EQ(host_.starts("dev-1"), 1);
    client.finish(r);
    EXPECT_EQ(count(host_.sink("dev-1"), FakeSink::Finished), 1);

    client.newSession("2");
    Message bad = initMessage(client, 201, std::nullopt, "C2");
    bad.header.cred->meta.type = "syncml:auth-basic";
    bad.header.cred->data = base64(std::string(kUser) + ":wrong");
    EXPECT_EQ(syncHdrCode(client.send(bad)), 401);
    EXPECT_EQ(host_.starts("dev-1"), 1);
}

TEST_F(SyncServerTest, RepeatedWrongPasswordsFromOneAddressAreAnsweredMoreSlowly) {
    ServerOptions o;
    o.wrongPasswordDelayMs = 1;
    server_ = std::make_unique<SyncServer>(host_, o);
    Client client(*server_, "dev-1");
    client.peer = "192.0.2.7";
    auto wrong = [&] {
        Message m = client.firstMessage("not the password");
        m.commands.push_back(alert("1", 201, std::nullopt, "C1"));
        m.final = true;
        EXPECT_EQ(syncHdrCode(client.send(m)), 401);
    };
    for (int i = 0; i < 3; ++i) wrong();
    EXPECT_EQ(server_->failureDelayMs("192.0.2.7"), 0);  // a few slips are free
    wrong();
    const int first = server_->failureDelayMs("192.0.2.7");
    wrong();
    EXPECT_GT(first, 0);
    EXPECT_GT(server_->failureDelayMs("192.0.2.7"), first);
    for (int i = 0; i < 20; ++i) wrong();
    EXPECT_EQ(server_->failureDelayMs("192.0.2.7"), 32);  // bounded
    EXPECT_EQ(server_->failureDelayMs("192.0.2.8"), 0);   // another address is not slowed

    // The right password from the address forgets its failures.
    begin(client);
    EXPECT_EQ(server_->failureDelayMs("192.0.2.7"), 0);
    EXPECT_EQ(host_.totalStarts(), 1);
}

TEST_F(SyncServerTest, UnknownDeviceIsForbiddenAndReported) {
    Client client(server(), "stranger");
    const Message r = client.send(initMessage(client, 201, std::nullopt, "C1"));
    EXPECT_EQ(syncHdrCode(r), 403);
    ASSERT_NE(findStatus(r, "Alert", "3"), nullptr);
    EXPECT_EQ(findStatus(r, "Alert", "3")->data, "403");
    EXPECT_TRUE(client.token.empty());
    EXPECT_EQ(host_.totalStarts(), 0);
    const auto lines = host_.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("stranger"), std::string::npos) << lines[0];
}

// ---- The server's Sync over several messages

TEST_F(SyncServerTest, ServerSyncIsSplitToTheClientsMaxMsgSize) {
    constexpr size_t kNotes = 60;
    constexpr uint64_t kLimit = 5000;
    host_.with("dev-1", [&](FakeHost::Device& d) {
        for (size_t k = 0; k < kNotes; ++k)
            d.queued.push_back({PcChange::Add, "pc-" + std::to_string(k),
                                noteOf(300, static_cast<char>('a' + k % 26))});
    });
    Client client(server(), "dev-1");
    client.maxMsgSize = kLimit;
    const Message r1 = begin(client);
    EXPECT_LE(client.raw.body.size(), kLimit);

    // What the client answers for the note with local id "pc-<k>".
    auto codeFor = [](const std::string& localId) {
        const int k = std::stoi(localId.substr(3));
        return k % 3 == 0 ? 201 : k % 3 == 1 ? 200 : 500;
    };
    Message m = client.message();
    client.acknowledge(r1, &m);
    m.commands.push_back(clientSync("10", {}));
    m.final = true;
    Message reply = client.send(m);
    std::vector<std::string> sent;
    std::string previousMsgId;
    int messages = 0;
    for (;;) {
        ++messages;
        ASSERT_LE(messages, 100);
        EXPECT_LE(client.raw.body.size(), kLimit) << "message " << messages;
        const auto syncs = allOf(reply, CommandKind::Sync);
        ASSERT_EQ(syncs.size(), 1u) << "message " << messages;
        EXPECT_FALSE(syncs[0]->commands.empty()) << "message " << messages;
        for (const Command& c : syncs[0]->commands) {
            ASSERT_EQ(c.kind, CommandKind::Add);
            sent.push_back(c.items.at(0).source);
        }
        Message next = client.message();
        // A late repeat of a status for the previous message, naming a command number that
        // this message uses too: it belongs to a command already answered, not to this one.
        if (!previousMsgId.empty() && !syncs[0]->commands.empty())
            next.commands.push_back(
                status("97", previousMsgId, syncs[0]->commands[0].cmdId, "Add", 500));
        previousMsgId = reply.header.msgId;
        client.acknowledge(reply, &next,
                           [&](const Command& c) { return codeFor(c.items.at(0).source); });
        if (reply.final) {
            std::vector<MapItem> maps;
            for (const std::string& id : sent) maps.push_back(MapItem{id, "m-" + id});
            next.commands.push_back(mapOf("90", maps));
            next.final = true;
            EXPECT_TRUE(client.send(next).final);
            break;
        }
        EXPECT_EQ(firstOf(reply, CommandKind::Alert), nullptr);
        next.commands.push_back(nextMessageAlert("91"));
        reply = client.send(next);
    }
    EXPECT_GE(messages, 3);
    ASSERT_EQ(sent.size(), kNotes);
    for (size_t k = 0; k < kNotes; ++k) EXPECT_EQ(sent[k], "pc-" + std::to_string(k));

    // Every status reached the module for the right command.
    FakeSink& sink = host_.sink("dev-1");
    const std::vector<ULONG> cmds = host_.cmdIds("dev-1");
    ASSERT_EQ(cmds.size(), kNotes);
    std::map<ULONG, LONG> codes;
    for (const auto& c : sink.calls(FakeSink::Status)) {
        EXPECT_TRUE(codes.emplace(c.cmdId, c.code).second) << "twice: " << c.cmdId;
    }
    ASSERT_EQ(codes.size(), kNotes);
    for (size_t k = 0; k < kNotes; ++k)
        EXPECT_EQ(codes[cmds[k]], codeFor("pc-" + std::to_string(k))) << k;
    EXPECT_EQ(count(sink, FakeSink::Map), static_cast<int>(kNotes));
    EXPECT_EQ(count(sink, FakeSink::Finished), 1);
    ASSERT_EQ(host_.summaries().size(), 1u);
    EXPECT_EQ(host_.summaries()[0].second.serverAdds, static_cast<int>(kNotes));
    EXPECT_EQ(host_.summaries()[0].second.refusedByClient, static_cast<int>(kNotes / 3));
}

// ---- The client's Sync over several messages

TEST_F(SyncServerTest, ClientPackageOverTwoMessagesIsAnsweredWithNextMessageAlert) {
    host_.with("dev-1", [](FakeHost::Device& d) {
        d.queued = {{PcChange::Add, "pc-1", "PC note"}};
    });
    Client client(server(), "dev-1");
    const Message r1 = begin(client);

    Message m2 = client.message();
    client.acknowledge(r1, &m2);
    m2.commands.push_back(clientSync("10", {itemCommand(CommandKind::Add, "11", "c1", "one\r\n")}));
    const Message r2 = client.send(m2);  // no Final: more follows
    EXPECT_FALSE(r2.final);
    ASSERT_NE(findStatus(r2, "Add", "11"), nullptr);
    EXPECT_EQ(findStatus(r2, "Add", "11")->data, "201");
    const Command* more = firstOf(r2, CommandKind::Alert);
    ASSERT_NE(more, nullptr);
    EXPECT_EQ(more->data, "222");
    EXPECT_EQ(firstOf(r2, CommandKind::Sync), nullptr);
    FakeSink& sink = host_.sink("dev-1");
    EXPECT_EQ(count(sink, FakeSink::Add), 1);

    Message m3 = client.message();
    client.acknowledge(r2, &m3);
    m3.commands.push_back(clientSync("10", {itemCommand(CommandKind::Add, "11", "c2", "two\r\n")}));
    m3.final = true;
    const Message r3 = client.send(m3);
    EXPECT_TRUE(r3.final);
    ASSERT_NE(findStatus(r3, "Add", "11"), nullptr);
    const Command* serverSync = firstOf(r3, CommandKind::Sync);
    ASSERT_NE(serverSync, nullptr);
    ASSERT_EQ(serverSync->commands.size(), 1u);
    EXPECT_EQ(serverSync->commands[0].items.at(0).source, "pc-1");
    const auto adds = sink.calls(FakeSink::Add);
    ASSERT_EQ(adds.size(), 2u);
    EXPECT_EQ(adds[0].text, u"c1");
    EXPECT_EQ(adds[1].text, u"c2");
    EXPECT_NE(adds[0].cmdId, adds[1].cmdId);
}

// ---- Large objects

// A client's Add of luid whose data is one piece of a large object.
Command piece(const std::string& cmdId, const std::string& luid, const std::string& data, bool more,
              std::optional<uint64_t> size = std::nullopt) {
    Command c = itemCommand(CommandKind::Add, cmdId, luid, data);
    c.items.at(0).moreData = more;
    c.items.at(0).meta.size = size;
    return c;
}

TEST_F(SyncServerTest, ClientNoteInPiecesReachesTheModuleWholeOnce) {
    Client client(server(), "dev-1");
    const Message r1 = begin(client);
    const std::string whole = noteOf(3000, 'x') + "\r\n";
    Message reply = r1;
    // Three pieces over three messages, then a note whose declared size is not what came, then
    // one declared larger than the server takes.
    const std::vector<std::string> parts = {whole.substr(0, 1000), whole.substr(1000, 1000),
                                            whole.substr(2000)};
    for (size_t k = 0; k < parts.size(); ++k) {
        Message m = client.message();
        client.acknowledge(reply, &m);
        m.commands.push_back(clientSync(
            "10", {piece("11", "big", parts[k], k + 1 < parts.size(),
                         k == 0 ? std::optional<uint64_t>(whole.size()) : std::nullopt)}));
        reply = client.send(m);
        ASSERT_NE(findStatus(reply, "Add", "11"), nullptr);
        EXPECT_EQ(findStatus(reply, "Add", "11")->data, k + 1 < parts.size() ? "213" : "201");
        EXPECT_EQ(firstOf(reply, CommandKind::Alert)->data, "222");
    }
    Message m = client.message();
    client.acknowledge(reply, &m);
    m.commands.push_back(clientSync("10", {piece("11", "odd", "abc", true, 10)}));
    reply = client.send(m);
    m = client.message();
    client.acknowledge(reply, &m);
    m.commands.push_back(clientSync("10", {piece("12", "odd", "def", false)}));
    reply = client.send(m);
    EXPECT_EQ(findStatus(reply, "Add", "12")->data, "424");
    m = client.message();
    client.acknowledge(reply, &m);
    m.commands.push_back(
        clientSync("10", {piece("13", "huge", "abc", true, kServerMaxObjSize + 1)}));
    m.final = true;
    reply = client.send(m);
    EXPECT_EQ(findStatus(reply, "Add", "13")->data, "413");

    FakeSink& sink = host_.sink("dev-1");
    const auto adds = sink.calls(FakeSink::Add);
    ASSERT_EQ(adds.size(), 1u);
    EXPECT_EQ(adds[0].text, u"big");
    EXPECT_EQ(adds[0].data, whole);
}

TEST_F(SyncServerTest, PcNoteLargerThanAMessageGoesInPiecesThatAddUpToIt) {
    // Multi-byte characters and CRs throughout: no piece may cut either.
    std::string note;
    while (note.size() < 20000) note += "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac line\r\n";
    host_.with("dev-1", [&](FakeHost::Device& d) {
        d.queued = {{PcChange::Add, "pc-big", note}, {PcChange::Add, "pc-small", "small"}};
    });
    Client client(server(), "dev-1");
    client.maxMsgSize = 6000;
    client.largeObjects = true;
    const Message r1 = begin(client);
    Message m = client.message();
    client.acknowledge(r1, &m);
    m.commands.push_back(clientSync("10", {}));
    m.final = true;
    Message reply = client.send(m);
    std::string got;
    std::optional<uint64_t> declared;
    std::vector<std::string> items;
    for (int messages = 1;; ++messages) {
        ASSERT_LE(messages, 50);
        EXPECT_LE(client.raw.body.size(), 6000u);
        for (const Command& c : firstOf(reply, CommandKind::Sync)->commands) {
            const Item& item = c.items.at(0);
            if (item.source == "pc-big") {
                if (got.empty()) declared = item.meta.size;
                got += item.data.value_or("");
                ASSERT_TRUE(isXmlText(item.data.value_or("")));
                if (!item.moreData) items.push_back(item.source);
            } else {
                items.push_back(item.source);
            }
        }
        Message next = client.message();
        client.acknowledge(reply, &next);
        if (reply.final) {
            next.final = true;
            client.send(next);
            break;
        }
        next.commands.push_back(nextMessageAlert("91"));
        reply = client.send(next);
    }
    EXPECT_EQ(got, note);
    EXPECT_EQ(declared, note.size());
    EXPECT_EQ(items, (std::vector<std::string>{"pc-big", "pc-small"}));
    EXPECT_EQ(count(host_.sink("dev-1"), FakeSink::Status), 2);
}

TEST_F(SyncServerTest, PcNoteOverTheClientsMaxObjSizeIsNotSent) {
    host_.with("dev-1", [&](FakeHost::Device& d) {
        d.queued = {{PcChange::Add, "pc-big", noteOf(5000, 'b')}};
    });
    Client client(server(), "dev-1");
    client.maxObjSize = 4000;
    const Message r1 = begin(client);
    Message m = client.message();
    client.acknowledge(r1, &m);
    m.commands.push_back(clientSync("10", {}));
    m.final = true;
    const Message reply = client.send(m);
    EXPECT_TRUE(firstOf(reply, CommandKind::Sync)->commands.empty());
    const auto statuses = host_.sink("dev-1").calls(FakeSink::Status);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].code, 413);
}

// ---- Requests refused before any session

TEST_F(SyncServerTest, TraceKeepsEveryMessageAndAnswerWithoutTheCredentials) {
    ServerOptions o;
    o.traceDir = toUtf8(tmp_ / u"trace");
    server_ = std::make_unique<SyncServer>(host_, o);
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
    Client client(*server_, "dev-1");
    const Message first = initMessage(client, 201, std::nullopt, "C1");
    ASSERT_TRUE(first.header.cred.has_value());
    begin(client);
    server_->handle("/sync", "", kXmlType, "<not SyncML");

    auto traced = [&](const char16_t* name) {
        return test::readFileBytes(plat::joinPath(tmp_ / u"trace", name)).value_or("");
    };
    const std::string request = traced(u"000001-request.xml");
    const std::string response = traced(u"000001-response.xml");
    EXPECT_NE(request.find("<DevInf"), std::string::npos);
    EXPECT_NE(request.find("<Cred><!-- removed from the trace --></Cred>"), std::string::npos);
    EXPECT_EQ(request.find(first.header.cred->data), std::string::npos);
    EXPECT_NE(response.find("<Data>212</Data>"), std::string::npos) << response;
    EXPECT_EQ(traced(u"000002-request.xml"), "<not SyncML");
    EXPECT_NE(traced(u"000002-response.txt").find("malformed"), std::string::npos);
}

TEST_F(SyncServerTest, RefusesMalformedXmlAndOtherContentTypes) {
    Client client(server(), "dev-1");
    const std::string good = writeXml(initMessage(client, 201, std::nullopt, "C1"));

    SyncServer::Reply r = server().handle("/sync", "", kXmlType, good.substr(0, good.size() / 2));
    EXPECT_EQ(r.httpStatus, 400);
    r = server().handle("/sync", "", kXmlType, "");
    EXPECT_EQ(r.httpStatus, 400);
    r = server().handle("/sync", "", "text/plain", good);
    EXPECT_EQ(r.httpStatus, 415);
    r = server().handle("/sync", "", "", good);
    EXPECT_EQ(r.httpStatus, 415);
    EXPECT_EQ(host_.totalStarts(), 0);
    EXPECT_EQ(server().sessionCount(), 0u);
    EXPECT_TRUE(loadDeviceState(folder("dev-1")).nonce.empty());

    // A content type with parameters is still the same type.
    r = server().handle("/sync", "", std::string(kXmlType) + "; charset=UTF-8", good);
    EXPECT_EQ(r.httpStatus, 200) << r.body;
    EXPECT_EQ(host_.totalStarts(), 1);
}

TEST_F(SyncServerTest, MessagesToAnUnknownOrForeignSessionAreRefused) {
    addDevice("dev-2");
    Client client(server(), "dev-1");
    const Message r1 = begin(client);

    Client lost(server(), "dev-1");
    lost.token = "no-such-session";
    Message m = lost.message();
    m.commands.push_back(nextMessageAlert("1"));
    Message r = lost.send(m);
    EXPECT_EQ(syncHdrCode(r), 404);
    ASSERT_NE(findStatus(r, "Alert", "1"), nullptr);
    EXPECT_EQ(findStatus(r, "Alert", "1")->data, "404");

    // Another device's message, and one of another session of the same device, to the address.
    Client other(server(), "dev-2");
    other.token = client.token;
    Message foreign = other.message();
    foreign.commands.push_back(clientSync("5", {itemCommand(CommandKind::Delete, "6", "c1")}));
    foreign.final = true;
    EXPECT_EQ(syncHdrCode(other.send(foreign)), 403);
    Client stranger(server(), "dev-1", "77");
    stranger.token = client.token;
    Message otherSession = stranger.message();
    otherSession.commands = foreign.commands;
    otherSession.final = true;
    EXPECT_EQ(syncHdrCode(stranger.send(otherSession)), 403);

    FakeSink& sink = host_.sink("dev-1");
    EXPECT_EQ(count(sink, FakeSink::Delete), 0);
    EXPECT_EQ(count(sink, FakeSink::Failed), 0);
    EXPECT_EQ(server().sessionCount(), 1u);
    EXPECT_EQ(host_.starts("dev-2"), 0);

    // The session goes on.
    const Message end = client.finish(r1, {itemCommand(CommandKind::Add, "11", "c1", "mine")});
    EXPECT_TRUE(end.final);
    EXPECT_EQ(count(sink, FakeSink::Add), 1);
    EXPECT_EQ(count(sink, FakeSink::Finished), 1);
}

TEST_F(SyncServerTest, HostileCommandsGetStatusesAndLeaveOtherSessionsAlone) {
    addDevice("dev-2");
    Client other(server(), "dev-2");
    const Message o1 = begin(other);
    Client client(server(), "dev-1");
    const Message r1 = begin(client);

    Message m = client.message();
    client.acknowledge(r1, &m);
    Command noLuid = itemCommand(CommandKind::Add, "12", "", "no name");
    Command longLuid = itemCommand(CommandKind::Add, "13", std::string(2000, 'L'), "long");
    m.commands.push_back(
        clientSync("10", {noLuid, longLuid, itemCommand(CommandKind::Add, "14", "twice", "first"),
                          itemCommand(CommandKind::Add, "15", "twice", "second")}));
    m.commands.push_back(mapOf("16", {MapItem{"never-given", "x"}}));
    m.commands.push_back(mapOf("17", {MapItem{"pc-1", std::string(2000, 'M')}}));
    m.final = true;
    // A command no SyncML version has, with a CmdID no counter reaches.
    std::string bytes = writeXml(m);
    bytes.insert(bytes.find("<SyncBody>") + 10,
                 "<Frobnicate><CmdID>99999999999999999999</CmdID></Frobnicate>");
    const Message r2 = client.sendBytes(bytes);
    auto code = [&](const char* cmd, const char* ref) {
        const Command* st = findStatus(r2, cmd, ref);
        return st ? st->data : std::string("no status");
    };
    EXPECT_EQ(code("Frobnicate", "99999999999999999999"), "400") << client.raw.body;
    EXPECT_EQ(code("Add", "12"), "400");
    EXPECT_EQ(code("Add", "13"), "400");
    EXPECT_EQ(code("Add", "14"), "201");
    EXPECT_EQ(code("Add", "15").substr(0, 1), "2");  // the module's to settle; not a second note
    EXPECT_EQ(code("Map", "16"), "200");
    EXPECT_EQ(code("Map", "17"), "400");
    // A LUID of 10 MB is more than the reader takes: the message is refused whole, the session
    // goes on.
    Message huge = client.message();
    huge.commands.push_back(
        clientSync("20", {itemCommand(CommandKind::Add, "21", std::string(10u << 20, 'L'), "x")}));
    EXPECT_EQ(server().handle("/sync", client.token, kXmlType, writeXml(huge)).httpStatus, 400);
    FakeSink& sink = host_.sink("dev-1");
    EXPECT_EQ(count(sink, FakeSink::Add), 2);  // the same LUID twice: the module's to settle
    EXPECT_EQ(count(sink, FakeSink::Map), 1);

    // Another device's credentials for this device: refused.
    Client impostor(server(), "dev-1", "9");
    impostor.nonce = client.nonce;
    Message forged = impostor.firstMessage("wrong for dev-1");
    forged.commands.push_back(alert("1", 201, std::nullopt, "C9"));
    forged.final = true;
    EXPECT_EQ(syncHdrCode(impostor.send(forged)), 401);

    // The other device's session never noticed.
    const Message end = other.finish(o1, {itemCommand(CommandKind::Add, "11", "o1", "theirs")});
    EXPECT_TRUE(end.final);
    EXPECT_EQ(count(host_.sink("dev-2"), FakeSink::Add), 1);
    EXPECT_EQ(count(host_.sink("dev-2"), FakeSink::Finished), 1);
    EXPECT_EQ(count(host_.sink("dev-2"), FakeSink::Failed), 0);
}

// ---- One session per device

TEST_F(SyncServerTest, NewSessionEndsTheDevicesIdleOne) {
    Client client(server(), "dev-1");
    begin(client);
    const std::string oldToken = client.token;
    FakeSink& first = host_.sink("dev-1", 0);

    client.newSession("2");
    const Message r = begin(client, 201, std::nullopt, "C2");
    EXPECT_NE(client.token, oldToken);
    EXPECT_EQ(host_.starts("dev-1"), 2);
    EXPECT_EQ(count(first, FakeSink::Failed), 1);
    EXPECT_EQ(count(first, FakeSink::Finished), 0);
    ASSERT_EQ(host_.summaries().size(), 1u);
    EXPECT_EQ(host_.summaries()[0].second.outcome, SessionSummary::Failed);
    EXPECT_EQ(server().sessionCount(), 1u);
    EXPECT_TRUE(loadDeviceState(folder("dev-1")).clientAnchor.empty());

    // The old address is gone; the new session runs to its end.
    Client old(server(), "dev-1");
    old.token = oldToken;
    Message late = old.message();
    late.commands.push_back(nextMessageAlert("1"));
    EXPECT_EQ(syncHdrCode(old.send(late)), 404);
    client.finish(r);
    EXPECT_EQ(count(host_.sink("dev-1", 1), FakeSink::Finished), 1);
    EXPECT_EQ(count(first, FakeSink::Failed), 1);
    EXPECT_EQ(loadDeviceState(folder("dev-1")).clientAnchor, "C2");
}

TEST_F(SyncServerTest, NewSessionWhileTheOldOneAnswersAMessageIsBusy) {
    // The module takes its time over the client's add: the message is being answered.
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, go = false;
    host_.with("dev-1", [&](FakeHost::Device& d) {
        d.configure = [&](FakeSink& sink) {
            sink.respond = [&](const FakeSink::Call& call, LONG*) {
                if (call.kind == FakeSink::Add) {
                    std::unique_lock<std::mutex> l(m);
                    inside = true;
                    cv.notify_all();
                    cv.wait(l, [&] { return go; });
                }
                return S_OK;
            };
        };
    });
    Client client(server(), "dev-1");
    const Message r1 = begin(client);
    Message end;
    std::thread answering(
        [&] { end = client.finish(r1, {itemCommand(CommandKind::Add, "11", "c1", "slow")}); });
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return inside; }));
    }

    Client second(server(), "dev-1", "2");
    second.nonce = client.nonce;
    const Message busy = second.send(initMessage(second, 201, std::nullopt, "X"));
    EXPECT_EQ(syncHdrCode(busy), 503);
    EXPECT_TRUE(second.token.empty());
    EXPECT_EQ(host_.starts("dev-1"), 1);

    {
        std::lock_guard<std::mutex> l(m);
        go = true;
    }
    cv.notify_all();
    answering.join();
    EXPECT_TRUE(end.final);
    FakeSink& sink = host_.sink("dev-1");
    EXPECT_EQ(count(sink, FakeSink::Finished), 1);
    EXPECT_EQ(count(sink, FakeSink::Failed), 0);
}

// ---- Sessions ended from the server's side

TEST_F(SyncServerTest, IdleSessionFailsAfterTheTimeout) {
    startServer(300);
    Client client(*server_, "dev-1");
    begin(client);
    FakeSink& sink = host_.sink("dev-1");
    ASSERT_TRUE(sink.waitForEnd(10000));
    ASSERT_TRUE(host_.waitForSummaries(1));
    EXPECT_EQ(count(sink, FakeSink::Failed), 1);
    EXPECT_EQ(count(sink, FakeSink::Canceled), 0);
    EXPECT_EQ(count(sink, FakeSink::Finished), 0);
    EXPECT_EQ(host_.summaries()[0].second.outcome, SessionSummary::Failed);
    EXPECT_EQ(server_->sessionCount(), 0u);
    EXPECT_TRUE(loadDeviceState(folder("dev-1")).clientAnchor.empty());

    Message late = client.message();
    late.commands.push_back(nextMessageAlert("1"));
    EXPECT_EQ(syncHdrCode(client.send(late)), 404);
    server_->stop();
    EXPECT_EQ(count(sink, FakeSink::Failed), 1);
    EXPECT_EQ(host_.summaries().size(), 1u);
}

TEST_F(SyncServerTest, ModuleCancelEndsTheSession) {
    startServer(60000);
    Client client(*server_, "dev-1");
    begin(client);
    FakeSink& sink = host_.sink("dev-1");
    ASSERT_EQ(host_.engine("dev-1")->Cancel(1), S_OK);
    ASSERT_TRUE(sink.waitForEnd(10000));
    ASSERT_TRUE(host_.waitForSummaries(1));
    EXPECT_EQ(count(sink, FakeSink::Canceled), 1);
    EXPECT_EQ(count(sink, FakeSink::Failed), 0);
    EXPECT_EQ(host_.summaries()[0].second.outcome, SessionSummary::Cancelled);
    EXPECT_EQ(server_->sessionCount(), 0u);
    Message late = client.message();
    late.commands.push_back(nextMessageAlert("1"));
    EXPECT_EQ(syncHdrCode(client.send(late)), 404);
}

TEST_F(SyncServerTest, StopCancelsRunningSessionsAndMayBeRepeated) {
    addDevice("dev-2");
    startServer(60000);
    Client one(*server_, "dev-1");
    Client two(*server_, "dev-2");
    begin(one);
    begin(two);
    EXPECT_EQ(server_->sessionCount(), 2u);

    server_->stop();
    for (const char* id : {"dev-1", "dev-2"}) {
        FakeSink& sink = host_.sink(id);
        EXPECT_EQ(count(sink, FakeSink::Canceled), 1) << id;
        EXPECT_EQ(count(sink, FakeSink::Failed), 0) << id;
    }
    EXPECT_EQ(server_->sessionCount(), 0u);
    ASSERT_EQ(host_.summaries().size(), 2u);
    for (const auto& [id, s] : host_.summaries()) EXPECT_EQ(s.outcome, SessionSummary::Cancelled);

    server_->stop();
    EXPECT_EQ(count(host_.sink("dev-1"), FakeSink::Canceled), 1);
    EXPECT_EQ(host_.summaries().size(), 2u);

    // A stopped server begins nothing.
    one.newSession("2");
    const Message r = one.send(initMessage(one, 201, std::nullopt, "C2"));
    EXPECT_EQ(syncHdrCode(r), 503);
    EXPECT_EQ(host_.starts("dev-1"), 1);
}

// ---- Sessions at once

TEST_F(SyncServerTest, DevicesSynchroniseAtOnce) {
    constexpr int kDevices = 8;
    std::vector<std::string> ids;
    for (int k = 0; k < kDevices; ++k) {
        ids.push_back("dev-p" + std::to_string(k));
        addDevice(ids.back());
        host_.with(ids.back(), [&](FakeHost::Device& d) {
            for (int n = 0; n < 6; ++n)
                d.queued.push_back({PcChange::Add, ids.back() + "-pc" + std::to_string(n),
                                    noteOf(200, static_cast<char>('a' + k))});
        });
    }
    startServer(60000);
    std::vector<std::thread> threads;
    for (int k = 0; k < kDevices; ++k) {
        threads.emplace_back([&, k] {
            Client client(*server_, ids[k]);
            client.maxMsgSize = 4096;  // a few messages each
            const Message r = client.send(initMessage(client, 201, std::nullopt, "N" + ids[k]));
            EXPECT_EQ(syncHdrCode(r), 212);
            std::vector<Command> changes;
            for (int n = 0; n < 5; ++n)
                changes.push_back(itemCommand(CommandKind::Add, std::to_string(20 + n),
                                              ids[k] + "-c" + std::to_string(n),
                                              ids[k] + " note " + std::to_string(n)));
            EXPECT_TRUE(client.finish(r, std::move(changes)).final);
        });
    }
    for (auto& t : threads) t.join();

    ASSERT_EQ(host_.summaries().size(), static_cast<size_t>(kDevices));
    for (int k = 0; k < kDevices; ++k) {
        FakeSink& sink = host_.sink(ids[k]);
        EXPECT_EQ(count(sink, FakeSink::Finished), 1) << ids[k];
        EXPECT_FALSE(sink.overlapped()) << ids[k];
        const auto adds = sink.calls(FakeSink::Add);
        ASSERT_EQ(adds.size(), 5u) << ids[k];
        for (int n = 0; n < 5; ++n) {
            EXPECT_EQ(adds[n].text, fromUtf8(ids[k] + "-c" + std::to_string(n)));
            EXPECT_EQ(adds[n].data, ids[k] + " note " + std::to_string(n));
        }
        const auto maps = sink.calls(FakeSink::Map);
        ASSERT_EQ(maps.size(), 6u) << ids[k];
        for (const auto& map : maps)
            EXPECT_EQ(map.text2.rfind(fromUtf8(ids[k] + "-pc"), 0), 0u) << ids[k];
        EXPECT_EQ(count(sink, FakeSink::Status), 6) << ids[k];
        EXPECT_EQ(loadDeviceState(folder(ids[k])).clientAnchor, "N" + ids[k]);
    }
    EXPECT_EQ(server_->sessionCount(), 0u);
}

// ---- Note contents

TEST_F(SyncServerTest, ClientNoteThatIsNotUtf8ArrivesByteExact) {
    Client client(server(), "dev-1");
    const Message r1 = begin(client);
    const std::string latin1 = "caf\xE9 cr\xE8me\r\n\xA0\xFF\xEF\xBF";
    Message m = client.message();
    client.acknowledge(r1, &m);
    m.commands.push_back(
        clientSync("10", {itemCommand(CommandKind::Add, "11", "c1", latin1),
                          itemCommand(CommandKind::Replace, "12", "c2", "na\xEFve")}));
    m.final = true;
    const Message r2 = client.send(m);
    ASSERT_NE(findStatus(r2, "Add", "11"), nullptr);
    EXPECT_EQ(findStatus(r2, "Add", "11")->data, "201");
    FakeSink& sink = host_.sink("dev-1");
    ASSERT_EQ(count(sink, FakeSink::Add), 1);
    EXPECT_EQ(sink.calls(FakeSink::Add)[0].data, latin1);
    ASSERT_EQ(count(sink, FakeSink::Replace), 1);
    EXPECT_EQ(sink.calls(FakeSink::Replace)[0].data, "na\xEFve");
}

// ---- Known faults (disabled until fixed)

// The Status for the client's Alert echoes its Next anchor as markup, unescaped: an anchor
// with "<" or "&" makes the reply a document no client can read.
TEST_F(SyncServerTest, ClientAnchorWithMarkupCharactersIsEchoedAsText) {
    const std::string next = "2026-03-01 <10:15> & more";
    Client client(server(), "dev-1");
    Message m = initMessage(client, 201, std::nullopt, next);
    const SyncServer::Reply r = server().handle("/sync", "", kXmlType, writeXml(m));
    Message reply;
    std::string error;
    ASSERT_TRUE(parseXml(r.body, &reply, &error)) << error << "\n" << r.body;
    const Command* st = findStatus(reply, "Alert", "3");
    ASSERT_NE(st, nullptr);
    ASSERT_EQ(st->items.size(), 1u);
    EXPECT_NE(st->items[0].dataXml.find("&lt;10:15&gt; &amp; more"), std::string::npos)
        << st->items[0].dataXml;
}

// The size estimate of the server's Sync counts a note's bytes about once, but writeXml splits
// the CDATA section at every "]]>" (12 more bytes each): notes full of them overrun the
// client's MaxMsgSize.
TEST_F(SyncServerTest, NotesFullOfCdataEndsStillFitTheClientsMaxMsgSize) {
    constexpr uint64_t kLimit = 5000;
    std::string note;
    while (note.size() < 300) note += "]]>";
    host_.with("dev-1", [&](FakeHost::Device& d) {
        for (int k = 0; k < 12; ++k)
            d.queued.push_back({PcChange::Add, "pc-" + std::to_string(k), note});
    });
    Client client(server(), "dev-1");
    client.maxMsgSize = kLimit;
    const Message r1 = begin(client);
    Message m = client.message();
    client.acknowledge(r1, &m);
    m.commands.push_back(clientSync("10", {}));
    m.final = true;
    for (Message reply = client.send(m);;) {
        EXPECT_LE(client.raw.body.size(), kLimit);
        if (reply.final) break;
        Message next = client.message();
        client.acknowledge(reply, &next);
        next.commands.push_back(nextMessageAlert("90"));
        reply = client.send(next);
    }
}

// Correct credentials while the module starts no session: the reply says 212 but gives no
// NextNonce and the device keeps its nonce, so a copy of the same message opens a session later.
TEST_F(SyncServerTest, CredentialAcceptedWithoutASessionCannotBeReplayed) {
    host_.with("dev-1", [](FakeHost::Device& d) { d.refuseStart = true; });
    Client client(server(), "dev-1");
    const Message first = initMessage(client, 201, std::nullopt, "C1");
    const Message r = client.send(first);
    EXPECT_EQ(syncHdrCode(r), 212);
    EXPECT_TRUE(client.token.empty());
    EXPECT_EQ(host_.starts("dev-1"), 1);
    ASSERT_NE(findStatus(r, "SyncHdr", "0"), nullptr);
    EXPECT_TRUE(findStatus(r, "SyncHdr", "0")->chal.has_value());

    host_.with("dev-1", [](FakeHost::Device& d) { d.refuseStart = false; });
    Client replay(server(), "dev-1");
    EXPECT_EQ(syncHdrCode(replay.send(first)), 401);
    EXPECT_EQ(host_.starts("dev-1"), 1);
}

// A first message without credentials loads the device's state, reports, then saves the state
// with a new nonce. When the device's session finishes in between, the anchor it saved is
// written over with the old one, and the client's next two-way sync becomes a slow one.
TEST_F(SyncServerTest, ChallengeDuringASessionsEndKeepsTheNewAnchor) {
    std::mutex m;
    std::condition_variable cv;
    bool reporting = false, go = false;
    host_.onReport = [&](const std::string& line) {
        if (line.find("no credentials") == std::string::npos) return;
        std::unique_lock<std::mutex> l(m);
        reporting = true;
        cv.notify_all();
        cv.wait(l, [&] { return go; });
    };
    Client client(server(), "dev-1");
    const Message r1 = begin(client);
    std::thread stranger([&] {
        Client c(server(), "dev-1", "9");
        Message none = initMessage(c, 201, std::nullopt, "X");
        none.header.cred.reset();
        EXPECT_EQ(syncHdrCode(c.send(none)), 407);
    });
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return reporting; }));
    }
    client.finish(r1);
    EXPECT_EQ(loadDeviceState(folder("dev-1")).clientAnchor, "C1");
    {
        std::lock_guard<std::mutex> l(m);
        go = true;
    }
    cv.notify_all();
    stranger.join();
    host_.onReport = nullptr;
    EXPECT_EQ(loadDeviceState(folder("dev-1")).clientAnchor, "C1");
}

}  // namespace
}  // namespace vt::syncml
