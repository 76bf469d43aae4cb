// The binary contract: every method is called the way a host or an engine built elsewhere
// calls it, through its slot number in the interface's table with the object as the first
// argument, and the test checks that the right method ran.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "controller/notes_controller.h"
#include "controller/notify_converter.h"
#include "frontend/controller_registry.h"
#include "frontend/notes_sml.h"
#include "platform/com_raii.h"
#include "platform/file.h"
#include "platform/find.h"
#include "platform/path.h"
#include "tests/support/fakes.h"

namespace vt {
namespace {

using test::bytesVariant;
using test::FakeEngine;
using test::FakeNotify;

// Calls slot n of the interface at iface; Args must be the slot's exact parameter types.
template <class... Args>
HRESULT callSlot(void* iface, int n, Args... args) {
    using Fn = HRESULT(STDMETHODCALLTYPE*)(void*, Args...);
    void** table = *static_cast<void***>(iface);
    return reinterpret_cast<Fn>(table[n])(iface, args...);
}

using Str = const OLECHAR*;

class ContractSlotsTest : public test::PhoneSandbox {
  protected:
    void SetUp() override { cwd_.emplace(cwdRoot_.path()); }
    void TearDown() override {
        engine_.join();
        EXPECT_TRUE(CNotifyConverter::waitForDeliveries(5000));
        cwd_.reset();
    }
    std::u16string note(const std::u16string& name) {
        return plat::joinPath(notesFolder(alias_), name);
    }
    std::vector<std::u16string> noteNames() {
        std::vector<std::u16string> names;
        for (const auto& e : plat::findFiles(note(u"*.txt")))
            if (!e.isDirectory) names.push_back(e.name);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<LONG> states() {
        std::vector<LONG> s;
        for (const auto& c : notify_.calls()) s.push_back(c.state);
        std::sort(s.begin(), s.end());
        return s;
    }

    test::TempDir cwdRoot_;
    std::optional<test::ScopedCurrentPath> cwd_;
    FakeNotify notify_;
    FakeEngine engine_;
};

TEST_F(ContractSlotsTest, CallbackSlotsReachTheirMethods) {
    CNotesController c(CFactory::keyOf(imei_), alias_, 12, &engine_);
    test::writeFileBytes(note(u"a.txt"), "pc note");
    c.setNotify(&notify_);
    ASSERT_EQ(c.synchronize(), S_OK);
    ASSERT_EQ(engine_.items.size(), 1u);
    const ULONG cmdId = engine_.items[0].cmdId;
    const std::u16string localId = engine_.items[0].luid;
    void* cb = engine_.callback();
    LONG st = 0;

    EXPECT_EQ((callSlot<LONG, LONG, LONG, LONG, Str, Str, LONG*>(cb, 3, 201, 0, 0, 0, vt::ole(u"0"),
                                                                 vt::ole(u"0"), &st)),
              S_OK);
    EXPECT_EQ(st, 200);
    EXPECT_EQ(callSlot(cb, 15), S_OK);  // SyncStatusStarted

    auto content = bytesVariant("phone note");
    st = 0;
    EXPECT_EQ((callSlot<LONG, ULONG, LONG, Str, LONG, LONG, LONG, VARIANT, LONG*>(
                  cb, 4, 0, 5, 0, vt::ole(u"p7"), 0, 0, 0, *content.get(), &st)),
              S_OK);
    EXPECT_EQ(st, 201);
    EXPECT_EQ(test::readFileBytes(cwdRoot_ / u"dbgDatFilep7"), "phone note");

    auto empty = bytesVariant("");
    st = 0;
    EXPECT_EQ((callSlot<LONG, ULONG, LONG, Str, LONG, LONG, LONG, VARIANT, LONG*>(
                  cb, 6, 0, 6, 0, vt::ole(u"p7"), 0, 0, 0, *empty.get(), &st)),
              E_FAIL);
    EXPECT_EQ(st, 400);  // ClientCmdReplaceItem without data
    st = 0;
    EXPECT_EQ((callSlot<LONG, ULONG, LONG, Str, LONG, LONG, LONG, LONG*>(
                  cb, 5, 0, 7, 0, vt::ole(u"nope"), 0, 0, 0, &st)),
              E_FAIL);
    EXPECT_EQ(st, 404);  // ClientCmdDeleteItem of an unknown LUID
    VARIANT out;
    VariantInit(&out);
    st = 0;
    EXPECT_EQ((callSlot<LONG, ULONG, LONG, Str, LONG, LONG, VARIANT*, LONG*>(
                  cb, 8, 0, 8, 0, vt::ole(u"p7"), 0, 0, &out, &st)),
              E_FAIL);
    EXPECT_EQ(st, 501);  // ClientCmdGetItem
    EXPECT_EQ((callSlot<LONG, LONG, LONG, LONG, LONG, LONG, LONG>(cb, 7, 0, 0, 0, 0, 0, 0, 0)),
              E_NOTIMPL);
    EXPECT_EQ((callSlot<LONG, LONG>(cb, 9, 0, 0)), E_NOTIMPL);
    EXPECT_EQ((callSlot<LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG>(cb, 11, 0, 0, 0, 0, 0,
                                                                              0, 0, 0, 0)),
              E_NOTIMPL);
    EXPECT_EQ(callSlot(cb, 13), E_NOTIMPL);
    EXPECT_EQ(callSlot(cb, 14), E_NOTIMPL);
    EXPECT_EQ(callSlot(cb, 16), E_NOTIMPL);  // SyncStatusPaused: no notification

    // ClientMapItemAdded, then ClientCmdStatus: the PC's note is mapped to the phone's LUID.
    EXPECT_EQ((callSlot<LONG, Str, Str>(cb, 12, 0, vt::ole(u"pA"), vt::toOleStr(localId))), S_OK);
    EXPECT_EQ((callSlot<ULONG, ULONG>(cb, 10, cmdId, 201)), S_OK);
    std::u16string luid;
    ASSERT_NE(c.properties()->get(u"pcfilename:a.txt"), nullptr);
    c.properties()->get(u"pcfilename:a.txt")->getStringValue(luid);
    EXPECT_EQ(luid, u"pA");

    EXPECT_EQ((callSlot<LONG, LONG, LONG>(cb, 19, 0, 10, 20)), S_OK);  // SyncStatusPackageSent
    EXPECT_EQ((callSlot<LONG>(cb, 20, 0)), S_OK);                      // SyncStatusPackageGet
    EXPECT_EQ(callSlot(cb, 17), E_NOTIMPL);                            // SyncStatusResumed
    EXPECT_EQ(callSlot(cb, 22), S_OK);                                 // SyncStatusFinished
    ASSERT_TRUE(CNotifyConverter::waitForDeliveries(5000));
    EXPECT_EQ(states(), (std::vector<LONG>{0, 1, 1, 1, 4}));
    for (const auto& call : notify_.calls()) {
        if (call.state != vantrel::kSyncStateEnded) continue;
        EXPECT_EQ(call.id, 12u);
        EXPECT_EQ(call.progress1, 10);
        EXPECT_EQ(call.progress2, 20);
        EXPECT_EQ(call.items, 1);  // only the add succeeded
    }

    // SyncStatusCanceled and SyncStatusFailed, in a session of their own.
    c.setNotify(&notify_);
    ASSERT_EQ(c.synchronize(), S_OK);
    cb = engine_.callback();
    EXPECT_EQ(callSlot(cb, 18), S_OK);
    EXPECT_EQ((callSlot<LONG>(cb, 21, 0x1234)), S_OK);
    ASSERT_TRUE(CNotifyConverter::waitForDeliveries(5000));
    EXPECT_EQ(states(), (std::vector<LONG>{0, 1, 1, 1, 2, 4, 4}));
    auto calls = notify_.calls();
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const FakeNotify::Call& call) {
        return call.state == vantrel::kSyncStateEnded && call.result == 0x1234;
    }));
}

