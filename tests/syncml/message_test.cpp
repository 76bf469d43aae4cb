#include "engines/syncml/message.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace vt::syncml {
namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// A client's header: md5 credentials, the sizes it accepts.
constexpr std::string_view kClientHeader =
    "<SyncHdr><VerDTD>1.2</VerDTD><VerProto>SyncML/1.2</VerProto><SessionID>17</SessionID>"
    "<MsgID>1</MsgID><Target><LocURI>http://127.0.0.1:8080/notes</LocURI></Target>"
    "<Source><LocURI>client-4f1e</LocURI><LocName>anna</LocName></Source>"
    "<Cred><Meta><Format xmlns='syncml:metinf'>b64</Format>"
    "<Type xmlns='syncml:metinf'>syncml:auth-md5</Type></Meta>"
    "<Data>q1w2e3r4t5y6u7i8o9p0aA==</Data></Cred>"
    "<Meta><MaxMsgSize xmlns='syncml:metinf'>120000</MaxMsgSize>"
    "<MaxObjSize xmlns='syncml:metinf'>2000000</MaxObjSize></Meta></SyncHdr>";

// A plain header for messages whose header does not matter.
constexpr std::string_view kPlainHeader =
    "<SyncHdr><VerDTD>1.2</VerDTD><VerProto>SyncML/1.2</VerProto><SessionID>17</SessionID>"
    "<MsgID>2</MsgID><Target><LocURI>http://127.0.0.1:8080/notes</LocURI></Target>"
    "<Source><LocURI>client-4f1e</LocURI></Source></SyncHdr>";

std::string document(std::string_view header, std::string_view body) {
    std::string doc(kDeclaration);
    doc += "<SyncML xmlns='SYNCML:SYNCML1.2'>";
    doc += header;
    doc += "<SyncBody>";
    doc += body;
    doc += "</SyncBody></SyncML>";
    return doc;
}

class SyncmlMessageTest : public ::testing::Test {
  protected:
    // Parses a document that must be accepted.
    Message parsed(std::string_view bytes) {
        Message m;
        std::string error;
        EXPECT_TRUE(parseXml(bytes, &m, &error)) << error;
        EXPECT_TRUE(error.empty());
        return m;
    }

    // Parses a document that must be refused; returns the error.
    std::string refused(std::string_view bytes) {
        Message m;
        std::string error;
        EXPECT_FALSE(parseXml(bytes, &m, &error)) << bytes.substr(0, 300);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_TRUE(m.commands.empty());
        return error;
    }
};

// ---- Reading what clients send

