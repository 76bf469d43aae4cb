// The engine callback sink CNotifyConverter: argument conversion, the debug copy of received
// items, the host notifications with their threads, and the reference counts of the engine and
// the host's notification object over whole sessions.
#include "controller/notify_converter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>

#include "controller/notes_controller.h"
#include "frontend/controller_registry.h"
#include "frontend/notes_sml.h"
#include "platform/com_raii.h"
#include "platform/find.h"
#include "platform/path.h"
#include "platform/text.h"
#include "tests/support/fakes.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using test::bytesVariant;
using test::FakeEngine;
using test::FakeNotify;
using test::readFileBytes;

class NotifyConverterTest : public test::PhoneSandbox {
  protected:
    static constexpr uint32_t kId = 41;

    void SetUp() override {
        ASSERT_EQ(plat::createDirectory(work()), 0);
        cwd_.emplace(work());  // debug copies land here
        c_ = std::make_unique<CNotesController>(CFactory::keyOf(imei_), alias_, kId, &engine_);
    }
    void TearDown() override {
        engine_.join();
        c_.reset();
        EXPECT_TRUE(CNotifyConverter::waitForDeliveries(5000));
        CNotifyConverter::setFinalNotifyWaitMs(10000);
        cwd_.reset();
    }

    // Starts a session of c_ whose host object is notify (or none); the engine holds the sink.
    CNotifyConverter* start(IUnknown* notify) {
        c_->setNotify(notify);
        EXPECT_EQ(c_->synchronize(), S_OK);
        return static_cast<CNotifyConverter*>(engine_.callback());
    }
    std::u16string work() const { return cwdRoot_ / u"work"; }
    std::u16string inWork(const std::u16string& name) const { return plat::joinPath(work(), name); }
    std::vector<std::u16string> notes() {
        std::vector<std::u16string> names;
        for (const auto& e : plat::findFiles(plat::joinPath(notesFolder(alias_), u"*.txt")))
            if (!e.isDirectory) names.push_back(e.name);
        return names;
    }

    test::TempDir cwdRoot_;
    std::optional<test::ScopedCurrentPath> cwd_;
    FakeNotify notify_;
    FakeEngine engine_;
    std::unique_ptr<CNotesController> c_;
};

TEST_F(NotifyConverterTest, HostileLuidsNeverWriteOutsideTheCurrentFolder) {
    CNotifyConverter* cb = start(nullptr);
    const std::u16string luids[] = {u"../x", u"a/b", u"c:\\d",    u"\x01\n\x7f",
                                    u"/abs", u"..",  u"..\\..\\y"};
    int n = 0;
    for (const auto& luid : luids) {
        const std::string bytes = "item " + std::to_string(++n);
        LONG status = 0;
        auto content = bytesVariant(bytes);
        cb->ClientCmdAddItem(0, n, 0, vt::toOleStr(luid), 0, 0, 0, *content.get(), &status);
        const std::u16string name = CNotifyConverter::debugFileName(luid);
        EXPECT_EQ(name.find_first_of(u"/\\"), std::u16string::npos) << toUtf8(name);
        EXPECT_EQ(readFileBytes(inWork(name)), bytes) << toUtf8(luid);
    }
    // Nothing beside the work folder, nothing but plain debug files inside it.
    std::vector<std::string> top;
    for (const auto& e : fs::directory_iterator(cwdRoot_.path8()))
        top.push_back(e.path().filename().string());
    EXPECT_EQ(top, std::vector<std::string>{"work"});
    for (const auto& e : fs::directory_iterator(toUtf8(work()))) {
        EXPECT_TRUE(e.is_regular_file()) << e.path();
        EXPECT_EQ(e.path().filename().string().rfind("dbgDatFile", 0), 0u) << e.path();
    }
    std::vector<std::string> phone;
    for (const auto& e : fs::directory_iterator(toUtf8(phoneFolder(alias_))))
        phone.push_back(e.path().filename().string());
    EXPECT_EQ(phone, std::vector<std::string>{"Notes"});
}

TEST_F(NotifyConverterTest, EmptyAddIsRefusedButStillLeavesAnEmptyDebugCopy) {
    CNotifyConverter* cb = start(nullptr);
    LONG status = -1;
    auto empty = bytesVariant("");
    EXPECT_EQ(cb->ClientCmdAddItem(0, 3, 0, vt::ole(u"5"), 0, 0, 0, *empty.get(), &status), E_FAIL);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(cb->itemCount(), 0);
    EXPECT_EQ(readFileBytes(inWork(u"dbgDatFile5")), "");
    EXPECT_TRUE(notes().empty());
}

TEST_F(NotifyConverterTest, WithoutHostObjectNothingIsNotifiedButDeliveriesEnd) {
    // A final delivery that never signalled would hold SyncStatusFinished for the whole wait.
    CNotifyConverter::setFinalNotifyWaitMs(120000);
    CNotifyConverter* cb = start(nullptr);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(cb->SyncStatusStarted(), S_OK);
    EXPECT_EQ(cb->SyncStatusPackageSent(0, 1, 2), S_OK);
    EXPECT_EQ(cb->SyncStatusPackageGet(0), S_OK);
    EXPECT_EQ(cb->SyncStatusFinished(), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(60));
    EXPECT_TRUE(CNotifyConverter::waitForDeliveries(5000));
    EXPECT_EQ(CNotifyConverter::pendingDeliveries(), 0);
    EXPECT_TRUE(notify_.calls().empty());
}

