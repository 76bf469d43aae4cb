#include "tests/support/fakes.h"

#include <chrono>
#include <stdexcept>

#include "platform/file.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/special_folders.h"
#include "util/byte_array_variant.h"

namespace vt::test {

unique_variant bytesVariant(const std::string& bytes) {
    unique_variant v;
    v->vt = VT_ARRAY | VT_UI1;
    v->parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    void* data = nullptr;
    SafeArrayAccessData(v->parray, &data);
    if (!bytes.empty()) memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(v->parray);
    return v;
}

std::string variantBytes(const VARIANT& v) {
    if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray) return {};
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(v.parray, &data))) return {};
    std::string out(static_cast<const char*>(data), v.parray->rgsabound[0].cElements);
    SafeArrayUnaccessData(v.parray);
    return out;
}

FakeEngine::~FakeEngine() {
    join();
    releaseCallback();
}

void FakeEngine::releaseCallback() {
    if (callback_) {
        callback_->Release();
        callback_ = nullptr;
    }
}

void FakeEngine::join() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> l(m_);
        threads.swap(earlier_);
        if (session_.joinable()) threads.push_back(std::move(session_));
    }
    for (auto& t : threads) t.join();
}

HRESULT FakeEngine::acknowledge(size_t from, vantrel::ISyncEngineCallback* cb) {
    if (!cb) cb = callback_;
    HRESULT result = S_OK;
    auto settle = [&](HRESULT hr) {
        if (SUCCEEDED(result)) result = hr;
    };
    for (size_t i = from; i < items.size(); ++i) {
        const Item item = items[i];
        if (item.kind == Item::Add) {
            std::u16string luid = u"p" + item.luid;
            settle(cb->ClientMapItemAdded(0, reinterpret_cast<const OLECHAR*>(luid.c_str()),
                                          reinterpret_cast<const OLECHAR*>(item.luid.c_str())));
            settle(cb->ClientCmdStatus(item.cmdId, 201));
        } else {
            settle(cb->ClientCmdStatus(item.cmdId, 200));
        }
    }
    return result;
}

HRESULT FakeEngine::QueryInterface(REFIID riid, void** ppv) {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, vantrel::IID_ISyncEngine)) {
        *ppv = static_cast<vantrel::ISyncEngine*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT FakeEngine::queue(Item::Kind kind, BSTR luid, const VARIANT* data, ULONG* cmdId, int slot) {
    std::lock_guard<std::mutex> l(m_);
    slots.push_back(slot);
    *cmdId = nextCmd_++;
    items.push_back(Item{kind, fromBstr(luid), data ? variantBytes(*data) : std::string(), *cmdId});
    return S_OK;
}

HRESULT FakeEngine::AddItem(BSTR, BSTR luid, BSTR, BSTR, BSTR, VARIANT data, ULONG* cmdId) {
    return queue(Item::Add, luid, &data, cmdId, 7);
}

HRESULT FakeEngine::DeleteItem(BSTR, BSTR luid, LONG, LONG, BSTR, ULONG* cmdId) {
    return queue(Item::Delete, luid, nullptr, cmdId, 9);
}

HRESULT FakeEngine::WithdrawItem(BSTR, ULONG cmdId) {
    std::lock_guard<std::mutex> l(m_);
    slots.push_back(10);
    withdrawn.push_back(cmdId);
    return S_OK;
}

HRESULT FakeEngine::ReplaceItem(BSTR, BSTR luid, BSTR, BSTR, BSTR, VARIANT data, ULONG* cmdId) {
    return queue(Item::Replace, luid, &data, cmdId, 11);
}

HRESULT FakeEngine::StartSync(LONG alertCode, BSTR, BSTR, BSTR last, BSTR next, LONG,
                              vantrel::ISyncEngineCallback* cb, ULONG* session) {
    if (overlapSessions) {
        std::lock_guard<std::mutex> l(m_);
        if (session_.joinable()) earlier_.push_back(std::move(session_));
    } else {
        join();
    }
    {
        std::lock_guard<std::mutex> l(m_);
        slots.push_back(13);
        if (FAILED(startResult)) return startResult;
        alert = alertCode;
        lastAnchor = fromBstr(last);
        nextAnchor = fromBstr(next);
        ++starts;
    }
    releaseCallback();
    callback_ = cb;
    if (cb) cb->AddRef();
    if (session) *session = static_cast<ULONG>(starts);
    if (script && cb) {
        cb->AddRef();
        Script s = script;
        // Under the lock: with overlapping sessions the next StartSync may come from a thread
        // that this session starts.
        std::lock_guard<std::mutex> l(m_);
        if (session_.joinable()) earlier_.push_back(std::move(session_));
        session_ = std::thread([s, cb] {
            s(cb);
            cb->Release();
        });
    }
    return S_OK;
}

HRESULT FakeEngine::Cancel(UINT id) {
    std::lock_guard<std::mutex> l(m_);
    slots.push_back(14);
    cancels.push_back(id);
    if (cancelThrows) throw std::runtime_error("engine failure");
    return cancelResult;
}

std::vector<FakeNotify::Call> FakeNotify::calls() {
    std::lock_guard<std::mutex> l(m_);
    return calls_;
}

bool FakeNotify::waitFor(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> l(m_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                        [&] { return calls_.size() >= n; });
}

HRESULT FakeNotify::QueryInterface(REFIID riid, void** ppv) {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, vantrel::IID_IDataStoreNotify)) {
        *ppv = static_cast<vantrel::IDataStoreNotify*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

void FakeNotify::holdDeliveries() {
    std::lock_guard<std::mutex> l(m_);
    held_ = true;
}

void FakeNotify::releaseDeliveries() {
    {
        std::lock_guard<std::mutex> l(m_);
        held_ = false;
    }
    cv_.notify_all();
}

HRESULT FakeNotify::NotifySyncStatus(UINT id, LONG state, LONG result, LONG p1, LONG p2,
                                     LONG items) {
    {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [&] { return !held_; });
    }
    if (delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    {
        std::lock_guard<std::mutex> l(m_);
        calls_.push_back(Call{id, state, result, p1, p2, items});
    }
    cv_.notify_all();
    if (throws) throw std::runtime_error("host failure");
    return S_OK;
}

namespace {

bool isByteArray(const VARIANT& v) {
    if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray || SafeArrayGetDim(v.parray) != 1) return false;
    LONG lower = -1;
    return SUCCEEDED(SafeArrayGetLBound(v.parray, 1, &lower)) && lower == 0;
}

}  // namespace

