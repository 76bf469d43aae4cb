#include "engines/syncml/sync_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "engines/syncml/wbxml.h"
#include "platform/file.h"
#include "platform/text.h"

namespace vt::syncml {

namespace {

constexpr const char* kXmlType = "application/vnd.syncml+xml";
constexpr const char* kWbxmlType = "application/vnd.syncml+wbxml";
constexpr int kStatusUnauthorized = 401;
constexpr int kStatusForbidden = 403;
constexpr int kStatusCredentialsMissing = 407;
constexpr int kStatusBusy = 503;
constexpr int kStatusAuthAccepted = 212;
// Wrong credentials from one address: this many are answered at once, then each waits twice as
// long as the one before, from ServerOptions::wrongPasswordDelayMs up to 32 times that.
constexpr int kFreeFailures = 3;
constexpr int64_t kFailureMemoryMs = 15 * 60 * 1000;
constexpr size_t kFailureAddresses = 4096;  // addresses remembered at most

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The client's IP address, as text; empty when MHD does not know it.
std::string peerAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr) return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (info->client_addr->sa_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(info->client_addr);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    } else if (info->client_addr->sa_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(info->client_addr);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    }
    return text;
}

std::string baseOf(const std::string& uri) {
    const size_t q = uri.find('?');
    return q == std::string::npos ? uri : uri.substr(0, q);
}

// A token naming a session in its address.
std::string makeToken() {
    return makeNonce().substr(0, 16);
}

// The request in progress on one connection.
struct Upload {
    std::string body;
    bool tooLarge = false;
};

}  // namespace

struct SyncServer::Entry {
    std::mutex m;
    DeviceAccount device;
    std::string token;
    std::unique_ptr<ServerSession> session;
    int64_t lastMs = 0;
    bool closed = false;  // ended and taken out of the tables
};

SyncServer::SyncServer(ServerHost& host, ServerOptions options)
    : host_(host),
      options_(std::move(options)),
      tls_(!options_.tlsCertPem.empty() && !options_.tlsKeyPem.empty()) {}

SyncServer::~SyncServer() {
    stop();
}

namespace {

MHD_Result sendReply(MHD_Connection* connection, const SyncServer::Reply& r) {
    MHD_Response* response = MHD_create_response_from_buffer(
        r.body.size(), const_cast<char*>(r.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    if (!r.contentType.empty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.contentType.c_str());
    MHD_Result ret = MHD_queue_response(connection, static_cast<unsigned>(r.httpStatus), response);
    MHD_destroy_response(response);
    return ret;
}

}  // namespace

bool SyncServer::start(std::string* error) {
    if (!options_.traceDir.empty()) {
        // The trace holds notes: a folder only the user can open.
        const std::u16string dir = fromUtf8(options_.traceDir);
        if (plat::createFolders(dir, plat::FolderAccess::OwnerOnly) != 0) {
            *error = "can't make the trace folder " + options_.traceDir;
            return false;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.port);
    if (inet_pton(AF_INET, options_.address.c_str(), &addr.sin_addr) != 1) {
        *error = "not an IPv4 address: " + options_.address;
        return false;
    }
    auto handler = [](void* cls, MHD_Connection* connection, const char* url, const char* method,
                      const char*, const char* uploadData, size_t* uploadSize,
                      void** conCls) -> MHD_Result {
        auto* self = static_cast<SyncServer*>(cls);
        if (std::strcmp(method, "POST") != 0) {
            return sendReply(connection, Reply{405, "text/plain", "POST SyncML messages here\n"});
        }
        if (!*conCls) {
            *conCls = new Upload();
            return MHD_YES;
        }
        auto* up = static_cast<Upload*>(*conCls);
        if (*uploadSize) {
            if (up->body.size() + *uploadSize > self->options_.maxBodyBytes) {
                up->tooLarge = true;
                up->body.clear();
            } else if (!up->tooLarge) {
                up->body.append(uploadData, *uploadSize);
            }
            *uploadSize = 0;
            return MHD_YES;
        }
        if (up->tooLarge) return sendReply(connection, Reply{413, "text/plain", "too large\n"});
        const char* type =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
        const char* token =
            MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "session");
        Reply r;
        try {
            r = self->handle(url, token ? token : "", type ? type : "", up->body,
                             peerAddress(connection));
        } catch (const std::exception& e) {
            r = Reply{500, "text/plain", "internal error\n"};
            self->host_.report(std::string("internal error: ") + e.what());
        }
        return sendReply(connection, r);
    };
    auto completed = [](void*, MHD_Connection*, void** conCls, MHD_RequestTerminationCode) {
        delete static_cast<Upload*>(*conCls);
        *conCls = nullptr;
    };
    unsigned int flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ERROR_LOG;
    std::vector<MHD_OptionItem> tls;
    if (tls_) {
        flags |= MHD_USE_TLS;
        tls.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, options_.tlsCertPem.data()});
        tls.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, options_.tlsKeyPem.data()});
    }
    tls.push_back({MHD_OPTION_END, 0, nullptr});
    auto* d = MHD_start_daemon(
        flags, options_.port, nullptr, nullptr, +handler, this, MHD_OPTION_SOCK_ADDR, &addr,
        MHD_OPTION_NOTIFY_COMPLETED, static_cast<MHD_RequestCompletedCallback>(+completed), nullptr,
        MHD_OPTION_CONNECTION_TIMEOUT, 60u, MHD_OPTION_ARRAY, tls.data(), MHD_OPTION_END);
    if (!d) {
        *error = "can't listen on " + options_.address + ":" + std::to_string(options_.port) +
                 (tls_ ? " (in use, not an address of this machine, or the certificate and key "
                         "are not a PEM pair)"
                       : " (in use, or not an address of this machine)");
        return false;
    }
    daemon_ = d;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : options_.port;
    {
        std::lock_guard<std::mutex> l(m_);
        stopping_ = false;
    }
    reaper_ = std::thread([this] { reap(); });
    return true;
}

