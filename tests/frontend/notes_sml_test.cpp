// The component object CNotesSml: binding to a phone and an engine, the forwarding of every
// IDataStore method with its own result codes, aggregation, the class object and module locks.
#include "frontend/notes_sml.h"

#include <gtest/gtest.h>

#include <vector>

#include "controller/notify_converter.h"
#include "frontend/controller_registry.h"
#include "platform/com_raii.h"
#include "tests/support/counting_unknown.h"
#include "tests/support/fakes.h"
#include "tests/support/log_capture.h"
#include "util/module_lock.h"

namespace vt {
namespace {

using test::bytesVariant;
using test::CountingUnknown;
using test::FakeEngine;
using test::FakeNotify;

constexpr UINT kUntouched = 0xDEADBEEF;

class NotesSmlTest : public test::PhoneSandbox {
  protected:
    void TearDown() override {
        engine_.join();
        EXPECT_TRUE(CNotifyConverter::waitForDeliveries(5000));
    }

    static com_ptr<vantrel::IDataStore> create() {
        com_ptr<vantrel::IDataStore> ds;
        EXPECT_EQ(CNotesSml::CreateInstance(nullptr, vantrel::IID_IDataStore, ds.put_void()), S_OK);
        return ds;
    }
    static HRESULT initialize(vantrel::IDataStore* ds, const std::u16string& imei,
                              const std::u16string& alias, IUnknown* engine) {
        auto init = com_ptr<vantrel::IDataStore>(ds).try_query<vantrel::ISyncInitialize>(
            vantrel::IID_ISyncInitialize);
        EXPECT_TRUE(init);
        unique_bstr i(imei), a(alias), d(u"Notes");
        return init->Initialize(i.get(), a.get(), d.get(), engine);
    }
    // An object bound to the sandbox's phone and engine_.
    com_ptr<vantrel::IDataStore> bound() {
        auto ds = create();
        EXPECT_EQ(initialize(ds.get(), imei_, alias_, &engine_), S_OK);
        return ds;
    }
    static uint32_t idOf(vantrel::IDataStore* ds) {
        return static_cast<CNotesSml*>(ds)->clientSyncId();
    }

    static HRESULT writeIn(vantrel::IDataStore* ds, const std::u16string& item, const VARIANT& v) {
        unique_bstr path(u"C:\\store"), name(item);
        return ds->WriteDataIn(path.get(), name.get(), v);
    }
    // The results of the six methods that check the engine's state first, in the order
    // Synchronize, ExportDataFromPhone, ImportDataToPhone, GetDataStoreInfo, ReadAllDataOut,
    // WriteDataIn; the ones with an id write it to *id.
    std::vector<HRESULT> everyStateCheckedMethod(vantrel::IDataStore* ds, IUnknown* notify,
                                                 UINT* id, LONG importFlags = 0) {
        unique_bstr target(home_ / u"out");
        return {ds->Synchronize(path_.get(), notify, id),
                ds->ExportDataFromPhone(path_.get(), 0, 0, notify, id),
                ds->ImportDataToPhone(path_.get(), importFlags, importFlags, notify, id),
                ds->GetDataStoreInfo(path_.get(), nullptr, nullptr, nullptr, nullptr, nullptr),
                ds->ReadAllDataOut(path_.get(), target.get()),
                writeIn(ds, u"a.txt", *bytesVariant("x").get())};
    }

