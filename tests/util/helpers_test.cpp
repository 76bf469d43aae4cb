#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/com_raii.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "tests/support/temp_dir.h"
#include "util/byte_array_variant.h"
#include "util/folder_utils.h"
#include "util/registry_handler.h"
#include "util/string_split.h"
#include "util/sync.h"
#include "util/text_error.h"

namespace vt {
namespace {

using Pieces = std::vector<std::u16string>;

TEST(StringSplitTest, KeepsEmptyPiecesWithEitherSeparator) {
    EXPECT_EQ(CStringSplit(u"a,,b", u',').pieces(), (Pieces{u"a", u"", u"b"}));
    EXPECT_EQ(CStringSplit(u",a,", u',').pieces(), (Pieces{u"", u"a", u""}));
    EXPECT_EQ(CStringSplit(u"", u',').pieces(), (Pieces{u""}));
    EXPECT_EQ(CStringSplit(u"abc", u',').getCount(), 1);
    EXPECT_EQ(CStringSplit(u"k:=:=v", u":=").pieces(), (Pieces{u"k", u"", u"v"}));
    EXPECT_EQ(CStringSplit(u"aXXXb", u"XX").pieces(), (Pieces{u"a", u"Xb"}));
    EXPECT_THROW(CStringSplit(u"a", u""), TextError);
}

class FolderUtilsTest : public test::SandboxedTest {};

TEST_F(FolderUtilsTest, EnsureFolderExistsCreatesMissingLevelsButNotThroughAFile) {
    std::u16string deep = plat::joinPath(plat::joinPath(home_.path(), u"a"), u"b");
    deep = plat::joinPath(deep, u"c");
    EXPECT_TRUE(CFolderUtils::ensureFolderExists(deep));
    plat::FileStatus st;
    ASSERT_TRUE(plat::getFileStatus(deep, &st));
    EXPECT_TRUE(st.isDirectory);
    EXPECT_TRUE(CFolderUtils::ensureFolderExists(deep));  // nothing to do
    EXPECT_TRUE(CFolderUtils::ensureFolderExists(deep + plat::kPathSeparator));
    // A file in the path is refused.
    test::writeFileBytes(home_ / u"file", "x");
    EXPECT_FALSE(CFolderUtils::ensureFolderExists(plat::joinPath(home_ / u"file", u"sub")));
}

TEST_F(FolderUtilsTest, PhoneRootNeedsRootValueAndAnExistingAliasFolder) {
    EXPECT_EQ(CFolderUtils::getPhoneRootFolder(u"", u"phone"), u"");
    plat::RegKey key;
    ASSERT_EQ(
        plat::RegKey::root(plat::RegRoot::CurrentUser).create(u"Software\\Orvane\\Morvex", &key),
        plat::kErrorSuccess);
    ASSERT_EQ(key.setString(u"Root", home_.path()), plat::kErrorSuccess);
    EXPECT_EQ(CFolderUtils::getPhoneRootFolder(u"", u"phone"), u"");  // no folder yet
    test::writeFileBytes(home_ / u"phone", "a file, not a folder");
    EXPECT_EQ(CFolderUtils::getPhoneRootFolder(u"", u"phone"), u"");
    ASSERT_EQ(plat::createDirectory(home_ / u"other"), 0);
    EXPECT_EQ(CFolderUtils::getPhoneRootFolder(u"", u"other"), home_ / u"other");
    // Spelt as the folder is, whatever case the alias has.
    EXPECT_EQ(CFolderUtils::getPhoneRootFolder(u"", u"OTHER"), home_ / u"other");
    ASSERT_EQ(key.setDword(u"Root", 7), plat::kErrorSuccess);
    EXPECT_EQ(CFolderUtils::getPhoneRootFolder(u"", u"other"), u"");
    ASSERT_EQ(key.setString(u"Root", std::u16string(200, u'r')), plat::kErrorSuccess);
    EXPECT_EQ(CFolderUtils::getPhoneRootFolder(u"", u"other"), u"");  // over the 260-byte buffer
}

TEST_F(FolderUtilsTest, RegistryHandlerReadsAnyTypeAndClearsOnFailure) {
    std::u16string value = u"stale";
    EXPECT_FALSE(
        CRegistryHandler::ReadValue(plat::RegRoot::LocalMachine, u"Software\\Nope", u"V", value));
    EXPECT_EQ(value, u"");
    plat::RegKey key;
    ASSERT_EQ(
        plat::RegKey::root(plat::RegRoot::LocalMachine).create(u"Software\\Orvane\\Quorril", &key),
        plat::kErrorSuccess);
    ASSERT_EQ(key.setString(u"Current Language", u"de"), plat::kErrorSuccess);
    EXPECT_TRUE(CRegistryHandler::ReadValue(
        plat::RegRoot::LocalMachine, u"Software\\Orvane\\Quorril", u"Current Language", value));
    EXPECT_EQ(value, u"de");
}

TEST(DescribeFileExceptionTest, CauseErrnoSystemTextAndName) {
    EXPECT_EQ(describeFileException(nullptr, true), u"is null");
    plat::FileException e(plat::kCauseFileNotFound, 2, u"X");
    EXPECT_EQ(describeFileException(&e, false), u"fileNotFound errno:2 X");
    std::u16string withText = describeFileException(&e, true);
    EXPECT_EQ(withText.substr(0, 20), u"fileNotFound errno:2");
    EXPECT_GT(withText.size(), 24u);
    EXPECT_EQ(withText.substr(withText.size() - 2), u" X");
    plat::FileException odd(99, 0, u"");
    EXPECT_EQ(describeFileException(&odd, true), u"unmatched error");
    plat::FileException bath(3, 0, u"");
    EXPECT_EQ(describeFileException(&bath, true), u"badBath");
}

TEST(ByteArrayVariantTest, RoundTripAndEmptyInput) {
    const uint8_t bytes[] = {0, 1, 2, 255};
    unique_variant v;
    ByteArrayVariant conv;
    ASSERT_TRUE(conv.fromBytes(bytes, 4, v.get()));
    EXPECT_EQ(v->vt, VT_ARRAY | VT_UI1);
    uint32_t size = 0;
    uint8_t* back = ByteArrayVariant().toBytes(*v.get(), &size);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::memcmp(back, bytes, 4), 0);
    ByteArrayVariant::freeBytes(back);

