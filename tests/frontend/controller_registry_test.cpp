// The controller registry CFactory: one controller per IMEI key (the IMEI's last ':' piece),
// refusal of a second one, removal, and the hand-over of the host's notification object.
#include "frontend/controller_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "controller/notes_controller.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/special_folders.h"
#include "platform/text.h"
#include "tests/support/counting_unknown.h"
#include "tests/support/fakes.h"
#include "tests/support/log_capture.h"

namespace vt {
namespace {

using test::CountingUnknown;
using test::FakeEngine;

class ControllerRegistryTest : public test::PhoneSandbox {
  protected:
    void SetUp() override { before_ = CFactory::count(); }
    void TearDown() override {
        EXPECT_EQ(CFactory::count(), before_) << "a controller was left behind";
    }

    HRESULT create(const std::u16string& imei, INotesController** out = nullptr,
                   const std::u16string& alias = u"phone") {
        INotesController* ignored = nullptr;
        return CFactory::createController(imei, alias, 3, &engine_, out ? out : &ignored);
    }

    size_t before_ = 0;
    FakeEngine engine_;
};

TEST_F(ControllerRegistryTest, PrefixedAndBareImeiShareOneController) {
    test::LogCapture log;
    INotesController* first = nullptr;
    ASSERT_EQ(create(u"A:B:123", &first), S_OK);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(CFactory::count(), before_ + 1);

    INotesController* second = reinterpret_cast<INotesController*>(0x1);
    EXPECT_EQ(create(u"123", &second), E_FAIL);
    EXPECT_EQ(second, reinterpret_cast<INotesController*>(0x1));
    EXPECT_TRUE(log.has("createController():'alias:phone' 'imei:123', imei exists allready"));

    EXPECT_EQ(CFactory::destroyController(u"A:B:123"), S_OK);
    EXPECT_EQ(CFactory::count(), before_);
    ASSERT_EQ(create(u"123", &second), S_OK);
    EXPECT_EQ(CFactory::destroyController(u"X:123"), S_OK);
}

TEST_F(ControllerRegistryTest, UnknownImeiIsRefusedAndLeavesNothingBehind) {
    test::LogCapture log;
    CountingUnknown notify({vantrel::IID_IDataStoreNotify});
    EXPECT_EQ(CFactory::destroyController(u"A:never"), E_FAIL);
    EXPECT_TRUE(log.has("destroyController(): 'imei:A:never', doesn't exists"));
    EXPECT_EQ(CFactory::setNotify(u"A:never", &notify), E_FAIL);
    EXPECT_TRUE(log.has("setNotify(): 'imei:A:never', doesn't exists"));
    EXPECT_EQ(notify.queries(), 0);
    EXPECT_EQ(CFactory::count(), before_);
    // The lookups made no usable entry.
    ASSERT_EQ(create(u"never"), S_OK);
    EXPECT_EQ(CFactory::destroyController(u"never"), S_OK);
}

TEST_F(ControllerRegistryTest, KeysThatAreNoPlainFolderNamesAreRefusedAndMakeNothing) {
    const std::u16string imeis[] = {u"350:", u"",        u"..",       u"a\\b",  u"x:y/z",
                                    u"COM1", u"con.txt", u"aux .txt", u"nul.1", u"CONIN$",
                                    u"7.",   u"7 ",      u"t\x01"};
    for (const auto& imei : imeis) EXPECT_EQ(create(imei), E_INVALIDARG) << toUtf8(imei);
    for (const char16_t* alias : {u"..", u"", u"a/b", u"PRN"})
        EXPECT_EQ(create(u"42", nullptr, alias), E_INVALIDARG) << toUtf8(alias);
    EXPECT_EQ(CFactory::count(), before_);
    std::u16string appData;
    plat::appDataFolder(false, &appData);
    plat::FileStatus st;
    EXPECT_FALSE(plat::getFileStatus(plat::joinPath(appData, u"Morvex"), &st))
        << "nothing was created";
}

TEST_F(ControllerRegistryTest, FailedConstructionRegistersNothing) {
    test::LogCapture log;
    INotesController* out = reinterpret_cast<INotesController*>(0x1);
    EXPECT_EQ(create(u"IMEI:77", &out, u"Alias:ghost"), E_FAIL);
    EXPECT_EQ(out, reinterpret_cast<INotesController*>(0x1));
    EXPECT_EQ(CFactory::count(), before_);
    EXPECT_TRUE(
        log.has("createController(): (alias:ghost) new catched: CNotesController(): Panic, "
                "cannot resolve phone root on PC for alias:ghost"));
    ASSERT_EQ(create(u"IMEI:77", &out), S_OK);
    EXPECT_EQ(CFactory::destroyController(u"77"), S_OK);
}

TEST_F(ControllerRegistryTest, SetNotifyReachesTheControllerWhateverItAnswers) {
    ASSERT_EQ(create(u"IMEI:5"), S_OK);
    test::FakeNotify notify;
    EXPECT_EQ(CFactory::setNotify(u"5", &notify), S_OK);
    EXPECT_EQ(notify.refs(), 1);
    EXPECT_EQ(CFactory::setNotify(u"IMEI:5", nullptr), S_OK);  // the controller answers E_FAIL
    EXPECT_EQ(notify.refs(), 0);
    CountingUnknown stranger;  // no IDataStoreNotify
    EXPECT_EQ(CFactory::setNotify(u"5", &stranger), S_OK);
    EXPECT_EQ(stranger.refs(), 0);
    EXPECT_EQ(CFactory::setNotify(u"5", &notify), S_OK);
    EXPECT_EQ(CFactory::destroyController(u"5"), S_OK);
    EXPECT_EQ(notify.refs(), 0);  // the deleted controller gave its reference back
}

TEST_F(ControllerRegistryTest, ConcurrentCreatesForOneKeyMakeExactlyOneController) {
    std::atomic<int> made{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            INotesController* out = nullptr;
            if (CFactory::createController(u"T" + std::u16string(1, u'0' + i) + u":42", u"phone", 0,
                                           &engine_, &out) == S_OK)
                ++made;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(made.load(), 1);
    EXPECT_EQ(CFactory::destroyController(u"42"), S_OK);
}

TEST_F(ControllerRegistryTest, ReleaseKeepsTheRegistryWhileAControllerLives) {
    ASSERT_EQ(create(u"IMEI:9"), S_OK);
    EXPECT_FALSE(CFactory::release());
    EXPECT_EQ(create(u"9"), E_FAIL);  // still registered
    EXPECT_EQ(CFactory::destroyController(u"9"), S_OK);
    if (before_ != 0) return;  // another test left one behind; its own check reports it
    EXPECT_TRUE(CFactory::release());
    EXPECT_EQ(CFactory::count(), 0u);
    // A registry made afresh serves as before.
    ASSERT_EQ(create(u"IMEI:9"), S_OK);
    EXPECT_EQ(create(u"9"), E_FAIL);
    EXPECT_EQ(CFactory::destroyController(u"9"), S_OK);
}

}  // namespace
}  // namespace vt
