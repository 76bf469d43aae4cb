// SyncServer: the SyncML server over HTTP. It receives the clients' messages (libmicrohttpd,
// one thread per connection), checks who sends them, keeps one ServerSession per running
// session, and hands every session's module work to its host: which devices exist, and the
// module's Synchronize for a device whose client begins a session.
//
// Sessions: a client's first message (no session address) for a known, authenticated device
// begins a session; the reply names the session's own address (RespURI, "?session=<token>"),
// where the client sends the rest. A device has one session at a time: another client session
// for it is answered "busy" (503) until the first ends. A session without a message for the idle
// timeout fails (the module is told, SyncStatusFailed); a session the module cancels ends with
// SyncStatusCanceled.
//
// Authentication: "syncml:auth-md5" and "syncml:auth-basic". A message of a new session without
// credentials is answered 407, with wrong ones 401, each with a challenge (md5, a fresh nonce);
// the session's first reply says 212 and gives the nonce for the next session.
//
// Thread safety: start() and stop() from one thread; handle() from any number of threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engines/syncml/auth.h"
#include "engines/syncml/device_engine.h"
#include "engines/syncml/device_state.h"
#include "engines/syncml/server_session.h"

namespace vt::syncml {

// A device the host knows.
struct DeviceAccount {
    std::string id;         // the client's device id
    std::string alias;      // the host's name for it
    Secret secret;          // what the credential checks need
    std::u16string folder;  // where the server keeps the device's state (device_state.h)
};

// What the server needs from its host. Called from the server's threads, possibly at once for
// different devices (never at once for one device).
class ServerHost {
  public:
    virtual ~ServerHost() = default;
    // The device with this id; false when it is unknown.
    virtual bool findDevice(const std::string& deviceId, DeviceAccount* out) = 0;
    // Starts the module's session for the device (its component object's Synchronize, bound to
    // the device's DeviceEngine). The engine with the session recorded (DeviceEngine::takeStart),
    // or null with *error saying why the module did not start one.
    virtual com_ptr<DeviceEngine> startModuleSession(const DeviceAccount& device,
                                                     std::string* error) = 0;
    // A session has ended; the module has had its final callback.
    virtual void sessionEnded(const DeviceAccount& device, const SessionSummary& summary) = 0;
    // A line for the server's output: a refused message, a device unknown.
    virtual void report(const std::string& line) = 0;
};

struct ServerOptions {
    std::string address = "127.0.0.1";  // IPv4 address to bind
    uint16_t port = 9876;               // 0: any free port (port() tells which)
    uint64_t maxBodyBytes = 8u << 20;   // larger requests are answered 413
    uint64_t maxMsgSize = 1u << 20;     // the server's MaxMsgSize
    int idleTimeoutMs = 120000;         // a session without a message this long fails
    int wrongPasswordDelayMs = 500;     // the first delay of repeated wrong credentials
    // HTTPS when both are given: the certificate (chain) and its private key, PEM text.
    std::string tlsCertPem;
    std::string tlsKeyPem;
    // When set, every request and its answer is written into this folder (made owner-only) as
    // NNNNNN-request.xml and NNNNNN-response.xml, WBXML as its XML, credentials removed.
    std::string traceDir;
};

class SyncServer {
  public:
    SyncServer(ServerHost& host, ServerOptions options);
    ~SyncServer();
    SyncServer(const SyncServer&) = delete;
    SyncServer& operator=(const SyncServer&) = delete;

    // Listens; false with *error when the address can't be bound.
    bool start(std::string* error);
    uint16_t port() const { return port_; }
    // Whether the server speaks HTTPS (both TLS options given).
    bool tls() const { return tls_; }
    // Stops listening, cancels the running sessions (the module hears SyncStatusCanceled) and
    // waits for the requests in progress. Safe to call twice.
    void stop();
    // Sessions running now.
    size_t sessionCount() const;

    struct Reply {
        int httpStatus = 200;
        std::string contentType;
        std::string body;
    };
    // Answers one request: path and query as received, the Content-Type header, the body, and
    // the client's address (for slowing down repeated wrong passwords; empty: not known).
    Reply handle(const std::string& url, const std::string& sessionToken,
                 const std::string& contentType, const std::string& body,
                 const std::string& peer = {});
    // How long the next refusal of a wrong credential from peer waits before it is answered:
    // nothing for the first few failures, then doubling up to a limit. A failure is forgotten
    // after a quarter of an hour, all of an address's after an accepted credential from it.
    int failureDelayMs(const std::string& peer) const;

  private:
    struct Entry;
    Reply refuse(const Message& in, int syncHdrCode, const std::optional<Meta>& chal,
                 int commandCode);
    Reply xmlReply(const Message& m);
    // Writes one traced message (see ServerOptions::traceDir).
    void trace(uint64_t seq, const char* what, const std::string& text);
    // handle() for a message in the XML encoding.
    Reply handleXml(const std::string& url, const std::string& sessionToken,
                    const std::string& body, const std::string& peer);
    Reply beginSession(const Message& in, const std::string& baseUrl, const std::string& peer);
    void endSession(const std::shared_ptr<Entry>& e);
    void reap();
    // Hands the device a fresh nonce (kept in its state) and answers the challenge carrying it.
    std::optional<Meta> challenge(const DeviceAccount& device);

    ServerHost& host_;
    ServerOptions options_;
    void* daemon_ = nullptr;  // MHD_Daemon
    uint16_t port_ = 0;
    bool tls_ = false;
    std::atomic<uint64_t> traceSeq_{0};

    mutable std::mutex m_;
    std::condition_variable cv_;
    // Serialises the read-modify-write of the devices' state files (a session's end and a
    // challenge for the same device may come at once).
    std::mutex stateM_;
    std::map<std::string, std::shared_ptr<Entry>> sessions_;  // by token
    std::map<std::string, std::string> deviceSessions_;       // device id -> token
    bool stopping_ = false;
    std::thread reaper_;

    // Wrong credentials by client address.
    struct Failures {
        int count = 0;
        int64_t lastMs = 0;
    };
    mutable std::mutex failM_;
    std::map<std::string, Failures> failures_;
};

}  // namespace vt::syncml