    const unique_bstr path_{u"p"};
    FakeNotify notify_;  // declared first: outlives the engine, which may hold a sink
    FakeEngine engine_;
};

// A refused second Initialize must not move the object away from the controller it owns: the
// destruction has to remove that controller, not whatever the new IMEI names, and the engine
// that the controller works with must stay referenced.
TEST_F(NotesSmlTest, RefusedSecondInitializeLeavesControllerAndEngineAsTheyWere) {
    addPhone(u"other");
    FakeEngine otherEngine;
    auto mine = bound();
    auto theirs = create();
    ASSERT_EQ(initialize(theirs.get(), u"IMEI:222", u"other", &otherEngine), S_OK);

    EXPECT_EQ(initialize(mine.get(), u"IMEI:222", u"other", &otherEngine), E_FAIL);
    EXPECT_EQ(engine_.refs(), 1);
    EXPECT_EQ(otherEngine.refs(), 1);
    UINT id = kUntouched;
    ASSERT_EQ(mine->Synchronize(path_.get(), nullptr, &id), S_OK);
    EXPECT_EQ(engine_.starts, 1);
    EXPECT_GE(engine_.refs(), 1) << "the session runs on an engine the object no longer holds";
    EXPECT_EQ(otherEngine.refs(), 1);

    mine.reset();
    // The registry still knows "222" (theirs) and no longer knows our IMEI.
    ASSERT_EQ(CFactory::destroyController(imei_), E_FAIL);
    ASSERT_EQ(CFactory::createController(u"222", u"other", 0, &otherEngine, nullptr), E_FAIL);
    EXPECT_EQ(theirs->Synchronize(path_.get(), nullptr, &id), S_OK);
    EXPECT_EQ(otherEngine.starts, 1);
}

TEST_F(NotesSmlTest, DuplicateImeiIsRefusedAndTheObjectStaysWithoutController) {
    test::LogCapture log;
    auto first = bound();
    auto second = create();
    EXPECT_EQ(initialize(second.get(), u"prefix:" + CFactory::keyOf(imei_), alias_, &engine_),
              E_FAIL);
    EXPECT_TRUE(log.has("Failed to create Controller"));
    EXPECT_EQ(engine_.refs(), 2);  // the engine was taken even though no controller came

    engine_.stateResult = S_FALSE;
    UINT id = kUntouched;
    EXPECT_EQ(everyStateCheckedMethod(second.get(), &notify_, &id),
              (std::vector<HRESULT>{S_FALSE, kHrNoController, kHrNoController, kHrNoController,
                                    kHrNoController, kHrNoController}));
    EXPECT_EQ(id, kUntouched);
    EXPECT_TRUE(log.has("Doesn't have controller"));
    EXPECT_TRUE(log.has("CNotesSml::Synchronization started ok"));
    EXPECT_EQ(writeIn(second.get(), u"a.txt", *bytesVariant("").get()), E_FAIL);
    EXPECT_EQ(second->Cancel(3), S_OK);
    EXPECT_EQ(engine_.cancels, std::vector<UINT>{3});
    EXPECT_EQ(notify_.refs(), 0);
    EXPECT_EQ(engine_.starts, 0);

    second.reset();
    EXPECT_EQ(engine_.refs(), 1);
    // The refused object's end left the first object's controller alone.
    EXPECT_EQ(CFactory::setNotify(imei_, nullptr), S_OK);
}

TEST_F(NotesSmlTest, WithoutEngineEveryMethodAnswersUnexpected) {
    CountingUnknown notEngine;
    CountingUnknown notify({vantrel::IID_IDataStoreNotify});
    auto ds = create();
    EXPECT_EQ(initialize(ds.get(), imei_, alias_, nullptr), E_POINTER);
    EXPECT_EQ(initialize(ds.get(), imei_, alias_, &notEngine), E_NOINTERFACE);
    EXPECT_EQ(notEngine.refs(), 0);

    UINT id = kUntouched;
    EXPECT_EQ(everyStateCheckedMethod(ds.get(), &notify, &id, 1),
              std::vector<HRESULT>(6, E_UNEXPECTED));
    EXPECT_EQ(ds->Cancel(1), E_UNEXPECTED);
    EXPECT_EQ(id, kUntouched);
    EXPECT_EQ(notify.queries(), 0);
}

TEST_F(NotesSmlTest, NegativeEngineStateIsReturnedUnchangedBeforeAnythingElse) {
    auto ds = bound();
    CountingUnknown notify({vantrel::IID_IDataStoreNotify});
    const HRESULT busy = static_cast<HRESULT>(0x8004ABCD);
    engine_.stateResult = busy;
    engine_.slots.clear();

    UINT id = kUntouched;
    EXPECT_EQ(everyStateCheckedMethod(ds.get(), &notify, &id), std::vector<HRESULT>(6, busy));
    EXPECT_EQ(id, kUntouched);
    EXPECT_EQ(notify.queries(), 0);
    EXPECT_EQ(engine_.slots, std::vector<int>(6, 17));  // GetState only

    // Cancel has no state check and passes the id as given.
    EXPECT_EQ(ds->Cancel(777), S_OK);
    EXPECT_EQ(engine_.cancels, std::vector<UINT>{777});
}

TEST_F(NotesSmlTest, CancelReturnsTheEngineResultAndTurnsAThrowIntoItsOwnCode) {
    auto ds = bound();
    engine_.cancelResult = static_cast<HRESULT>(0x80001234);
    EXPECT_EQ(ds->Cancel(idOf(ds.get()) + 5), static_cast<HRESULT>(0x80001234));
    engine_.cancelThrows = true;
    EXPECT_EQ(ds->Cancel(1), kHrCancelThrew);
    EXPECT_EQ(engine_.cancels, (std::vector<UINT>{idOf(ds.get()) + 5, 1}));
}

TEST_F(NotesSmlTest, WriteDataInRefusesAnythingButANonEmptyZeroBasedByteArray) {
    test::LogCapture log;
    auto ds = bound();
    EXPECT_EQ(writeIn(ds.get(), u"a.txt", *bytesVariant("").get()), E_FAIL);
    EXPECT_TRUE(log.has("Invalid data"));

    unique_variant number;
    number->vt = VT_I4;
    number->lVal = 5;
    EXPECT_EQ(writeIn(ds.get(), u"a.txt", *number.get()), E_FAIL);

    SAFEARRAYBOUND bound{3, 1};
    unique_variant oneBased;
    oneBased->vt = VT_ARRAY | VT_UI1;
    oneBased->parray = SafeArrayCreate(VT_UI1, 1, &bound);
    ASSERT_NE(oneBased->parray, nullptr);
    EXPECT_EQ(writeIn(ds.get(), u"a.txt", *oneBased.get()), E_FAIL);

    EXPECT_EQ(writeIn(ds.get(), u"a.txt", *bytesVariant("one").get()), 1);
    EXPECT_EQ(writeIn(ds.get(), u"b.txt", *bytesVariant("two").get()), 2);
}

TEST_F(NotesSmlTest, AggregationHandsOutInterfacesThatCountOnTheOuterObject) {
    const long locks = module_lock::count();
    CountingUnknown outer;
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CNotesSml::CreateInstance(&outer, vantrel::IID_IDataStore, &p),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(CNotesSml::CreateInstance(nullptr, vantrel::IID_IDataStore, nullptr), E_POINTER);
    EXPECT_EQ(module_lock::count(), locks);

    IUnknown* inner = nullptr;
    ASSERT_EQ(CNotesSml::CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)),
              S_OK);
    EXPECT_EQ(module_lock::count(), locks + 1);
    EXPECT_EQ(outer.refs(), 0);