TEST_F(SyncmlMessageTest, ReadsAClientsFirstMessage) {
    const std::string body =
        "<Put><CmdID>1</CmdID><Meta><Type xmlns='syncml:metinf'>"
        "application/vnd.syncml-devinf+xml</Type></Meta><Item><Source><LocURI>./devinf12</LocURI>"
        "</Source><Data><DevInf xmlns='syncml:devinf'><VerDTD>1.2</VerDTD><Man>Someone</Man>"
        "<DevID>client-4f1e</DevID><DevTyp>workstation</DevTyp><UTC/><SupportLargeObjs/>"
        "<DataStore><SourceRef>./notes</SourceRef><Rx-Pref><CTType>text/plain</CTType>"
        "<VerCT>1.0</VerCT></Rx-Pref><SyncCap><SyncType>1</SyncType><SyncType>2</SyncType>"
        "</SyncCap></DataStore></DevInf></Data></Item></Put>"
        "<Get><CmdID>2</CmdID><Meta><Type xmlns='syncml:metinf'>"
        "application/vnd.syncml-devinf+xml</Type></Meta><Item><Target><LocURI>./devinf12"
        "</LocURI></Target></Item></Get>"
        "<Alert><CmdID>3</CmdID><Data>201</Data><Item><Target><LocURI>Notes</LocURI></Target>"
        "<Source><LocURI>./notes</LocURI></Source><Meta><Anchor xmlns='syncml:metinf'>"
        "<Next>20260301T101500Z</Next></Anchor><MaxObjSize xmlns='syncml:metinf'>2000000"
        "</MaxObjSize></Meta></Item></Alert><Final/>";
    const Message m = parsed(document(kClientHeader, body));

    EXPECT_EQ(m.header.verDTD, "1.2");
    EXPECT_EQ(m.header.verProto, "SyncML/1.2");
    EXPECT_EQ(m.header.sessionId, "17");
    EXPECT_EQ(m.header.msgId, "1");
    EXPECT_EQ(m.header.target, "http://127.0.0.1:8080/notes");
    EXPECT_EQ(m.header.source, "client-4f1e");
    EXPECT_EQ(m.header.sourceName, "anna");
    ASSERT_TRUE(m.header.cred.has_value());
    EXPECT_EQ(m.header.cred->meta.type, "syncml:auth-md5");
    EXPECT_EQ(m.header.cred->meta.format, "b64");
    EXPECT_EQ(m.header.cred->data, "q1w2e3r4t5y6u7i8o9p0aA==");
    EXPECT_EQ(m.header.meta.maxMsgSize, 120000u);
    EXPECT_EQ(m.header.meta.maxObjSize, 2000000u);
    EXPECT_TRUE(m.final);

    ASSERT_EQ(m.commands.size(), 3u);
    const Command& put = m.commands[0];
    EXPECT_EQ(put.kind, CommandKind::Put);
    EXPECT_EQ(put.cmdId, "1");
    EXPECT_EQ(put.meta.type, "application/vnd.syncml-devinf+xml");
    ASSERT_EQ(put.items.size(), 1u);
    EXPECT_EQ(put.items[0].source, "./devinf12");
    EXPECT_FALSE(put.items[0].data.has_value());  // markup, not text
    const std::string& devinf = put.items[0].dataXml;
    EXPECT_EQ(devinf.rfind("<DevInf xmlns=\"syncml:devinf\"><VerDTD>1.2</VerDTD>", 0), 0u)
        << devinf;
    EXPECT_NE(devinf.find("<UTC/><SupportLargeObjs/>"), std::string::npos) << devinf;
    EXPECT_NE(devinf.find("<SyncType>2</SyncType></SyncCap></DataStore></DevInf>"),
              std::string::npos)
        << devinf;

    const Command& get = m.commands[1];
    EXPECT_EQ(get.kind, CommandKind::Get);
    ASSERT_EQ(get.items.size(), 1u);
    EXPECT_EQ(get.items[0].target, "./devinf12");
    EXPECT_FALSE(get.items[0].data.has_value());

    const Command& alert = m.commands[2];
    EXPECT_EQ(alert.kind, CommandKind::Alert);
    EXPECT_EQ(alert.cmdId, "3");
    EXPECT_EQ(alert.data, "201");
    ASSERT_EQ(alert.items.size(), 1u);
    EXPECT_EQ(alert.items[0].target, "Notes");
    EXPECT_EQ(alert.items[0].source, "./notes");
    ASSERT_TRUE(alert.items[0].meta.anchor.has_value());
    EXPECT_FALSE(alert.items[0].meta.anchor->last.has_value());
    EXPECT_EQ(alert.items[0].meta.anchor->next, "20260301T101500Z");
    EXPECT_EQ(alert.items[0].meta.maxObjSize, 2000000u);
}