TEST_F(ContractSlotsTest, ComponentSlotsReachTheirMethods) {
    IUnknown* unknown = nullptr;
    ASSERT_EQ(CNotesSml::CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&unknown)),
              S_OK);
    void* init = nullptr;
    void* ds = nullptr;
    ASSERT_EQ(unknown->QueryInterface(vantrel::IID_ISyncInitialize, &init), S_OK);
    ASSERT_EQ(unknown->QueryInterface(vantrel::IID_IDataStore, &ds), S_OK);
    const size_t controllers = CFactory::count();

    unique_bstr imei(imei_), alias(alias_), store(u"Notes"), path(u"C:\\x"), target(home_ / u"out");
    EXPECT_EQ((callSlot<BSTR, BSTR, BSTR, IUnknown*>(init, 3, imei.get(), alias.get(), store.get(),
                                                     &engine_)),
              S_OK);  // ISyncInitialize::Initialize
    EXPECT_EQ(CFactory::count(), controllers + 1);
    test::writeFileBytes(note(u"a.txt"), "pc note");

    UINT id = 0;
    EXPECT_EQ((callSlot<BSTR, IUnknown*, UINT*>(ds, 3, path.get(), &notify_, &id)),
              S_OK);  // Synchronize
    EXPECT_EQ(id, static_cast<CNotesSml*>(static_cast<vantrel::IDataStore*>(ds))->clientSyncId());
    ASSERT_EQ(engine_.starts, 1);
    ASSERT_EQ(engine_.items.size(), 1u);
    // The phone takes the note; afterwards the record store holds it.
    vantrel::ISyncEngineCallback* cb = engine_.callback();
    ASSERT_EQ(cb->ClientMapItemAdded(0, vt::ole(u"pA"), vt::toOleStr(engine_.items[0].luid)), S_OK);
    ASSERT_EQ(cb->ClientCmdStatus(engine_.items[0].cmdId, 201), S_OK);
    ASSERT_EQ(cb->SyncStatusFinished(), S_OK);

    ASSERT_EQ(plat::createDirectory(target.str()), 0);
    EXPECT_EQ((callSlot<BSTR, BSTR>(ds, 8, path.get(), target.get())), S_OK);  // ReadAllDataOut
    EXPECT_EQ(test::readFileBytes(plat::joinPath(target.str(), u"a.txt")), "pc note");

    BSTR location = nullptr;
    LONG flag = 0;
    EXPECT_EQ((callSlot<BSTR, BSTR*, BSTR*, LONG*, LONG*, LONG*>(ds, 7, store.get(), &location,
                                                                 &location, &flag, &flag, &flag)),
              E_NOTIMPL);  // GetDataStoreInfo

    EXPECT_EQ((callSlot<UINT>(ds, 4, 55)), S_OK);  // Cancel
    EXPECT_EQ(engine_.cancels, std::vector<UINT>{55});

    engine_.script = [](vantrel::ISyncEngineCallback* cb) { cb->SyncStatusFinished(); };
    EXPECT_EQ(
        (callSlot<BSTR, LONG, LONG, IUnknown*, UINT*>(ds, 5, path.get(), 0, 0, &notify_, &id)),
        S_OK);  // ExportDataFromPhone
    EXPECT_EQ(engine_.starts, 2);
    engine_.join();
    ASSERT_TRUE(CNotifyConverter::waitForDeliveries(5000));

    // Collected notes belong to the import that follows (no session in between).
    auto data = bytesVariant("written in");
    unique_bstr item(u"w.txt");
    EXPECT_EQ((callSlot<BSTR, BSTR, VARIANT>(ds, 9, path.get(), item.get(), *data.get())),
              1);  // WriteDataIn

    EXPECT_EQ(
        (callSlot<BSTR, LONG, LONG, IUnknown*, UINT*>(ds, 6, path.get(), 1, 1, &notify_, &id)),
        S_OK);  // ImportDataToPhone, replacing the old notes
    EXPECT_EQ(engine_.starts, 3);
    EXPECT_EQ(noteNames(), std::vector<std::u16string>{u"w.txt"});

    static_cast<IUnknown*>(init)->Release();
    static_cast<IUnknown*>(ds)->Release();
    unknown->Release();
    EXPECT_EQ(CFactory::count(), controllers);
    EXPECT_EQ(engine_.refs(), 0);
}