std::vector<FakeSink::Call> FakeSink::calls() {
    std::lock_guard<std::mutex> l(m_);
    return calls_;
}

std::vector<FakeSink::Call> FakeSink::calls(Kind kind) {
    std::vector<Call> out;
    for (auto& c : calls())
        if (c.kind == kind) out.push_back(c);
    return out;
}

std::vector<FakeSink::Kind> FakeSink::kinds() {
    std::vector<Kind> out;
    for (auto& c : calls()) out.push_back(c.kind);
    return out;
}

bool FakeSink::waitForEnd(int timeoutMs) {
    std::unique_lock<std::mutex> l(m_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
        for (const auto& c : calls_)
            if (c.kind == Finished || c.kind == Canceled || c.kind == Failed) return true;
        return false;
    });
}

HRESULT FakeSink::handle(Call call, LONG* pStatus, HRESULT fixed) {
    if (inside_++ > 0) overlapped_ = true;
    call.thread = std::this_thread::get_id();
    HRESULT hr = fixed;
    if (pStatus) {
        *pStatus = call.kind == Add ? 201 : 200;
        if (respond) hr = respond(call, pStatus);
        call.status = *pStatus;
    }
    call.result = hr;
    {
        std::lock_guard<std::mutex> l(m_);
        calls_.push_back(call);
    }
    cv_.notify_all();
    if (onCall) onCall(call);
    --inside_;
    return hr;
}