TEST_F(SyncmlMessageTest, KeepsItemDataByteExactInsideASync) {
    const std::string first = "Shopping list\r\n  milk \r\n\teggs\r\n\r\n";
    const std::string second = " lead & <tags> and a bare\rCR\r\n";
    const std::string body =
        "<Sync><CmdID>4</CmdID><Target><LocURI>Notes</LocURI></Target><Source><LocURI>./notes"
        "</LocURI></Source><NumberOfChanges>4</NumberOfChanges>"
        "<Add><CmdID>5</CmdID><Meta><Type xmlns='syncml:metinf'>text/plain</Type></Meta><Item>"
        "<Source><LocURI>21</LocURI></Source><Data><![CDATA[" +
        first +
        "]]></Data></Item></Add>"
        "<Replace><CmdID>6</CmdID><Meta><Type xmlns='syncml:metinf'>text/plain</Type></Meta>"
        "<Item><Source><LocURI>3</LocURI></Source><Data><![CDATA[" +
        second +
        "]]></Data></Item></Replace>"
        // Character data rather than CDATA: entities resolved, raw CRs kept as well.
        "<Replace><CmdID>7</CmdID><Item><Source><LocURI>4</LocURI></Source>"
        "<Data>a &amp; b\r\n&#13;c&lt;</Data></Item></Replace>"
        "<Add><CmdID>8</CmdID><Item><Source><LocURI>22</LocURI></Source><Data/></Item></Add>"
        "<Delete><CmdID>9</CmdID><Item><Source><LocURI>7</LocURI></Source></Item></Delete>"
        "</Sync><Final/>";
    const Message m = parsed(document(kPlainHeader, body));

    ASSERT_EQ(m.commands.size(), 1u);
    const Command& sync = m.commands[0];
    EXPECT_EQ(sync.kind, CommandKind::Sync);
    EXPECT_EQ(sync.cmdId, "4");
    EXPECT_EQ(sync.target, "Notes");
    EXPECT_EQ(sync.source, "./notes");
    EXPECT_EQ(sync.numberOfChanges, 4u);
    ASSERT_EQ(sync.commands.size(), 5u);
    EXPECT_EQ(sync.commands[0].kind, CommandKind::Add);
    EXPECT_EQ(sync.commands[0].meta.type, "text/plain");
    EXPECT_EQ(sync.commands[0].items.at(0).source, "21");
    EXPECT_EQ(sync.commands[0].items.at(0).data, first);
    EXPECT_EQ(sync.commands[1].kind, CommandKind::Replace);
    EXPECT_EQ(sync.commands[1].items.at(0).data, second);
    EXPECT_EQ(sync.commands[2].items.at(0).data, "a & b\r\n\rc<");
    EXPECT_EQ(sync.commands[3].items.at(0).data, "");  // <Data/>
    EXPECT_EQ(sync.commands[4].kind, CommandKind::Delete);
    EXPECT_EQ(sync.commands[4].items.at(0).source, "7");
    EXPECT_FALSE(sync.commands[4].items.at(0).data.has_value());
    EXPECT_TRUE(sync.commands[4].items.at(0).dataXml.empty());
}

TEST_F(SyncmlMessageTest, ReadsAMapAndStatusesWithChallengeAndAnchor) {
    const std::string body =
        "<Status><CmdID>1</CmdID><MsgRef>1</MsgRef><CmdRef>0</CmdRef><Cmd>SyncHdr</Cmd>"
        "<TargetRef>http://127.0.0.1:8080/notes</TargetRef><SourceRef>client-4f1e</SourceRef>"
        "<Chal><Meta><Type xmlns='syncml:metinf'>syncml:auth-md5</Type><Format "
        "xmlns='syncml:metinf'>b64</Format><NextNonce xmlns='syncml:metinf'>bm9uY2Uy"
        "</NextNonce></Meta></Chal><Data>401</Data></Status>"
        "<Status><CmdID>2</CmdID><MsgRef>1</MsgRef><CmdRef>6</CmdRef><Cmd>Alert</Cmd>"
        "<TargetRef>./notes</TargetRef><SourceRef>Notes</SourceRef><Data>200</Data><Item><Data>"
        "<Anchor xmlns='syncml:metinf'><Next>20260301T101500Z</Next></Anchor></Data></Item>"
        "</Status>"
        "<Map><CmdID>3</CmdID><Target><LocURI>Notes</LocURI></Target><Source><LocURI>./notes"
        "</LocURI></Source><MapItem><Target><LocURI>S0001</LocURI></Target><Source><LocURI>11"
        "</LocURI></Source></MapItem><MapItem><Target><LocURI>S0002</LocURI></Target><Source>"
        "<LocURI>12</LocURI></Source></MapItem></Map><Final/>";
    const Message m = parsed(document(kPlainHeader, body));

    ASSERT_EQ(m.commands.size(), 3u);
    const Command& hdrStatus = m.commands[0];
    EXPECT_EQ(hdrStatus.kind, CommandKind::Status);
    EXPECT_EQ(hdrStatus.msgRef, "1");
    EXPECT_EQ(hdrStatus.cmdRef, "0");
    EXPECT_EQ(hdrStatus.cmd, "SyncHdr");
    EXPECT_EQ(hdrStatus.targetRefs, std::vector<std::string>{"http://127.0.0.1:8080/notes"});
    EXPECT_EQ(hdrStatus.sourceRefs, std::vector<std::string>{"client-4f1e"});
    EXPECT_EQ(hdrStatus.data, "401");
    ASSERT_TRUE(hdrStatus.chal.has_value());
    EXPECT_EQ(hdrStatus.chal->type, "syncml:auth-md5");
    EXPECT_EQ(hdrStatus.chal->format, "b64");
    EXPECT_EQ(hdrStatus.chal->nextNonce, "bm9uY2Uy");

    const Command& alertStatus = m.commands[1];
    EXPECT_FALSE(alertStatus.chal.has_value());
    EXPECT_EQ(alertStatus.data, "200");
    ASSERT_EQ(alertStatus.items.size(), 1u);
    EXPECT_EQ(alertStatus.items[0].dataXml,
              "<Anchor xmlns=\"syncml:metinf\"><Next>20260301T101500Z</Next></Anchor>");

    const Command& map = m.commands[2];
    EXPECT_EQ(map.kind, CommandKind::Map);
    EXPECT_EQ(map.target, "Notes");
    EXPECT_EQ(map.source, "./notes");
    ASSERT_EQ(map.mapItems.size(), 2u);
    EXPECT_EQ(map.mapItems[1].target, "S0002");
    EXPECT_EQ(map.mapItems[1].source, "12");
}