    unique_variant untouched;
    untouched->vt = VT_I4;
    untouched->lVal = 42;
    EXPECT_TRUE(conv.fromBytes(bytes, 0, untouched.get()));
    EXPECT_EQ(untouched->vt, VT_I4);
    EXPECT_FALSE(conv.fromBytes(nullptr, 3, untouched.get()));
}

TEST(ByteArrayVariantTest, RefusesOtherTypesAndNonZeroLowerBound) {
    uint32_t size = 99;
    unique_variant number;
    number->vt = VT_I4;
    EXPECT_EQ(ByteArrayVariant().toBytes(*number.get(), &size), nullptr);

    unique_variant shifted;
    shifted->vt = VT_ARRAY | VT_UI1;
    shifted->parray = SafeArrayCreateVector(VT_UI1, 1, 3);
    EXPECT_EQ(ByteArrayVariant().toBytes(*shifted.get(), &size), nullptr);
    EXPECT_EQ(size, 99u);

    unique_variant text;
    text->vt = VT_BSTR;
    text->bstrVal = SysAllocString(vt::ole(u"ab"));
    uint8_t* raw = ByteArrayVariant().toBytes(*text.get(), &size);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(size, 4u);  // the string's raw UTF-16 bytes
    EXPECT_EQ(raw[0], 'a');
    ByteArrayVariant::freeBytes(raw);
}

TEST(SyncTest, EventResetScopeMarksABusyPeriod) {
    SyncEvent done(true);
    EXPECT_TRUE(done.isSet());
    std::thread worker;
    {
        EventResetScope busy(&done);
        EXPECT_FALSE(done.wait(std::chrono::milliseconds(1)));
    }
    EXPECT_TRUE(done.wait(std::chrono::milliseconds(0)));
    done.reset();
    worker = std::thread([&] { EventResetScope scope(&done); });
    EXPECT_TRUE(done.wait(std::chrono::seconds(10)));
    worker.join();
    EXPECT_THROW(EventResetScope(nullptr), std::invalid_argument);

    SyncEvent autoReset(false);
    EXPECT_TRUE(autoReset.wait(std::chrono::milliseconds(0)));
    EXPECT_FALSE(autoReset.wait(std::chrono::milliseconds(0)));
}

}  // namespace
}  // namespace vt
