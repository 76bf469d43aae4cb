#include "platform/xml.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/temp_dir.h"

namespace vt::plat {
namespace {

using test::readFileBytes;
using test::writeFileBytes;

class XmlTest : public ::testing::Test {
  protected:
    XmlTest() : doc_(XmlDocument::create()), path_(dir_ / u"folder.xml") {}

    bool loadText(const std::string& text) {
        writeFileBytes(path_, text);
        return doc_->load(path_);
    }
    std::string saved() { return readFileBytes(path_).value(); }

    test::TempDir dir_;
    std::unique_ptr<XmlDocument> doc_;
    std::u16string path_;
};

TEST_F(XmlTest, ChangesOnlyTheFirstLastSyncAndKeepsTheRest) {
    ASSERT_TRUE(doc_);
    ASSERT_TRUE(
        loadText("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<!-- notes folder -->\n"
                 "<?host-info v=\"2\"?>\n"
                 "<Folder kind=\"notes\">\n"
                 "  <Application name=\"Vantrel\"><LastSync>old</LastSync></Application>\n"
                 "  <LastSync>second</LastSync>\n"
                 "</Folder>\n"));
    auto found = doc_->elementsByTagName(u"LastSync");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0]->text(), u"old");
    EXPECT_TRUE(doc_->elementsByTagName(u"lastsync").empty());
    ASSERT_TRUE(found[0]->setText(u"01.05.2024 <10:00> & \u00E9"));
    doc_->save(path_);

    std::string text = saved();
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << text;
    for (const char* kept :
         {"<!-- notes folder -->", "<?host-info v=\"2\"?>", "kind=\"notes\"", "name=\"Vantrel\"",
          "<LastSync>second</LastSync>", "01.05.2024 &lt;10:00&gt; &amp; \xC3\xA9</LastSync>"})
        EXPECT_NE(text.find(kept), std::string::npos) << kept << " missing from\n" << text;

    auto again = XmlDocument::create();
    ASSERT_TRUE(again->load(path_));
    found = again->elementsByTagName(u"LastSync");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0]->text(), u"01.05.2024 <10:00> & \u00E9");
}

TEST_F(XmlTest, AppendsANewElementUnderTheFirstApplication) {
    ASSERT_TRUE(
        loadText("<Root><Application id=\"1\"/><Application id=\"2\"><x/></Application></Root>"));
    EXPECT_TRUE(doc_->elementsByTagName(u"LastSync").empty());
    auto apps = doc_->elementsByTagName(u"Application");
    ASSERT_EQ(apps.size(), 2u);
    XmlElement* created = doc_->createElement(u"LastSync");
    ASSERT_NE(created, nullptr);
    ASSERT_TRUE(created->setText(u"t1"));
    apps[0]->appendChild(*created);
    doc_->save(path_);

    std::string text = saved();
    EXPECT_EQ(text.find("<?xml"), std::string::npos) << "no declaration was there before";
    EXPECT_NE(text.find("<Application id=\"1\"><LastSync>t1</LastSync></Application>"
                        "<Application id=\"2\"><x/></Application>"),
              std::string::npos)
        << text;
    ASSERT_TRUE(doc_->load(path_));
    auto found = doc_->elementsByTagName(u"LastSync");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->text(), u"t1");
}

TEST_F(XmlTest, MissingOrMalformedFilesDoNotLoadAndStayQuiet) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(doc_->load(dir_ / u"missing.xml"));
    EXPECT_FALSE(doc_->load(dir_.path()));
    EXPECT_FALSE(loadText("<a><b></a>"));
    EXPECT_FALSE(loadText(""));
    EXPECT_FALSE(
        loadText("<!DOCTYPE a [<!ENTITY e SYSTEM \"/etc/passwd\">]><a>&e;&undeclared;</a>"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(doc_->elementsByTagName(u"a").empty());
}

// The saved file is in the encoding it declares: the original one (libxml2, MSXML on Windows),
// or UTF-8 where the component writes nothing else (Wine's MSXML).
TEST_F(XmlTest, KeepsTheDeclaredEncodingAndEntityReferences) {
    ASSERT_TRUE(
        loadText("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                 "<!DOCTYPE a [<!ENTITY e SYSTEM \"/etc/passwd\">]>\n"
                 "<a><LastSync>caf\xE9</LastSync>&e;</a>\n"));
    auto found = doc_->elementsByTagName(u"LastSync");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->text(), u"caf\u00E9");
    ASSERT_TRUE(found[0]->setText(u"Gr\u00FC\u00DFe"));
    doc_->save(path_);
    std::string text = saved();
    const bool latin1 = text.find("encoding=\"ISO-8859-1\"") != std::string::npos;
    EXPECT_TRUE(latin1 || text.find("encoding=\"UTF-8\"") != std::string::npos) << text;
    EXPECT_NE(text.find(latin1 ? "<LastSync>Gr\xFC\xDF"
                                 "e</LastSync>&e;</a>"
                               : "<LastSync>Gr\xC3\xBC\xC3\x9F"
                                 "e</LastSync>&e;</a>"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("root:"), std::string::npos) << "an external entity was read";

    auto again = XmlDocument::create();
    ASSERT_TRUE(again->load(path_));
    EXPECT_EQ(again->elementsByTagName(u"LastSync").at(0)->text(), u"Gr\u00FC\u00DFe");
}

TEST_F(XmlTest, RefusesBadNamesTextsAndTargets) {
    ASSERT_TRUE(loadText("<a/>"));
    EXPECT_EQ(doc_->createElement(u"1st"), nullptr);
    XmlElement* loose = doc_->createElement(u"Loose");  // never appended: freed with the document
    ASSERT_NE(loose, nullptr);
    XmlElement* root = doc_->elementsByTagName(u"a").at(0);
    EXPECT_FALSE(root->setText(u"bell \u0007"));
    EXPECT_FALSE(root->setText(std::u16string(1, char16_t(0xD800))));

    auto other = XmlDocument::create();
    ASSERT_TRUE(other->load(path_));
    EXPECT_THROW(other->elementsByTagName(u"a").at(0)->appendChild(*loose), XmlError);
    EXPECT_THROW(doc_->save(dir_ / u"no-such-folder/x.xml"), XmlError);
    EXPECT_EQ(saved(), "<a/>");
}

// Each thread its own document, on threads that set nothing up for the component (COM on
// Windows) themselves.
TEST_F(XmlTest, DocumentsWorkOnThreadsOfTheirOwn) {
    writeFileBytes(path_, "<Folder><Application/></Folder>");
    std::vector<int> found(4, -1);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < found.size(); ++i)
        threads.emplace_back([this, i, &found] {
            for (int round = 0; round < 3; ++round) {
                auto doc = XmlDocument::create();
                if (!doc || !doc->load(path_)) return;
                found[i] = static_cast<int>(doc->elementsByTagName(u"Application").size());
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(found, std::vector<int>(4, 1));
}

}  // namespace
}  // namespace vt::plat