TEST_F(SyncmlMessageTest, MatchesLocalNamesAndKeepsWhatItDoesNotKnowApart) {
    // Prefixed elements, metinf elements it does not use, a command it does not know, commands
    // nested in Atomic, and a devinf whose namespace is declared on the root.
    const std::string doc = std::string(kDeclaration) +
                            "<s:SyncML xmlns:s='SYNCML:SYNCML1.2' xmlns:d='syncml:devinf'>"
                            "<s:SyncHdr><s:SessionID>3</s:SessionID><s:MsgID>9</s:MsgID>"
                            "<s:Meta><m:MaxMsgSize xmlns:m='syncml:metinf'>8000</m:MaxMsgSize>"
                            "<m:Mem xmlns:m='syncml:metinf'><m:FreeMem>1</m:FreeMem></m:Mem>"
                            "</s:Meta></s:SyncHdr><s:SyncBody>"
                            "<s:Frobnicate><s:CmdID>1</s:CmdID><s:Item><s:Data><x/></s:Data>"
                            "</s:Item></s:Frobnicate>"
                            "<s:Atomic><s:CmdID>2</s:CmdID><s:Add><s:CmdID>3</s:CmdID><s:Item>"
                            "<s:Meta><EMI xmlns='syncml:metinf'>x</EMI></s:Meta><s:Data>"
                            "<d:DevInf><d:Man>M</d:Man></d:DevInf></s:Data></s:Item></s:Add>"
                            "<s:Unheard/></s:Atomic></s:SyncBody></s:SyncML>";
    const Message m = parsed(doc);

    EXPECT_EQ(m.header.sessionId, "3");
    EXPECT_EQ(m.header.verDTD, "");  // absent, not the model's default
    EXPECT_EQ(m.header.meta.maxMsgSize, 8000u);
    EXPECT_FALSE(m.final);
    ASSERT_EQ(m.commands.size(), 2u);
    EXPECT_EQ(m.commands[0].kind, CommandKind::Unknown);
    EXPECT_EQ(m.commands[0].name, "Frobnicate");
    EXPECT_EQ(m.commands[0].cmdId, "1");
    EXPECT_TRUE(m.commands[0].items.empty());

    const Command& atomic = m.commands[1];
    EXPECT_EQ(atomic.kind, CommandKind::Atomic);
    ASSERT_EQ(atomic.commands.size(), 2u);
    EXPECT_EQ(atomic.commands[0].kind, CommandKind::Add);
    EXPECT_EQ(atomic.commands[0].cmdId, "3");
    // The devinf markup declares the namespace it uses, so it stands on its own.
    EXPECT_EQ(atomic.commands[0].items.at(0).dataXml,
              "<d:DevInf xmlns:d=\"syncml:devinf\"><d:Man>M</d:Man></d:DevInf>");
    EXPECT_EQ(atomic.commands[1].kind, CommandKind::Unknown);
    EXPECT_EQ(atomic.commands[1].name, "Unheard");
}