    vantrel::IDataStore* ds = nullptr;
    ASSERT_EQ(inner->QueryInterface(vantrel::IID_IDataStore, reinterpret_cast<void**>(&ds)), S_OK);
    EXPECT_EQ(outer.refs(), 1);
    ds->AddRef();
    EXPECT_EQ(outer.refs(), 2);
    // The interface's own QueryInterface asks the outer object.
    void* other = nullptr;
    const int queries = outer.queries();
    EXPECT_EQ(ds->QueryInterface(vantrel::IID_ISyncInitialize, &other), E_NOINTERFACE);
    EXPECT_EQ(outer.queries(), queries + 1);
    ds->Release();
    ds->Release();
    EXPECT_EQ(outer.refs(), 0);
    EXPECT_EQ(inner->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);

    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(module_lock::count(), locks);
}

TEST_F(NotesSmlTest, PlainObjectAnswersItsTwoInterfacesOnly) {
    const long locks = module_lock::count();
    void* p = nullptr;
    EXPECT_EQ(CNotesSml::CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(module_lock::count(), locks);  // the refused object is gone again

    auto ds = create();
    auto init = ds.try_query<vantrel::ISyncInitialize>(vantrel::IID_ISyncInitialize);
    ASSERT_TRUE(init);
    auto back = init.try_query<vantrel::IDataStore>(vantrel::IID_IDataStore);
    EXPECT_EQ(back.get(), ds.get());
    auto u1 = ds.try_query<IUnknown>(IID_IUnknown);
    auto u2 = init.try_query<IUnknown>(IID_IUnknown);
    EXPECT_EQ(u1.get(), u2.get());  // one identity
}

TEST_F(NotesSmlTest, ClassObjectAndObjectsHoldModuleLocks) {
    const long locks = module_lock::count();
    CNotesSmlFactory factory;
    IClassFactory* cf = nullptr;
    ASSERT_EQ(factory.QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&cf)), S_OK);
    EXPECT_EQ(module_lock::count(), locks + 1);
    cf->AddRef();
    EXPECT_EQ(module_lock::count(), locks + 1);  // one lock however often the host holds it

    vantrel::IDataStore* a = nullptr;
    vantrel::IDataStore* b = nullptr;
    ASSERT_EQ(cf->CreateInstance(nullptr, vantrel::IID_IDataStore, reinterpret_cast<void**>(&a)),
              S_OK);
    ASSERT_EQ(cf->CreateInstance(nullptr, vantrel::IID_IDataStore, reinterpret_cast<void**>(&b)),
              S_OK);
    EXPECT_EQ(module_lock::count(), locks + 3);
    EXPECT_EQ(cf->LockServer(TRUE), S_OK);
    EXPECT_EQ(module_lock::count(), locks + 4);
    EXPECT_EQ(cf->LockServer(FALSE), S_OK);
    a->Release();
    EXPECT_EQ(module_lock::count(), locks + 2);
    b->Release();
    cf->Release();
    cf->Release();
    EXPECT_EQ(module_lock::count(), locks);
}