void SyncServer::stop() {
    {
        std::lock_guard<std::mutex> l(m_);
        if (stopping_ && !daemon_ && !reaper_.joinable()) return;
        stopping_ = true;
    }
    cv_.notify_all();
    if (reaper_.joinable()) reaper_.join();
    if (daemon_) {
        MHD_stop_daemon(static_cast<MHD_Daemon*>(daemon_));
        daemon_ = nullptr;
    }
    std::vector<std::shared_ptr<Entry>> running;
    {
        std::lock_guard<std::mutex> l(m_);
        for (auto& [token, e] : sessions_) running.push_back(e);
    }
    for (auto& e : running) {
        std::lock_guard<std::mutex> l(e->m);
        if (e->session) e->session->abort(SessionSummary::Cancelled, "the server stopped");
        endSession(e);
    }
}

size_t SyncServer::sessionCount() const {
    std::lock_guard<std::mutex> l(m_);
    return sessions_.size();
}

void SyncServer::reap() {
    std::unique_lock<std::mutex> l(m_);
    while (!stopping_) {
        cv_.wait_for(l, std::chrono::milliseconds(200));
        if (stopping_) break;
        std::vector<std::shared_ptr<Entry>> all;
        for (auto& [token, e] : sessions_) all.push_back(e);
        l.unlock();
        const int64_t now = nowMs();
        for (auto& e : all) {
            std::unique_lock<std::mutex> el(e->m, std::try_to_lock);
            if (!el.owns_lock() || e->closed || !e->session) continue;  // busy with a message
            if (e->session->cancelRequested()) {
                e->session->abort(SessionSummary::Cancelled, "cancelled on the PC");
            } else if (now - e->lastMs > options_.idleTimeoutMs) {
                e->session->abort(SessionSummary::Failed,
                                  "no message from the client for " +
                                      std::to_string(options_.idleTimeoutMs / 1000) + " s");
            }
            if (e->session->ended()) endSession(e);
        }
        l.lock();
    }
}