TEST_F(SyncmlMessageTest, AcceptsADoctypeThatOnlyNamesTheDtd) {
    const std::string doc = std::string(kDeclaration) +
                            "<!DOCTYPE SyncML PUBLIC \"-//SYNCML//DTD SyncML 1.2//EN\" "
                            "\"http://www.openmobilealliance.org/tech/DTD/OMA-TS-SyncML_RepPro_"
                            "DTD-V1_2.dtd\">\r\n<SyncML xmlns='SYNCML:SYNCML1.2'>\r\n" +
                            std::string(kPlainHeader) + "\r\n<SyncBody>\r\n<Final/>\r\n" +
                            "</SyncBody>\r\n</SyncML>\r\n";
    const Message m = parsed(doc);
    EXPECT_EQ(m.header.msgId, "2");
    EXPECT_TRUE(m.final);
    // An entity that DTD would have to declare is refused: its text is unknown.
    const std::string withEntity = std::string(kDeclaration) +
                                   "<!DOCTYPE SyncML SYSTEM \"file:///etc/passwd\">" +
                                   document(kPlainHeader, "<Alert><CmdID>&unknown;</CmdID></Alert>")
                                       .substr(kDeclaration.size());
    refused(withEntity);
}

TEST_F(SyncmlMessageTest, KeepsBytesThatXmlCannotHoldInData) {
    // Clients send a note file's bytes as they are: Latin-1, control characters. A character
    // from the private range used to carry such bytes must come through as itself.
    const std::string latin1 = "caf\xE9 \x0C page\x01\r\n";
    const std::string privateUse = "\xEF\x9F\xA9 and \xEF\x9C\x80";  // U+F7E9, U+F700
    const std::string body =
        "<Sync><CmdID>1</CmdID><Add><CmdID>2</CmdID><Item><Source><LocURI>9\xE9</LocURI>"
        "</Source><Data><![CDATA[" +
        latin1 + "]]></Data></Item></Add><Add><CmdID>3</CmdID><Item><Data>" + privateUse +
        std::string("\0", 1) +
        "</Data></Item></Add><Put><CmdID>4</CmdID><Item><Data><DevInf xmlns='syncml:devinf'>"
        "<Man>M\xFC\xC3\xBCller \xEF\x9F\xA9</Man></DevInf></Data></Item></Put></Sync>";
    const Message m = parsed(document(kPlainHeader, body));
    const Command& sync = m.commands.at(0);
    ASSERT_EQ(sync.commands.size(), 3u);
    EXPECT_EQ(sync.commands[0].items.at(0).source, "9\xE9");
    EXPECT_EQ(sync.commands[0].items.at(0).data, latin1);
    EXPECT_EQ(sync.commands[1].items.at(0).data, privateUse + std::string("\0", 1));
    EXPECT_EQ(sync.commands[2].items.at(0).dataXml,
              "<DevInf xmlns=\"syncml:devinf\"><Man>M\xFC\xC3\xBCller \xEF\x9F\xA9</Man></DevInf>");
    EXPECT_FALSE(isXmlText(latin1));

    // Written as they came, they read back the same.
    const Message back = parsed(writeXml(m));
    EXPECT_EQ(back.commands.at(0).commands.at(0).items.at(0).data, latin1);
    EXPECT_EQ(back.commands.at(0).commands.at(1).items.at(0).data, sync.commands[1].items[0].data);
    EXPECT_EQ(back.commands.at(0).commands.at(2).items.at(0).dataXml,
              sync.commands[2].items[0].dataXml);
    // Outside the root element XML's rules hold.
    refused("\xE9" + document(kPlainHeader, ""));
}

// ---- Writing