TEST_F(ContractSlotsTest, EngineSlotsOfTheFakeMatchTheContract) {
    void* e = static_cast<vantrel::ISyncEngine*>(&engine_);
    engine_.stateResult = 0x12;
    unique_bstr store(u"Notes"), luid(u"L7"), type(u"text/plain"), blank(u""), last(u"4"),
        next(u"5");
    auto data = bytesVariant("bytes");
    ULONG add = 0, del = 0, rep = 0, session = 0;
    EXPECT_EQ((callSlot<BSTR, BSTR, BSTR, BSTR, BSTR, VARIANT, ULONG*>(
                  e, 7, store.get(), luid.get(), type.get(), blank.get(), blank.get(), *data.get(),
                  &add)),
              S_OK);
    EXPECT_EQ((callSlot<BSTR, BSTR, LONG, LONG, BSTR, ULONG*>(e, 9, store.get(), luid.get(), 0, 0,
                                                              type.get(), &del)),
              S_OK);
    EXPECT_EQ((callSlot<BSTR, ULONG>(e, 10, store.get(), add)), S_OK);
    EXPECT_EQ((callSlot<BSTR, BSTR, BSTR, BSTR, BSTR, VARIANT, ULONG*>(
                  e, 11, store.get(), luid.get(), type.get(), blank.get(), blank.get(), *data.get(),
                  &rep)),
              S_OK);
    EXPECT_EQ(
        (callSlot<LONG, BSTR, BSTR, BSTR, BSTR, LONG, vantrel::ISyncEngineCallback*, ULONG*>(
            e, 13, 200, store.get(), store.get(), last.get(), next.get(), 0, nullptr, &session)),
        S_OK);
    EXPECT_EQ((callSlot<UINT>(e, 14, 9)), S_OK);
    EXPECT_EQ(callSlot(e, 17), 0x12);

    EXPECT_EQ(engine_.slots, (std::vector<int>{7, 9, 10, 11, 13, 14, 17}));
    ASSERT_EQ(engine_.items.size(), 3u);
    EXPECT_EQ(engine_.items[0].kind, FakeEngine::Item::Add);
    EXPECT_EQ(engine_.items[0].data, "bytes");
    EXPECT_EQ(engine_.items[1].kind, FakeEngine::Item::Delete);
    EXPECT_EQ(engine_.items[2].kind, FakeEngine::Item::Replace);
    EXPECT_EQ(engine_.items[2].luid, u"L7");
    EXPECT_EQ(engine_.withdrawn, std::vector<ULONG>{add});
    EXPECT_EQ(engine_.alert, 200);
    EXPECT_EQ(engine_.lastAnchor, u"4");
    EXPECT_EQ(engine_.nextAnchor, u"5");
    EXPECT_EQ(engine_.cancels, std::vector<UINT>{9});
}

}  // namespace
}  // namespace vt
