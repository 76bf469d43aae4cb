#include "engines/syncml/device_engine.h"

#include <cstring>
#include <new>

#include "platform/text.h"
#include "util/byte_array_variant.h"

namespace vt::syncml {

namespace {

std::string utf8(BSTR s) {
    return s ? vt::toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(s)))
             : std::string();
}

}  // namespace

com_ptr<DeviceEngine> DeviceEngine::create() {
    com_ptr<DeviceEngine> p;
    p.attach(new DeviceEngine());
    return p;
}

HRESULT DeviceEngine::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, vantrel::IID_ISyncEngine)) {
        *ppv = static_cast<vantrel::ISyncEngine*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG DeviceEngine::AddRef() {
    return ++refs_;
}

ULONG DeviceEngine::Release() {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
}

HRESULT DeviceEngine::queue(PcChange::Kind kind, BSTR id, const VARIANT* data, ULONG* pCmdId) {
    if (!pCmdId) return E_POINTER;
    try {
        PcChange c;
        c.kind = kind;
        c.id = utf8(id);
        if (data && !variantBytes(*data, &c.bytes)) return E_INVALIDARG;
        std::lock_guard<std::mutex> l(m_);
        c.cmdId = nextCmd_++;
        *pCmdId = c.cmdId;
        queue_.emplace(c.cmdId, std::move(c));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT DeviceEngine::AddItem(BSTR, BSTR localId, BSTR, BSTR, BSTR, VARIANT data, ULONG* pCmdId) {
    return queue(PcChange::Add, localId, &data, pCmdId);
}

HRESULT DeviceEngine::DeleteItem(BSTR, BSTR luid, LONG, LONG, BSTR, ULONG* pCmdId) {
    return queue(PcChange::Delete, luid, nullptr, pCmdId);
}

HRESULT DeviceEngine::ReplaceItem(BSTR, BSTR luid, BSTR, BSTR, BSTR, VARIANT data, ULONG* pCmdId) {
    return queue(PcChange::Replace, luid, &data, pCmdId);
}

HRESULT DeviceEngine::WithdrawItem(BSTR, ULONG cmdId) {
    std::lock_guard<std::mutex> l(m_);
    if (queue_.erase(cmdId)) return S_OK;
    auto t = taken_.find(cmdId);
    if (t != taken_.end() && !t->second) {
        t->second = true;
        return S_OK;
    }
    return S_FALSE;
}

HRESULT DeviceEngine::StartSync(LONG alertCode, BSTR, BSTR, BSTR lastAnchor, BSTR nextAnchor, LONG,
                                vantrel::ISyncEngineCallback* pCallback, ULONG* pSession) {
    if (!pCallback) return E_POINTER;
    try {
        std::lock_guard<std::mutex> l(m_);
        if (start_) return E_UNEXPECTED;
        ModuleStart s;
        s.alert = alertCode;
        s.lastAnchor = utf8(lastAnchor);
        s.nextAnchor = utf8(nextAnchor);
        s.session = ++sessions_;
        if (pSession) *pSession = s.session;
        start_ = std::move(s);
        callback_ = com_ptr<vantrel::ISyncEngineCallback>(pCallback);
        cancel_ = false;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT DeviceEngine::Cancel(UINT) {
    std::lock_guard<std::mutex> l(m_);
    cancel_ = true;
    return S_OK;
}

bool DeviceEngine::takeStart(ModuleStart* start, com_ptr<vantrel::ISyncEngineCallback>* callback,
                             std::vector<PcChange>* changes) {
    std::lock_guard<std::mutex> l(m_);
    if (!start_) return false;
    *start = std::move(*start_);
    start_.reset();
    *callback = std::move(callback_);
    changes->clear();
    taken_.clear();
    for (auto& [id, c] : queue_) {
        taken_.emplace(id, false);
        changes->push_back(std::move(c));
    }
    queue_.clear();
    return true;
}

bool DeviceEngine::takeCancel() {
    std::lock_guard<std::mutex> l(m_);
    return std::exchange(cancel_, false);
}

bool DeviceEngine::withdrawn(ULONG cmdId) const {
    std::lock_guard<std::mutex> l(m_);
    auto t = taken_.find(cmdId);
    return t != taken_.end() && t->second;
}

}  // namespace vt::syncml