TEST_F(SyncmlMessageTest, WritesInTheStyleClientsAccept) {
    Message m;
    m.header.sessionId = "5";
    m.header.msgId = "1";
    m.header.target = "client-4f1e";
    m.header.source = "http://127.0.0.1:8080/notes";
    m.header.meta.maxMsgSize = 150000;
    Command status;
    status.kind = CommandKind::Status;
    status.cmdId = "1";
    status.msgRef = "1";
    status.cmdRef = "0";
    status.cmd = "SyncHdr";
    status.targetRefs = {"http://127.0.0.1:8080/notes"};
    status.sourceRefs = {"client-4f1e"};
    status.data = "212";
    status.chal.emplace();
    status.chal->type = "syncml:auth-md5";
    status.chal->format = "b64";
    status.chal->nextNonce = "bm9uY2Ux";
    m.commands.push_back(status);
    Command alert;
    alert.kind = CommandKind::Alert;
    alert.cmdId = "2";
    alert.data = "201";
    Item& item = alert.items.emplace_back();
    item.target = "./notes";
    item.source = "Notes";
    item.meta.anchor = Anchor{"0", "20260301T101501Z"};
    item.meta.maxObjSize = 4000000;
    m.commands.push_back(alert);
    Command put;
    put.kind = CommandKind::Add;
    put.cmdId = "3";
    put.meta.type = "text/plain";
    put.items.emplace_back().source = "S1&2";
    put.items[0].data = "x\r\ny";
    m.commands.push_back(put);
    m.final = true;

    EXPECT_EQ(
        writeXml(m),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SyncML xmlns='SYNCML:SYNCML1.2'>"
        "<SyncHdr><VerDTD>1.2</VerDTD><VerProto>SyncML/1.2</VerProto>"
        "<SessionID>5</SessionID><MsgID>1</MsgID><Target><LocURI>client-4f1e</LocURI>"
        "</Target><Source><LocURI>http://127.0.0.1:8080/notes</LocURI></Source><Meta>"
        "<MaxMsgSize xmlns='syncml:metinf'>150000</MaxMsgSize></Meta></SyncHdr><SyncBody>"
        "<Status><CmdID>1</CmdID><MsgRef>1</MsgRef><CmdRef>0</CmdRef><Cmd>SyncHdr</Cmd>"
        "<TargetRef>http://127.0.0.1:8080/notes</TargetRef><SourceRef>client-4f1e"
        "</SourceRef><Chal><Meta><Format xmlns='syncml:metinf'>b64</Format>"
        "<Type xmlns='syncml:metinf'>syncml:auth-md5</Type>"
        "<NextNonce xmlns='syncml:metinf'>bm9uY2Ux</NextNonce></Meta></Chal>"
        "<Data>212</Data></Status>"
        "<Alert><CmdID>2</CmdID><Data>201</Data><Item><Target><LocURI>./notes</LocURI>"
        "</Target><Source><LocURI>Notes</LocURI></Source><Meta>"
        "<Anchor xmlns='syncml:metinf'><Last>0</Last><Next>20260301T101501Z</Next>"
        "</Anchor><MaxObjSize xmlns='syncml:metinf'>4000000</MaxObjSize></Meta></Item>"
        "</Alert><Add><CmdID>3</CmdID><Meta><Type xmlns='syncml:metinf'>text/plain</Type>"
        "</Meta><Item><Source><LocURI>S1&amp;2</LocURI></Source>"
        "<Data><![CDATA[x]]>&#13;<![CDATA[\ny]]></Data></Item></Add><Final/></SyncBody></SyncML>");
}

TEST_F(SyncmlMessageTest, AServerReplyReadsBackAsWritten) {
    Message m;
    m.header.sessionId = "12";
    m.header.msgId = "3";
    m.header.target = "client-4f1e";
    m.header.source = "http://127.0.0.1:8080/notes";
    m.header.respUri = "http://127.0.0.1:8080/notes?s=12&m=3";
    m.header.meta.maxMsgSize = 150000;

    Command anchorStatus;
    anchorStatus.kind = CommandKind::Status;
    anchorStatus.cmdId = "1";
    anchorStatus.msgRef = "2";
    anchorStatus.cmdRef = "3";
    anchorStatus.cmd = "Alert";
    anchorStatus.data = "200";
    anchorStatus.items.emplace_back().dataXml =
        "<Anchor xmlns=\"syncml:metinf\"><Next>20260301T101500Z</Next></Anchor>";
    m.commands.push_back(anchorStatus);

    Command results;
    results.kind = CommandKind::Results;
    results.cmdId = "2";
    results.msgRef = "2";
    results.cmdRef = "2";
    results.meta.type = "application/vnd.syncml-devinf+xml";
    results.items.emplace_back().source = "./devinf12";
    results.items[0].dataXml =
        "<DevInf xmlns=\"syncml:devinf\"><VerDTD>1.2</VerDTD><UTC/><SupportLargeObjs/></DevInf>";
    m.commands.push_back(results);

    Command sync;
    sync.kind = CommandKind::Sync;
    sync.cmdId = "3";
    sync.target = "./notes";
    sync.source = "Notes";
    sync.numberOfChanges = 3;
    Command add;
    add.kind = CommandKind::Add;
    add.cmdId = "4";
    add.meta.type = "text/plain";
    add.meta.size = 12;
    add.items.emplace_back().source = "S0007\r\n<&>";  // escaped, CR as a reference
    add.items[0].data = "  äöü €\r\n\ttab\r";
    add.items[0].moreData = true;
    sync.commands.push_back(add);
    Command replace = add;
    replace.kind = CommandKind::Replace;
    replace.cmdId = "5";
    replace.items[0].data = "";
    replace.items[0].moreData = false;
    sync.commands.push_back(replace);
    Command del;
    del.kind = CommandKind::Delete;
    del.cmdId = "6";
    del.noResp = true;
    del.items.emplace_back().target = "9";
    sync.commands.push_back(del);
    m.commands.push_back(sync);
    m.final = true;

    const std::string text = writeXml(m);
    const Message back = parsed(text);
    EXPECT_EQ(writeXml(back), text);
    EXPECT_EQ(back.header.respUri, m.header.respUri);
    ASSERT_EQ(back.commands.size(), 3u);
    EXPECT_EQ(back.commands[0].items.at(0).dataXml, anchorStatus.items[0].dataXml);
    EXPECT_EQ(back.commands[1].items.at(0).dataXml, results.items[0].dataXml);
    const Command& backSync = back.commands[2];
    ASSERT_EQ(backSync.commands.size(), 3u);
    EXPECT_EQ(backSync.commands[0].items.at(0).data, add.items[0].data);
    EXPECT_EQ(backSync.commands[0].items.at(0).source, add.items[0].source);
    EXPECT_TRUE(backSync.commands[0].items.at(0).moreData);
    EXPECT_EQ(backSync.commands[0].meta.size, 12u);
    EXPECT_EQ(backSync.commands[1].items.at(0).data, "");
    EXPECT_TRUE(backSync.commands[2].noResp);
    EXPECT_FALSE(backSync.commands[2].items.at(0).data.has_value());
    EXPECT_TRUE(back.final);
}