// Called with e->m held.
void SyncServer::endSession(const std::shared_ptr<Entry>& e) {
    if (e->closed) return;
    e->closed = true;
    {
        std::lock_guard<std::mutex> l(m_);
        sessions_.erase(e->token);
        auto d = deviceSessions_.find(e->device.id);
        if (d != deviceSessions_.end() && d->second == e->token) deviceSessions_.erase(d);
    }
    if (!e->session) return;
    const SessionSummary& s = e->session->summary();
    if (s.outcome == SessionSummary::Finished) {
        std::lock_guard<std::mutex> sl(stateM_);
        DeviceState state = loadDeviceState(e->device.folder);
        state.clientAnchor = e->session->clientNextAnchor();
        state.serverAnchor = e->session->serverNextAnchor();
        std::string error;
        if (!saveDeviceState(e->device.folder, state, &error))
            host_.report("device " + e->device.alias + ": can't keep its anchor (" + error +
                         "); its next session will be slow");
    }
    host_.sessionEnded(e->device, s);
}

SyncServer::Reply SyncServer::xmlReply(const Message& m) {
    return Reply{200, kXmlType, writeXml(m)};
}

// A reply that refuses a whole message: the SyncHdr's status and the same code for every
// command, and no session.
SyncServer::Reply SyncServer::refuse(const Message& in, int syncHdrCode,
                                     const std::optional<Meta>& chal, int commandCode) {
    Message reply;
    reply.header.sessionId = in.header.sessionId;
    reply.header.msgId = "1";
    reply.header.target = in.header.source;
    reply.header.source = in.header.target;
    int id = 0;
    reply.commands.push_back(headerStatus(in, std::to_string(++id), syncHdrCode, chal));
    for (const Command& c : in.commands) {
        if (c.kind == CommandKind::Status || c.noResp) continue;
        reply.commands.push_back(commandStatus(in, c, std::to_string(++id), commandCode));
    }
    reply.final = true;
    return xmlReply(reply);
}

std::optional<Meta> SyncServer::challenge(const DeviceAccount& device) {
    std::lock_guard<std::mutex> l(stateM_);
    DeviceState state = loadDeviceState(device.folder);
    state.nonce = makeNonce();
    std::string error;
    if (!saveDeviceState(device.folder, state, &error))
        host_.report("device " + device.alias + ": can't keep its nonce (" + error + ")");
    Meta chal;
    chal.type = "syncml:auth-md5";
    chal.format = "b64";
    chal.nextNonce = base64(state.nonce);
    return chal;
}