HRESULT FakeSink::QueryInterface(REFIID riid, void** ppv) {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, vantrel::IID_ISyncEngineCallback)) {
        *ppv = static_cast<vantrel::ISyncEngineCallback*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT FakeSink::ClientCmdAlert(LONG alertCode, LONG, LONG, LONG, const OLECHAR* lastAnchor,
                                 const OLECHAR* nextAnchor, LONG* pStatus) {
    Call c(Alert);
    c.code = alertCode;
    c.text = fromOleStr(lastAnchor);
    c.text2 = fromOleStr(nextAnchor);
    return handle(c, pStatus, S_OK);
}

HRESULT FakeSink::ClientCmdAddItem(LONG, ULONG cmdId, LONG, const OLECHAR* luid, LONG, LONG, LONG,
                                   VARIANT content, LONG* pStatus) {
    Call c(Add);
    c.cmdId = cmdId;
    c.text = fromOleStr(luid);
    c.data = variantBytes(content);
    c.byteArray = isByteArray(content);
    return handle(c, pStatus, S_OK);
}

HRESULT FakeSink::ClientCmdDeleteItem(LONG, ULONG cmdId, LONG, const OLECHAR* luid, LONG, LONG,
                                      LONG, LONG* pStatus) {
    Call c(Delete);
    c.cmdId = cmdId;
    c.text = fromOleStr(luid);
    return handle(c, pStatus, S_OK);
}

HRESULT FakeSink::ClientCmdReplaceItem(LONG, ULONG cmdId, LONG, const OLECHAR* luid, LONG, LONG,
                                       LONG, VARIANT content, LONG* pStatus) {
    Call c(Replace);
    c.cmdId = cmdId;
    c.text = fromOleStr(luid);
    c.data = variantBytes(content);
    c.byteArray = isByteArray(content);
    return handle(c, pStatus, S_OK);
}

HRESULT FakeSink::ClientCmdCopyItem(LONG, LONG, LONG, LONG, LONG, LONG, LONG) {
    return handle(Call(Copy), nullptr, E_NOTIMPL);
}

HRESULT FakeSink::ClientCmdGetItem(LONG, ULONG cmdId, LONG, const OLECHAR* luid, LONG, LONG,
                                   VARIANT*, LONG* pStatus) {
    Call c(Get);
    c.cmdId = cmdId;
    c.text = fromOleStr(luid);
    if (pStatus) *pStatus = 501;
    return handle(c, nullptr, E_FAIL);
}

HRESULT FakeSink::ClientCmdRollbackItem(LONG, LONG) {
    return handle(Call(Rollback), nullptr, E_NOTIMPL);
}

HRESULT FakeSink::ClientCmdStatus(ULONG cmdId, ULONG status) {
    Call c(Status);
    c.cmdId = cmdId;
    c.code = static_cast<LONG>(status);
    return handle(c, nullptr, S_OK);
}

HRESULT FakeSink::ClientResultGet(LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG) {
    return handle(Call(ResultGet), nullptr, E_NOTIMPL);
}

HRESULT FakeSink::ClientMapItemAdded(LONG, const OLECHAR* luid, const OLECHAR* localLuid) {
    Call c(Map);
    c.text = fromOleStr(luid);
    c.text2 = fromOleStr(localLuid);
    return handle(c, nullptr, S_OK);
}

HRESULT FakeSink::ClientReserved1() {
    return handle(Call(Reserved), nullptr, E_NOTIMPL);
}
HRESULT FakeSink::ClientReserved2() {
    return handle(Call(Reserved), nullptr, E_NOTIMPL);
}
HRESULT FakeSink::SyncStatusStarted() {
    return handle(Call(Started), nullptr, S_OK);
}
HRESULT FakeSink::SyncStatusPaused() {
    return handle(Call(Paused), nullptr, E_NOTIMPL);
}
HRESULT FakeSink::SyncStatusResumed() {
    return handle(Call(Resumed), nullptr, E_NOTIMPL);
}
HRESULT FakeSink::SyncStatusCanceled() {
    return handle(Call(Canceled), nullptr, S_OK);
}

HRESULT FakeSink::SyncStatusPackageSent(LONG, LONG progress1, LONG progress2) {
    Call c(PackageSent);
    c.code = progress1;
    c.code2 = progress2;
    return handle(c, nullptr, S_OK);
}

HRESULT FakeSink::SyncStatusPackageGet(LONG) {
    return handle(Call(PackageGet), nullptr, S_OK);
}

HRESULT FakeSink::SyncStatusFailed(LONG errorCode) {
    Call c(Failed);
    c.code = errorCode;
    return handle(c, nullptr, S_OK);
}

HRESULT FakeSink::SyncStatusFinished() {
    return handle(Call(Finished), nullptr, S_OK);
}

PhoneSandbox::PhoneSandbox() {
    plat::createDirectory(home_ / u"phones");
    addPhone(alias_);
    plat::RegKey key;
    EXPECT_EQ(
        plat::RegKey::root(plat::RegRoot::CurrentUser).create(u"Software\\Orvane\\Morvex", &key),
        plat::kErrorSuccess);
    EXPECT_EQ(key.setString(u"Root", home_ / u"phones"), plat::kErrorSuccess);
    setLanguage(u"en");
}

void PhoneSandbox::addPhone(const std::u16string& alias) {
    plat::createDirectory(phoneFolder(alias));
}

std::u16string PhoneSandbox::phoneFolder(const std::u16string& alias) const {
    return plat::joinPath(home_ / u"phones", alias);
}

std::u16string PhoneSandbox::notesFolder(const std::u16string& alias) const {
    return plat::joinPath(phoneFolder(alias), u"Notes");
}

std::u16string PhoneSandbox::storeFolder(const std::u16string& imei) const {
    std::u16string appData;
    plat::appDataFolder(true, &appData);
    return plat::joinPath(plat::joinPath(plat::joinPath(appData, u"Morvex"), imei), u"NotesDB");
}

void PhoneSandbox::setLanguage(const std::u16string& quorril) {
    plat::RegKey key;
    EXPECT_EQ(
        plat::RegKey::root(plat::RegRoot::LocalMachine).create(u"Software\\Orvane\\Quorril", &key),
        plat::kErrorSuccess);
    EXPECT_EQ(key.setString(u"Current Language", quorril), plat::kErrorSuccess);
}

}  // namespace vt::test