// The engine may call the last session's sink after the object and its controller are gone.
TEST_F(NotesSmlTest, EngineCallingAfterTheObjectIsGoneIsRefused) {
    const long locks = module_lock::count();
    auto ds = bound();
    UINT id = 0;
    ASSERT_EQ(ds->Synchronize(path_.get(), &notify_, &id), S_OK);
    ds.reset();
    EXPECT_EQ(module_lock::count(), locks + 1) << "the sink the engine holds keeps the module";
    vantrel::ISyncEngineCallback* cb = engine_.callback();
    LONG status = -1;
    auto content = bytesVariant("late");
    EXPECT_EQ(cb->ClientCmdAddItem(0, 1, 0, vt::ole(u"9"), 0, 0, 0, *content.get(), &status),
              E_UNEXPECTED);
    EXPECT_EQ(cb->ClientCmdStatus(1, 200), E_UNEXPECTED);
    EXPECT_EQ(cb->SyncStatusFinished(), E_UNEXPECTED);
    EXPECT_EQ(status, -1);
    ASSERT_TRUE(CNotifyConverter::waitForDeliveries(5000));
    engine_.releaseCallback();
    EXPECT_EQ(notify_.refs(), 0);
    EXPECT_EQ(module_lock::count(), locks);
}

}  // namespace
}  // namespace vt
