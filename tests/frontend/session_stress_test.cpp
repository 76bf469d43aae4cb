// Sessions back to back through the component object, each started by the host from inside the
// previous session's final notification, for two phones at once: no deadlock, no lost or
// doubled note, and every reference given back. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

#include "controller/notify_converter.h"
#include "frontend/notes_sml.h"
#include "platform/com_raii.h"
#include "platform/find.h"
#include "platform/format.h"
#include "platform/path.h"
#include "platform/text.h"
#include "tests/support/fakes.h"

namespace vt {
namespace {

using test::FakeEngine;
using test::RefCounted;

constexpr int kSessions = 500;

// A host that starts the next session from inside the final notification of the previous
// one, until it has seen kSessions of them. Every fifth session it first writes a new note.
class ChainingHost : public vantrel::IDataStoreNotify, public RefCounted {
  public:
    ChainingHost(vantrel::IDataStore* ds, std::u16string notesFolder)
        : ds_(ds), notesFolder_(std::move(notesFolder)) {}

    // Starts the first session; the rest follow on their own.
    HRESULT start() { return next(true); }
    // Waits until kSessions sessions ended; false on timeout.
    bool waitForAll(int timeoutMs) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                            [&] { return ended_ >= kSessions || failed_; });
    }
    int ended() {
        std::lock_guard<std::mutex> l(m_);
        return ended_;
    }
    bool failed() {
        std::lock_guard<std::mutex> l(m_);
        return failed_;
    }
    int notesWritten() const { return written_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, vantrel::IID_IDataStoreNotify)) {
            *ppv = static_cast<vantrel::IDataStoreNotify*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE NotifySyncStatus(UINT, LONG state, LONG result, LONG, LONG,
                                               LONG) override {
        if (state != vantrel::kSyncStateEnded) return S_OK;
        bool more, writeNote;
        {
            std::lock_guard<std::mutex> l(m_);
            if (result != 0) failed_ = true;
            more = ++ended_ < kSessions && !failed_;
            writeNote = ended_ % 5 == 0;
        }
        cv_.notify_all();
        if (more && FAILED(next(writeNote))) {
            std::lock_guard<std::mutex> l(m_);
            failed_ = true;
            cv_.notify_all();
        }
        return S_OK;
    }

  private:
    // Only one session of a phone runs at a time, so written_ has one user at a time.
    HRESULT next(bool writeNote) {
        if (writeNote) {
            test::writeFileBytes(plat::joinPath(notesFolder_, format(u"pc-%d.txt", written_)),
                                 "note " + std::to_string(written_));
            ++written_;
        }
        unique_bstr path(u"p");
        UINT id = 0;
        return ds_->Synchronize(path.get(), static_cast<vantrel::IDataStoreNotify*>(this), &id);
    }

    vantrel::IDataStore* ds_;
    const std::u16string notesFolder_;
    std::mutex m_;
    std::condition_variable cv_;
    int ended_ = 0;
    bool failed_ = false;
    int written_ = 0;
};

class SessionStressTest : public test::PhoneSandbox {
  protected:
    struct Phone {
        std::u16string imei, alias;
        FakeEngine engine;
        com_ptr<vantrel::IDataStore> ds;
        std::unique_ptr<ChainingHost> host;
        std::atomic<size_t> acknowledged{0};
        std::atomic<int> phoneNotes{0};
    };

    void bind(Phone& p, const std::u16string& imei, const std::u16string& alias) {
        p.imei = imei;
        p.alias = alias;
        addPhone(alias);
        ASSERT_EQ(CNotesSml::CreateInstance(nullptr, vantrel::IID_IDataStore, p.ds.put_void()),
                  S_OK);
        auto init = p.ds.try_query<vantrel::ISyncInitialize>(vantrel::IID_ISyncInitialize);
        unique_bstr i(imei), a(alias), d(u"Notes");
        ASSERT_EQ(init->Initialize(i.get(), a.get(), d.get(), &p.engine), S_OK);
        p.host = std::make_unique<ChainingHost>(p.ds.get(), notesFolder(alias));
        // The phone takes whatever the PC sent since the last session, and every seventh
        // session sends a note of its own.
        p.engine.overlapSessions = true;
        p.engine.script = [&p](vantrel::ISyncEngineCallback* cb) {
            cb->SyncStatusStarted();
            const size_t from = p.acknowledged.exchange(p.engine.items.size());
            EXPECT_EQ(p.engine.acknowledge(from, cb), S_OK);
            if (p.engine.starts % 7 == 0) {
                const int n = p.phoneNotes++;
                auto v = test::bytesVariant("phone note " + std::to_string(n));
                std::u16string luid = format(u"ph%d", n);
                LONG status = 0;
                EXPECT_EQ(cb->ClientCmdAddItem(0, 1, 0, toOleStr(luid), 0, 0, 0, *v.get(), &status),
                          S_OK);
            }
            cb->SyncStatusPackageSent(0, 1, 1);
            cb->SyncStatusFinished();
        };
    }

    std::set<std::u16string> notes(const std::u16string& alias) {
        std::set<std::u16string> names;
        for (const auto& e : plat::findFiles(plat::joinPath(notesFolder(alias), u"*.txt")))
            if (!e.isDirectory) names.insert(e.name);
        return names;
    }
};

TEST_F(SessionStressTest, SessionsChainedFromTheFinalNotificationForTwoPhones) {
    Phone a, b;
    bind(a, u"IMEI:1001", u"anna");
    bind(b, u"IMEI:1002", u"ben");
    ASSERT_EQ(a.host->start(), S_OK);
    ASSERT_EQ(b.host->start(), S_OK);
    EXPECT_TRUE(a.host->waitForAll(300000)) << "anna: " << a.host->ended();
    EXPECT_TRUE(b.host->waitForAll(300000)) << "ben: " << b.host->ended();

    for (Phone* p : {&a, &b}) {
        p->engine.join();
        EXPECT_FALSE(p->host->failed());
        EXPECT_EQ(p->engine.starts, kSessions);
    }
    ASSERT_TRUE(CNotifyConverter::waitForDeliveries(10000));
    for (Phone* p : {&a, &b}) {
        // Every PC note went to the phone exactly once, and every phone note is on the PC once.
        std::set<std::u16string> sent;
        for (const auto& item : p->engine.items) {
            EXPECT_EQ(item.kind, FakeEngine::Item::Add);
            EXPECT_TRUE(sent.insert(std::u16string(item.data.begin(), item.data.end())).second);
        }
        EXPECT_EQ(sent.size(), static_cast<size_t>(p->host->notesWritten()));
        EXPECT_EQ(notes(p->alias).size(),
                  static_cast<size_t>(p->host->notesWritten() + p->phoneNotes.load()));
        p->ds.reset();
        p->engine.releaseCallback();
        EXPECT_EQ(p->host->refs(), 0);
        EXPECT_EQ(p->engine.refs(), 0);
    }
}

}  // namespace
}  // namespace vt