TEST_F(SyncmlMessageTest, DataHoldingTheCdataEndSurvives) {
    for (const std::string data : {"]]>", "a]]>b]]>c", "]]]]>>", "x]]", "]]> \r\n]]>"}) {
        Message m;
        m.header.sessionId = "1";
        Command add;
        add.kind = CommandKind::Add;
        add.cmdId = "1";
        add.items.emplace_back().data = data;
        m.commands.push_back(add);
        const std::string text = writeXml(m);
        const Message back = parsed(text);
        ASSERT_EQ(back.commands.size(), 1u) << text;
        EXPECT_EQ(back.commands[0].items.at(0).data, data) << text;
    }
}

// ---- Refusing what is not a SyncML document

TEST_F(SyncmlMessageTest, RefusesMalformedAndTruncatedDocuments) {
    const std::string good = document(
        kClientHeader,
        "<Sync><CmdID>1</CmdID><Add><CmdID>2</CmdID><Item><Data><![CDATA[a\r\nb]]></Data></Item>"
        "</Add></Sync><Final/>");
    parsed(good);
    // Every cut before the root's end tag is incomplete.
    const size_t rootEnd = good.rfind("</SyncML>");
    for (size_t cut = 0; cut < rootEnd + 8; ++cut) {
        Message m;
        std::string error;
        EXPECT_FALSE(parseXml(std::string_view(good).substr(0, cut), &m, &error)) << cut;
    }
    refused("");
    refused("not xml at all");
    refused(document(kPlainHeader, "<Alert><CmdID>1</CmdID></Status>"));  // mismatched
    refused(std::string(kDeclaration) + "<SyncML><SyncBody/></SyncML>");  // no SyncHdr
    refused(std::string(kDeclaration) + "<SyncML>" + std::string(kPlainHeader) + "</SyncML>");
    refused(std::string(kDeclaration) + "<SyncMLx>" + std::string(kPlainHeader) +
            "<SyncBody/></SyncMLx>");
    EXPECT_NE(refused(document(kPlainHeader, "<Alert><CmdID><b>1</b></CmdID></Alert>"))
                  .find("where text belongs"),
              std::string::npos);
    refused(document(kPlainHeader, "<Al\xE9rt><CmdID>1</CmdID></Al\xE9rt>"));  // in a name
    refused(document(kPlainHeader, "<Alert><Data>&#1;</Data></Alert>"));
    refused(document(kPlainHeader, "<Add><Item><Data><![CDATA[open"));
}