TEST_F(NotifyConverterTest, ThrowingHostObjectDoesNotReachTheEngine) {
    notify_.throws = true;
    std::atomic<HRESULT> started{E_FAIL}, finished{E_FAIL};
    engine_.script = [&](vantrel::ISyncEngineCallback* cb) {
        started = cb->SyncStatusStarted();
        finished = cb->SyncStatusFinished();
    };
    start(&notify_);
    engine_.join();
    EXPECT_EQ(started.load(), S_OK);
    EXPECT_EQ(finished.load(), S_OK);
    ASSERT_TRUE(CNotifyConverter::waitForDeliveries(5000));
    EXPECT_EQ(notify_.calls().size(), 2u);
    EXPECT_EQ(notify_.refs(), 0);
}

TEST_F(NotifyConverterTest, LateFinalDeliveryKeepsItsOwnReferenceUntilItEnds) {
    CNotifyConverter::setFinalNotifyWaitMs(50);
    notify_.holdDeliveries();
    std::atomic<HRESULT> finished{E_FAIL};
    engine_.script = [&](vantrel::ISyncEngineCallback* cb) { finished = cb->SyncStatusFinished(); };
    start(&notify_);
    engine_.join();  // SyncStatusFinished gave up waiting
    EXPECT_EQ(finished.load(), S_OK);
    EXPECT_TRUE(notify_.calls().empty());
    EXPECT_EQ(notify_.refs(), 1);  // the controller and the sink let go; the delivery holds on
    EXPECT_EQ(CNotifyConverter::pendingDeliveries(), 1);

    EXPECT_FALSE(CNotifyConverter::releaseDeliveries());  // the thread still needs it

    notify_.releaseDeliveries();
    ASSERT_TRUE(CNotifyConverter::waitForDeliveries(5000));
    EXPECT_EQ(CNotifyConverter::pendingDeliveries(), 0);
    EXPECT_TRUE(CNotifyConverter::releaseDeliveries());
    auto calls = notify_.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].state, vantrel::kSyncStateEnded);
    EXPECT_EQ(notify_.refs(), 0);
}

TEST_F(NotifyConverterTest, SinkOfAnEarlierSessionNeverCallsTheControllerAgain) {
    CNotifyConverter* old = start(nullptr);
    old->AddRef();  // the engine keeps the old sink past the next StartSync
    EXPECT_EQ(c_->synchronize(), kHrSessionRunning) << "one session at a time";
    EXPECT_EQ(engine_.starts, 1);
    ASSERT_EQ(old->SyncStatusCanceled(), S_OK);
    CNotifyConverter* current = start(nullptr);
    ASSERT_NE(old, current);
    LONG status = -1;
    auto content = bytesVariant("late");
    EXPECT_EQ(old->ClientCmdAddItem(0, 1, 0, vt::ole(u"9"), 0, 0, 0, *content.get(), &status),
              E_UNEXPECTED);
    EXPECT_EQ(old->ClientCmdStatus(1, 200), E_UNEXPECTED);
    EXPECT_EQ(old->SyncStatusFinished(), E_UNEXPECTED);
    EXPECT_EQ(status, -1);
    EXPECT_TRUE(notes().empty());
    old->Release();
    EXPECT_EQ(current->SyncStatusFinished(), S_OK);
}

TEST_F(NotifyConverterTest, QueryInterfaceAnswersTheCallbackInterfaceOnly) {
    CNotifyConverter* cb = start(nullptr);
    void* p = nullptr;
    ASSERT_EQ(cb->QueryInterface(vantrel::IID_ISyncEngineCallback, &p), S_OK);
    EXPECT_EQ(p, static_cast<vantrel::ISyncEngineCallback*>(cb));
    static_cast<IUnknown*>(p)->Release();
    ASSERT_EQ(cb->QueryInterface(IID_IUnknown, &p), S_OK);
    static_cast<IUnknown*>(p)->Release();
    EXPECT_EQ(cb->QueryInterface(vantrel::IID_IDataStoreNotify, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
}

// Whole sessions through the component object: every reference the module takes on the engine
// and on the host's notification object is given back.
TEST_F(NotifyConverterTest, ReferenceCountsBalanceOverSeveralSessions) {
    c_.reset();  // the component object builds its own controller for this phone
    com_ptr<vantrel::IDataStore> ds;
    ASSERT_EQ(CNotesSml::CreateInstance(nullptr, vantrel::IID_IDataStore, ds.put_void()), S_OK);
    auto init = ds.try_query<vantrel::ISyncInitialize>(vantrel::IID_ISyncInitialize);
    unique_bstr imei(imei_), alias(alias_), store(u"Notes"), path(u"p");
    ASSERT_EQ(init->Initialize(imei.get(), alias.get(), store.get(), &engine_), S_OK);
    init.reset();
    EXPECT_EQ(engine_.refs(), 1);

    engine_.script = [](vantrel::ISyncEngineCallback* cb) {
        cb->SyncStatusStarted();
        cb->SyncStatusPackageSent(0, 1, 2);
        cb->SyncStatusFinished();
    };
    for (int session = 1; session <= 3; ++session) {
        UINT id = 0;
        ASSERT_EQ(ds->Synchronize(path.get(), &notify_, &id), S_OK);
        engine_.join();
        ASSERT_TRUE(CNotifyConverter::waitForDeliveries(5000));
        EXPECT_EQ(notify_.calls().size(), 3u * session);
        EXPECT_EQ(notify_.refs(), 0) << "session " << session;
        EXPECT_EQ(engine_.refs(), 1) << "session " << session;
    }
    ds.reset();
    EXPECT_EQ(engine_.refs(), 0);
    engine_.releaseCallback();
    EXPECT_EQ(notify_.refs(), 0);
}

}  // namespace
}  // namespace vt
