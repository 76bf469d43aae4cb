// SyncML 1.2 messages as the server engine reads and writes them: a plain data model of the
// header and of the commands a notes session uses, and its XML encoding
// (application/vnd.syncml+xml), read and written with libxml2.
//
// Pure: parsing and writing do no I/O and keep no state, so they are safe from any thread and
// take any bytes (a client's message is input from outside: a malformed one is an error, never
// a crash). The model keeps values as the text they travel as (a CmdID of "99999999999999999"
// stays a string); the session decides what it accepts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt::syncml {

// Anchor (syncml:metinf): the Last and Next sync anchors of an Alert item or a Status item.
struct Anchor {
    std::optional<std::string> last;  // absent when the element is
    std::string next;
};

// Meta information (namespace syncml:metinf) of a header, a command, an item or a challenge.
// Empty strings and nullopt stand for absent elements.
struct Meta {
    std::string type;    // Type: a content type, or an authentication type in Cred and Chal
    std::string format;  // Format: "b64", "chr", ...
    std::optional<uint64_t> size;        // Size: a large object's whole size
    std::optional<uint64_t> maxMsgSize;  // MaxMsgSize
    std::optional<uint64_t> maxObjSize;  // MaxObjSize
    std::string nextNonce;               // NextNonce, as it travels (base64)
    std::optional<Anchor> anchor;        // Anchor
};

// An Item: a note, a device information document, an anchor in a Status.
struct Item {
    std::string target;        // Target/LocURI
    std::string source;        // Source/LocURI
    std::string sourceParent;  // SourceParent/LocURI
    std::string targetParent;  // TargetParent/LocURI
    Meta meta;
    // Data's text (what a CDATA section or character data holds, entities resolved), when Data
    // holds text. Absent when there is no Data element.
    std::optional<std::string> data;
    // Data's child elements as XML text (a DevInf document; an Anchor in a Status item), when
    // Data holds markup rather than text. Written as it is: the caller makes it well-formed.
    std::string dataXml;
    bool moreData = false;  // MoreData: a piece of a large object, more follows
};

// Cred: the client's credentials in the header.
struct Cred {
    Meta meta;         // type "syncml:auth-md5" or "syncml:auth-basic", format "b64"
    std::string data;  // Data
};

struct MapItem {
    std::string target;  // Target/LocURI: the server's id
    std::string source;  // Source/LocURI: the client's LUID
};

struct Header {
    std::string verDTD = "1.2";
    std::string verProto = "SyncML/1.2";
    std::string sessionId;
    std::string msgId;
    std::string target;      // Target/LocURI
    std::string source;      // Source/LocURI: the client's device id
    std::string sourceName;  // Source/LocName: the user name some clients give
    std::string respUri;     // RespURI
    bool noResp = false;
    std::optional<Cred> cred;
    Meta meta;  // MaxMsgSize, MaxObjSize
};

enum class CommandKind {
    Add,
    Alert,
    Atomic,
    Copy,
    Delete,
    Exec,
    Get,
    Map,
    Move,
    Put,
    Replace,
    Results,
    Search,
    Sequence,
    Status,
    Sync,
    Unknown,  // an element of SyncBody this model does not know; name says which
};

// The element name of a kind ("Add", ...); "Unknown" for Unknown.
std::string_view commandName(CommandKind kind);

// One command of a SyncBody, or one inside a Sync (Add, Replace, Delete, ...). Which fields are
// used depends on the kind, in the order the SyncML DTD gives its elements:
//   Status:  cmdId msgRef cmdRef cmd targetRefs sourceRefs chal data items
//   Results: cmdId msgRef cmdRef meta targetRefs sourceRefs items
//   Alert:   cmdId noResp data items
//   Sync:    cmdId noResp target source meta numberOfChanges commands
//   Add/Replace/Delete/Copy: cmdId noResp meta items
//   Put/Get: cmdId noResp meta items
//   Map:     cmdId target source meta mapItems
// Atomic and Sequence keep their inner commands in commands.
struct Command {
    CommandKind kind = CommandKind::Unknown;
    std::string name;  // the element's name as it came (for Unknown)
    std::string cmdId;
    bool noResp = false;
    Meta meta;
    std::vector<Item> items;
    std::string data;  // Data: an Alert's code, a Status's code
    // Sync and Map.
    std::string target;  // Target/LocURI
    std::string source;  // Source/LocURI
    std::optional<uint64_t> numberOfChanges;
    std::vector<Command> commands;
    std::vector<MapItem> mapItems;
    // Status and Results.
    std::string msgRef;
    std::string cmdRef;
    std::string cmd;  // Status/Cmd: the name of the command answered ("SyncHdr", "Add", ...)
    std::vector<std::string> targetRefs;
    std::vector<std::string> sourceRefs;
    std::optional<Meta> chal;  // Status/Chal/Meta
};

struct Message {
    Header header;
    std::vector<Command> commands;  // SyncBody's commands in document order
    bool final = false;             // SyncBody/Final
};

// Reads a message in the XML encoding. False with *error (one line, for a log) when the bytes
// are not a well-formed SyncML document: no SyncML root, no SyncHdr or SyncBody, an element
// where text belongs, a number that is no number. Namespaces are not checked (clients differ),
// element names are. Never loads external entities or a DTD, and refuses a document nested
// deeper than any real message is. Bytes of the content that XML cannot hold (a Latin-1 note,
// a control character) are kept as they came: a client's note is never altered.
bool parseXml(std::string_view bytes, Message* out, std::string* error);

// Writes a message in the XML encoding (UTF-8, "SYNCML:SYNCML1.2"; metinf elements in the
// "syncml:metinf" namespace), elements in the DTD's order, absent fields left out. Item data is
// written as CDATA (split where it holds "]]>"). The text must be UTF-8 that XML can hold
// (isXmlText); the caller sends other bytes otherwise (b64).
std::string writeXml(const Message& message);

// The bytes writeXml spends on item data text (its CDATA sections and what joins them).
size_t cdataSize(std::string_view text);
// Text escaped for character data or an attribute-free element (&, <, > and CR).
std::string escapeText(std::string_view text);

// Whether bytes are UTF-8 made only of characters an XML 1.0 document may hold (no NUL, no
// other C0 control character than tab, line feed and carriage return, no U+FFFE/U+FFFF).
bool isXmlText(std::string_view bytes);

}  // namespace vt::syncml