TEST_F(SyncmlMessageTest, RefusesEntityDeclarations) {
    const std::string laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE SyncML [<!ENTITY a \"lol\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
        "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;\">]>"
        "<SyncML><SyncHdr><SessionID>&e;</SessionID></SyncHdr><SyncBody/></SyncML>";
    EXPECT_NE(refused(laughs).find("DOCTYPE"), std::string::npos);
    refused(
        "<?xml version=\"1.0\"?><!DOCTYPE SyncML [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
        "<SyncML><SyncHdr><SessionID>&x;</SessionID></SyncHdr><SyncBody/></SyncML>");
    refused(document(kPlainHeader, "<!ENTITY a \"b\"><Final/>"));
}

TEST_F(SyncmlMessageTest, RefusesNestingDeeperThanAnyMessage) {
    // SyncML and SyncBody are levels 1 and 2: 29 Sequences put CmdID at level 32.
    const auto nested = [](int levels) {
        std::string body;
        for (int i = 0; i < levels; ++i) body += "<Sequence>";
        body += "<CmdID>1</CmdID>";
        for (int i = 0; i < levels; ++i) body += "</Sequence>";
        return document(kPlainHeader, body);
    };
    const Message m = parsed(nested(29));
    const Command* inner = &m.commands.at(0);
    for (int i = 1; i < 29; ++i) inner = &inner->commands.at(0);
    EXPECT_EQ(inner->cmdId, "1");
    EXPECT_NE(refused(nested(30)).find("nested"), std::string::npos);
    refused(nested(100000));
}

TEST_F(SyncmlMessageTest, RefusesNumbersThatAreNoNumbers) {
    const auto withMaxMsgSize = [](std::string_view value) {
        return document(
            "<SyncHdr><SessionID>1</SessionID><Meta><MaxMsgSize "
            "xmlns='syncml:metinf'>" +
                std::string(value) + "</MaxMsgSize></Meta></SyncHdr>",
            "");
    };
    EXPECT_EQ(parsed(withMaxMsgSize(" 150000\r\n")).header.meta.maxMsgSize, 150000u);
    EXPECT_EQ(parsed(withMaxMsgSize("18446744073709551615")).header.meta.maxMsgSize, UINT64_MAX);
    for (std::string_view bad : {"15o000", "-1", "+1", "", "1 5", "18446744073709551616", "0x10"}) {
        EXPECT_NE(refused(withMaxMsgSize(bad)).find("not a number"), std::string::npos) << bad;
    }
    refused(document(kPlainHeader,
                     "<Sync><CmdID>1</CmdID><NumberOfChanges>many</NumberOfChanges></Sync>"));
    refused(document(kPlainHeader,
                     "<Add><CmdID>1</CmdID><Item><Meta><Size xmlns='syncml:metinf'>9.5</Size>"
                     "</Meta></Item></Add>"));
}

// ---- Text

TEST_F(SyncmlMessageTest, XmlTextIsUtf8OfXmlCharacters) {
    EXPECT_TRUE(isXmlText(""));
    EXPECT_TRUE(isXmlText("plain\ttext\r\nline"));
    EXPECT_TRUE(isXmlText("\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"));  // ä € 😀
    EXPECT_TRUE(isXmlText("\xEF\xBF\xBD\xF4\x8F\xBF\xBF"));          // U+FFFD, U+10FFFF
    EXPECT_TRUE(isXmlText("\xED\x9F\xBF\xEE\x80\x80"));              // U+D7FF, U+E000
    EXPECT_FALSE(isXmlText(std::string_view("a\0b", 3)));            // NUL
    EXPECT_FALSE(isXmlText("\x01"));                                 // C0 control
    EXPECT_FALSE(isXmlText("\x1F"));
    EXPECT_FALSE(isXmlText("\xEF\xBF\xBE"));      // U+FFFE
    EXPECT_FALSE(isXmlText("\xEF\xBF\xBF"));      // U+FFFF
    EXPECT_FALSE(isXmlText("\xED\xA0\x80"));      // a surrogate
    EXPECT_FALSE(isXmlText("\xC0\xAF"));          // overlong '/'
    EXPECT_FALSE(isXmlText("\xE0\x80\xAF"));      // overlong '/'
    EXPECT_FALSE(isXmlText("\xF0\x8F\xBF\xBF"));  // overlong U+FFFF
    EXPECT_FALSE(isXmlText("\xF4\x90\x80\x80"));  // beyond U+10FFFF
    EXPECT_FALSE(isXmlText("\xC3"));              // cut short
    EXPECT_FALSE(isXmlText("\x80"));              // lone continuation
    EXPECT_FALSE(isXmlText("\xE2\x82"));
    EXPECT_FALSE(isXmlText("\xFF"));
}

}  // namespace
}  // namespace vt::syncml
