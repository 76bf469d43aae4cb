#include "engines/syncml/wbxml.h"

#include <gtest/gtest.h>

#include <string>

#include "engines/syncml/message.h"

namespace vt::syncml {
namespace {

// Line ends of every kind and markup characters: what a note may hold.
constexpr char kNote[] = "line one\r\nline two\nthird\rfourth <&> end\n\n";

Command addOf(const std::string& luid, const std::string& data) {
    Command add;
    add.kind = CommandKind::Add;
    add.cmdId = "3";
    add.meta.type = "text/plain";
    Item item;
    item.source = luid;
    item.data = data;
    add.items.push_back(item);
    return add;
}

// A server's message: a status with an anchor, device information in Results, a Sync with a note.
Message serverMessage() {
    Message m;
    m.header.sessionId = "7";
    m.header.msgId = "1";
    m.header.target = "client-4f1e";
    m.header.source = "http://127.0.0.1:9876/sync";
    Command results;
    results.kind = CommandKind::Results;
    results.cmdId = "1";
    results.msgRef = "1";
    results.cmdRef = "2";
    results.meta.type = "application/vnd.syncml-devinf+xml";
    Item devinf;
    devinf.source = "./devinf12";
    devinf.dataXml =
        "<DevInf xmlns='syncml:devinf'><VerDTD>1.2</VerDTD><DevID>vantrel</DevID>"
        "<DataStore><SourceRef>Notes</SourceRef><SyncCap><SyncType>1</SyncType>"
        "</SyncCap></DataStore></DevInf>";
    results.items.push_back(devinf);
    m.commands.push_back(results);
    Command sync;
    sync.kind = CommandKind::Sync;
    sync.cmdId = "2";
    sync.target = "./memo";
    sync.source = "Notes";
    sync.commands.push_back(addOf("n1.txt", kNote));
    m.commands.push_back(sync);
    m.final = true;
    return m;
}

std::string encoded(const Message& m) {
    std::string wbxml, error;
    EXPECT_TRUE(xmlToWbxml(writeXml(m), &wbxml, &error)) << error;
    return wbxml;
}

Message decoded(const std::string& wbxml) {
    std::string xml, error;
    EXPECT_TRUE(wbxmlToXml(wbxml, &xml, &error)) << error;
    Message m;
    EXPECT_TRUE(parseXml(xml, &m, &error)) << error << "\n" << xml;
    return m;
}

TEST(SyncmlWbxmlTest, AMessageSurvivesTheRoundTripWithItsNoteBytesUnchanged) {
    const std::string wbxml = encoded(serverMessage());
    ASSERT_FALSE(wbxml.empty());
    // The note travels as opaque bytes, its line ends as they are.
    EXPECT_NE(wbxml.find(kNote), std::string::npos);

    const Message back = decoded(wbxml);
    EXPECT_EQ(back.header.sessionId, "7");
    EXPECT_EQ(back.header.target, "client-4f1e");
    EXPECT_TRUE(back.final);
    ASSERT_EQ(back.commands.size(), 2u);
    const Command& results = back.commands[0];
    EXPECT_EQ(results.meta.type, "application/vnd.syncml-devinf+xml");
    ASSERT_EQ(results.items.size(), 1u);
    EXPECT_NE(results.items[0].dataXml.find("<DevID>vantrel</DevID>"), std::string::npos)
        << results.items[0].dataXml;
    const Command& sync = back.commands[1];
    ASSERT_EQ(sync.commands.size(), 1u);
    ASSERT_EQ(sync.commands[0].items.size(), 1u);
    EXPECT_EQ(sync.commands[0].items[0].source, "n1.txt");
    EXPECT_EQ(sync.commands[0].items[0].data.value_or(""), kNote);
    EXPECT_EQ(sync.commands[0].meta.type, "text/plain");
}

TEST(SyncmlWbxmlTest, ANoteWithACdataEndTravelsToTheClientUnchanged) {
    Message m = serverMessage();
    m.commands[1].commands[0].items[0].data = "a ]]> b\n";
    EXPECT_NE(encoded(m).find("a ]]> b\n"), std::string::npos);
}

TEST(SyncmlWbxmlTest, BytesThatAreNoWbxmlDocumentAreRefused) {
    std::string xml, error;
    EXPECT_FALSE(wbxmlToXml("", &xml, &error));
    EXPECT_FALSE(wbxmlToXml("<SyncML/>", &xml, &error));
    EXPECT_FALSE(error.empty());
    // Every cut of a real message is refused or read, never a crash.
    const std::string whole = encoded(serverMessage());
    for (size_t n = 0; n < whole.size(); n += 7) {
        std::string out, why;
        wbxmlToXml(whole.substr(0, n), &out, &why);
    }
    // Input on which libwbxml2 itself would abort (an entity beyond Unicode) is refused first.
    const std::string entity("\x02\xa4\x01\x6a\x00\x6d\x02\xff\xff\xff\xff\x71\x03\x31\x00\x01",
                             16);
    EXPECT_FALSE(wbxmlToXml(entity, &xml, &error));
    std::string wbxml;
    EXPECT_FALSE(xmlToWbxml("not xml", &wbxml, &error));
}

}  // namespace
}  // namespace vt::syncml