void SyncServer::trace(uint64_t seq, const char* what, const std::string& text) {
    // The client's credentials never reach the trace: with basic authentication they are the
    // password itself.
    std::string out = text;
    for (size_t from = 0;;) {
        const size_t open = out.find("<Cred>", from);
        if (open == std::string::npos) break;
        const size_t close = out.find("</Cred>", open);
        if (close == std::string::npos) {
            out.erase(open);
            break;
        }
        out.replace(open, close - open, "<Cred><!-- removed from the trace -->");
        from = open + 1;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%06llu-%s", static_cast<unsigned long long>(seq), what);
    std::ofstream f(options_.traceDir + "/" + name, std::ios::binary | std::ios::trunc);
    f << out;
    if (!f) host_.report(std::string("can't write the trace file ") + name);
}

SyncServer::Reply SyncServer::handle(const std::string& url, const std::string& sessionToken,
                                     const std::string& contentType, const std::string& body,
                                     const std::string& peer) {
    const bool wbxml = contentType.rfind(kWbxmlType, 0) == 0;
    if (!wbxml && contentType.rfind(kXmlType, 0) != 0)
        return Reply{
            415, "text/plain",
            "send SyncML messages as " + std::string(kXmlType) + " or " + kWbxmlType + "\n"};
    const bool tracing = !options_.traceDir.empty();
    const uint64_t seq = tracing ? ++traceSeq_ : 0;
    // A WBXML message is answered in WBXML: the same session, through the XML codec.
    std::string xml, error;
    if (wbxml && !wbxmlToXml(body, &xml, &error)) {
        // Its bytes are not kept: undecoded, the credentials in them could not be removed.
        if (tracing)
            trace(seq, "request.txt",
                  "undecodable WBXML of " + std::to_string(body.size()) + " bytes: " + error);
        host_.report("a malformed message was refused: " + error);
        return Reply{400, "text/plain", "malformed SyncML message: " + error + "\n"};
    }
    const std::string& text = wbxml ? xml : body;
    if (tracing) trace(seq, "request.xml", text);
    Reply r = handleXml(url, sessionToken, text, peer);
    if (tracing) trace(seq, r.contentType == kXmlType ? "response.xml" : "response.txt", r.body);
    if (!wbxml || r.contentType != kXmlType) return r;
    std::string encoded;
    if (!xmlToWbxml(r.body, &encoded, &error)) {
        host_.report("can't encode an answer as WBXML: " + error);
        return Reply{500, "text/plain", error + "\n"};
    }
    return Reply{r.httpStatus, kWbxmlType, std::move(encoded)};
}

SyncServer::Reply SyncServer::handleXml(const std::string& url, const std::string& sessionToken,
                                        const std::string& body, const std::string& peer) {
    Message in;
    std::string error;
    if (!parseXml(body, &in, &error)) {
        host_.report("a malformed message was refused: " + error);
        return Reply{400, "text/plain", "malformed SyncML message: " + error + "\n"};
    }
    if (sessionToken.empty()) return beginSession(in, baseOf(in.header.target), peer);

    std::shared_ptr<Entry> e;
    {
        std::lock_guard<std::mutex> l(m_);
        auto it = sessions_.find(sessionToken);
        if (it != sessions_.end()) e = it->second;
    }
    if (!e) return refuse(in, 404, std::nullopt, 404);  // ended, timed out, or never was
    std::lock_guard<std::mutex> l(e->m);
    if (e->closed || !e->session) return refuse(in, 404, std::nullopt, 404);
    if (in.header.source != e->device.id || in.header.sessionId != e->session->clientSessionId()) {
        host_.report("a message for another device's session was refused");
        return refuse(in, kStatusForbidden, std::nullopt, kStatusForbidden);
    }
    e->lastMs = nowMs();
    Message reply = e->session->handle(in, 200, std::nullopt);
    Reply r = xmlReply(reply);
    if (e->session->ended()) endSession(e);
    return r;
}

int SyncServer::failureDelayMs(const std::string& peer) const {
    std::lock_guard<std::mutex> l(failM_);
    auto it = failures_.find(peer);
    if (it == failures_.end() || nowMs() - it->second.lastMs > kFailureMemoryMs) return 0;
    const int over = it->second.count - kFreeFailures;
    if (over <= 0) return 0;
    const int64_t base = options_.wrongPasswordDelayMs;
    return static_cast<int>(std::min(base * 32, base << std::min(over - 1, 5)));
}

SyncServer::Reply SyncServer::beginSession(const Message& in, const std::string& baseUrl,
                                           const std::string& peer) {
    DeviceAccount device;
    if (!host_.findDevice(in.header.source, &device)) {
        host_.report("refused device " + in.header.source +
                     ": unknown here (add it with `vantrel device add " + in.header.source +
                     " --alias NAME`)");
        return refuse(in, kStatusForbidden, std::nullopt, kStatusForbidden);
    }
    // Credentials, checked against the nonce handed out last.
    DeviceState state = loadDeviceState(device.folder);
    bool ok = false;
    int code = kStatusCredentialsMissing;
    if (in.header.cred) {
        code = kStatusUnauthorized;
        const AuthType type = authType(in.header.cred->meta.type);
        // Until the server has handed the device a nonce, the client's first credential uses an
        // empty one: that is the device's nonce then, replaced as soon as it is used.
        if (type == AuthType::Md5)
            ok = checkMd5(device.secret, state.nonce, in.header.cred->data, in.header.sourceName);
        else if (type == AuthType::Basic)
            ok = checkBasic(device.secret, in.header.cred->data);
    }
    if (!ok) {
        host_.report("device " + device.alias + " (" + device.id + "): " +
                     (code == kStatusCredentialsMissing ? "no credentials" : "wrong credentials") +
                     ", challenged");
        Reply refusal = refuse(in, code, challenge(device), code);
        if (code == kStatusUnauthorized && !peer.empty()) {
            // Guessing passwords gets slow: wrong credentials from one address are answered
            // later and later (a stop of the server ends the wait).
            {
                std::lock_guard<std::mutex> l(failM_);
                const int64_t now = nowMs();
                if (failures_.size() > kFailureAddresses) {
                    std::erase_if(failures_, [&](const auto& f) {
                        return now - f.second.lastMs > kFailureMemoryMs;
                    });
                    if (failures_.size() > kFailureAddresses) failures_.clear();
                }
                Failures& f = failures_[peer];
                if (now - f.lastMs > kFailureMemoryMs) f.count = 0;
                ++f.count;
                f.lastMs = now;
            }
            if (const int delay = failureDelayMs(peer); delay > 0) {
                std::unique_lock<std::mutex> l(m_);
                cv_.wait_for(l, std::chrono::milliseconds(delay), [&] { return stopping_; });
            }
        }
        return refusal;
    }
    if (!peer.empty()) {
        std::lock_guard<std::mutex> l(failM_);
        failures_.erase(peer);
    }
    // One session per device. A client runs one session at a time, so a new one from the
    // device means it gave up the old one: that one fails (what the module applied stays)
    // unless it is answering a message right now.
    std::shared_ptr<Entry> previous;
    bool stopping = false;
    {
        std::lock_guard<std::mutex> l(m_);
        stopping = stopping_;
        auto d = deviceSessions_.find(device.id);
        if (d != deviceSessions_.end()) {
            auto s = sessions_.find(d->second);
            if (s != sessions_.end()) previous = s->second;
        }
    }
    // Accepted credentials are never good twice: a refusal from here on hands out a new nonce.
    if (stopping) return refuse(in, kStatusBusy, challenge(device), kStatusBusy);
    if (previous) {
        std::unique_lock<std::mutex> pl(previous->m, std::try_to_lock);
        if (pl.owns_lock() && !previous->closed) {
            previous->session->abort(SessionSummary::Failed,
                                     "the client began a new session without ending this one");
            endSession(previous);
        }
    }
    {
        std::lock_guard<std::mutex> l(m_);
        if (deviceSessions_.count(device.id)) {
            host_.report("device " + device.alias + ": refused a second session while one runs");
            return refuse(in, kStatusBusy, challenge(device), kStatusBusy);
        }
        deviceSessions_[device.id] = "";  // claimed; the token follows
    }
    auto release = [&] {
        std::lock_guard<std::mutex> l(m_);
        deviceSessions_.erase(device.id);
    };
    std::string why;
    com_ptr<DeviceEngine> engine = host_.startModuleSession(device, &why);
    if (!engine) {
        release();
        host_.report("device " + device.alias + ": the session was not started: " + why);
        return refuse(in, kStatusAuthAccepted, challenge(device), kStatusBusy);
    }
    auto e = std::make_shared<Entry>();
    e->device = device;
    e->token = makeToken();
    e->lastMs = nowMs();
    SessionDevice sd{device.id, device.alias, false};
    e->session = std::make_unique<ServerSession>(sd, state.clientAnchor, state.serverAnchor,
                                                 in.header.target, baseUrl + "?session=" + e->token,
                                                 options_.maxMsgSize);
    std::lock_guard<std::mutex> el(e->m);
    if (!e->session->attach(std::move(engine))) {
        release();
        host_.report("device " + device.alias + ": the module did not start a session");
        return refuse(in, kStatusAuthAccepted, challenge(device), kStatusBusy);
    }
    {
        std::lock_guard<std::mutex> l(m_);
        sessions_[e->token] = e;
        deviceSessions_[device.id] = e->token;
    }
    Message reply = e->session->handle(in, kStatusAuthAccepted, challenge(device));
    Reply r = xmlReply(reply);
    if (e->session->ended()) endSession(e);
    return r;
}

}  // namespace vt::syncml
