// The XML encoding of SyncML messages. Reading takes three steps: a scan of the raw bytes,
// libxml2's parser, and a walk over its tree into the model.
//
// The scan exists because a note's bytes must come through unchanged, and an XML parser would
// change or refuse some of them:
// - It turns every carriage return into a line feed, in CDATA sections too, while clients send
//   CRLF line ends and expect them back. So in the root element's content each CR reaches
//   libxml2 as the character reference &#13;, which the parser keeps: a CR in character data
//   becomes "&#13;", and a CDATA section becomes the same text escaped (so that a CR inside it
//   can be a reference too).
// - It refuses bytes that are not UTF-8 of an XML character, which clients send all the same (a
//   note file in Latin-1 goes out as it is, in a document that says UTF-8). Inside the root
//   element each such byte travels as a private-use character, U+F700 plus the byte's value,
//   and is turned back into the byte in the text read out of the tree. The characters
//   U+F700..U+F7FF themselves travel the same way, byte by byte, so that the mapping is exact.
// The scan also counts nesting and refuses declarations other than a plain DOCTYPE with an
// external identifier, so no entity is ever declared, let alone expanded.
//
// Writing builds the text directly, in the DTD's element order; nothing there needs libxml2.
#include "engines/syncml/message.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <memory>
#include <utility>

namespace vt::syncml {
namespace {

// Larger messages are refused before parsing; a server advertises a MaxMsgSize far below this.
constexpr size_t kMaxMessageBytes = size_t{64} << 20;
// Deepest element nesting accepted (the root is at 1). A devinf document in a Results inside an
// Atomic is some 15 deep.
constexpr int kMaxDepth = 32;

struct CommandNameEntry {
    CommandKind kind;
    std::string_view name;
};

constexpr CommandNameEntry kCommandNames[] = {
    {CommandKind::Add, "Add"},         {CommandKind::Alert, "Alert"},
    {CommandKind::Atomic, "Atomic"},   {CommandKind::Copy, "Copy"},
    {CommandKind::Delete, "Delete"},   {CommandKind::Exec, "Exec"},
    {CommandKind::Get, "Get"},         {CommandKind::Map, "Map"},
    {CommandKind::Move, "Move"},       {CommandKind::Put, "Put"},
    {CommandKind::Replace, "Replace"}, {CommandKind::Results, "Results"},
    {CommandKind::Search, "Search"},   {CommandKind::Sequence, "Sequence"},
    {CommandKind::Status, "Status"},   {CommandKind::Sync, "Sync"},
};

CommandKind kindOf(std::string_view name) {
    for (const CommandNameEntry& e : kCommandNames) {
        if (e.name == name) return e.kind;
    }
    return CommandKind::Unknown;
}

bool holdsCommands(CommandKind kind) {
    return kind == CommandKind::Sync || kind == CommandKind::Atomic ||
           kind == CommandKind::Sequence;
}

// Makes text fit one log line: control characters become spaces, and it is cut at max bytes
// (at a UTF-8 character boundary).
std::string oneLine(std::string_view text, size_t max) {
    std::string out;
    for (char c : text) {
        out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    if (out.size() > max) {
        size_t cut = max;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
        out += "...";
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// ---------------------------------------------------------------------------------------------
// The scan before libxml2 (see the top of the file).

// The length of the UTF-8 sequence at p (n bytes available) when it encodes a character an XML
// 1.0 document may hold, with the character in *cp; 0 when it does not.
size_t xmlCharAt(const unsigned char* p, size_t n, uint32_t* cp) {
    const unsigned char b = p[0];
    size_t len = 0;
    uint32_t min = 0;
    if (b < 0x80) {
        *cp = b;
        len = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
        *cp = b & 0x1Fu;
        len = 2;
        min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        *cp = b & 0x0Fu;
        len = 3;
        min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        *cp = b & 0x07u;
        len = 4;
        min = 0x10000;
    } else {
        return 0;  // a continuation byte, 0xC0, 0xC1 or 0xF5..0xFF
    }
    if (n < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        *cp = (*cp << 6) | (p[k] & 0x3Fu);
    }
    if (*cp < min) return 0;  // overlong
    const uint32_t c = *cp;
    const bool isChar = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                        (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
    return isChar ? len : 0;  // not: controls, surrogates, U+FFFE/U+FFFF, beyond U+10FFFF
}

// The characters that carry a byte through libxml2: U+F700 + byte.
constexpr uint32_t kByteCarrier = 0xF700;

bool isByteCarrier(uint32_t cp) {
    return (cp & ~0xFFu) == kByteCarrier;
}

void appendByteCarrier(std::string* out, unsigned char byte) {
    const uint32_t cp = kByteCarrier | byte;
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
}

// Turns the carriers in text that libxml2 gave back (valid UTF-8) into their bytes.
void restoreBytes(std::string* text) {
    size_t to = 0;
    for (size_t from = 0; from < text->size();) {
        const auto b1 = static_cast<unsigned char>((*text)[from]);
        if (b1 == 0xEF && from + 2 < text->size()) {
            const auto b2 = static_cast<unsigned char>((*text)[from + 1]);
            const auto b3 = static_cast<unsigned char>((*text)[from + 2]);
            if (b2 >= 0x9C && b2 <= 0x9F) {
                (*text)[to++] = static_cast<char>(((b2 & 0x03) << 6) | (b3 & 0x3F));
                from += 3;
                continue;
            }
        }
        (*text)[to++] = (*text)[from++];
    }
    text->resize(to);
}

bool startsWith(std::string_view bytes, size_t at, std::string_view prefix) {
    return bytes.substr(at, prefix.size()) == prefix;
}

// Copies bytes to *out with the carriage returns of the root element's content turned into
// character references, its CDATA sections into escaped text and the bytes XML cannot hold into
// carriers; *carried tells whether there were any. False with *error for a declaration other
// than a DOCTYPE without internal subset, for nesting deeper than kMaxDepth and for a CDATA
// section left open. Other faults are left for libxml2 to find.
bool prepare(std::string_view bytes, std::string* out, bool* carried, std::string* error) {
    enum class State { Text, Tag, CData, Comment, Pi, Doctype };
    State state = State::Text;
    int depth = 0;
    bool endTag = false;  // in a tag: it is "</...>"
    char quote = 0;       // in a tag or DOCTYPE: the quote of the value being read
    char last = 0;        // in a tag: the last byte outside quotes
    out->clear();
    out->reserve(bytes.size() + bytes.size() / 16);
    *carried = false;
    const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    while (i < bytes.size()) {
        const char c = bytes[i];
        const unsigned char b = raw[i];
        if (b >= 0x80 || (b < 0x20 && c != '\t' && c != '\n' && c != '\r')) {
            // Not ASCII, or a control character: none of the markup the scan looks for.
            uint32_t cp = 0;
            size_t len = xmlCharAt(raw + i, bytes.size() - i, &cp);
            if (depth > 0 && (len == 0 || isByteCarrier(cp))) {
                appendByteCarrier(out, b);
                *carried = true;
                ++i;
                continue;
            }
            if (len == 0) len = 1;  // before or after the root: libxml2 refuses it
            out->append(bytes.substr(i, len));
            if (state == State::Tag && quote == 0) last = c;
            i += len;
            continue;
        }
        switch (state) {
            case State::Text:
                if (c == '<') {
                    if (startsWith(bytes, i, "<![CDATA[") && depth > 0) {
                        state = State::CData;
                        i += 9;
                        continue;
                    }
                    if (startsWith(bytes, i, "<![CDATA[")) {
                        // Outside the root: libxml2 refuses it.
                    } else if (startsWith(bytes, i, "<!--")) {
                        state = State::Comment;
                        out->append("<!--");
                        i += 4;
                        continue;
                    } else if (startsWith(bytes, i, "<!DOCTYPE") && depth == 0) {
                        state = State::Doctype;
                        quote = 0;
                    } else if (startsWith(bytes, i, "<!")) {
                        *error = "markup declarations are not accepted";
                        return false;
                    } else if (startsWith(bytes, i, "<?")) {
                        state = State::Pi;
                        out->append("<?");
                        i += 2;
                        continue;
                    } else {
                        state = State::Tag;
                        endTag = startsWith(bytes, i, "</");
                        quote = 0;
                        last = 0;
                        if (endTag && depth > 0) --depth;
                    }
                    *out += c;
                } else if (c == '\r' && depth > 0) {
                    out->append("&#13;");
                } else {
                    *out += c;
                }
                break;
            case State::Tag:
                if (quote != 0) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    if (!endTag && last != '/' && ++depth > kMaxDepth) {
                        *error = "elements nested deeper than " + std::to_string(kMaxDepth);
                        return false;
                    }
                    state = State::Text;
                } else {
                    last = c;
                }
                *out += c;
                break;
            case State::CData:
                if (startsWith(bytes, i, "]]>")) {
                    state = State::Text;
                    i += 3;
                    continue;
                }
                switch (c) {
                    case '\r':
                        out->append("&#13;");
                        break;
                    case '<':
                        out->append("&lt;");
                        break;
                    case '>':
                        out->append("&gt;");
                        break;
                    case '&':
                        out->append("&amp;");
                        break;
                    default:
                        *out += c;
                }
                break;
            case State::Comment:
                if (startsWith(bytes, i, "-->")) {
                    state = State::Text;
                    out->append("-->");
                    i += 3;
                    continue;
                }
                *out += c;
                break;
            case State::Pi:
                if (startsWith(bytes, i, "?>")) {
                    state = State::Text;
                    out->append("?>");
                    i += 2;
                    continue;
                }
                *out += c;
                break;
            case State::Doctype:
                if (quote != 0) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '[') {
                    *error = "a DOCTYPE with an internal subset is not accepted";
                    return false;
                } else if (c == '>') {
                    state = State::Text;
                }
                *out += c;
                break;
        }
        ++i;
    }
    if (state == State::CData) {
        *error = "a CDATA section is not closed";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Reading libxml2's tree.

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct CtxtFree {
    void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};
struct BufferFree {
    void operator()(xmlBuffer* buffer) const { xmlBufferFree(buffer); }
};

std::string_view nameOf(const xmlNode* node) {
    return node->name != nullptr ? reinterpret_cast<const char*>(node->name) : "";
}

// Iterates over the element children of a node (text, comments and PIs between them skipped).
class Elements {
  public:
    explicit Elements(const xmlNode* parent) : first_(next(parent->children)) {}
    struct Iterator {
        xmlNode* node;
        xmlNode* operator*() const { return node; }
        Iterator& operator++() {
            node = next(node->next);
            return *this;
        }
        bool operator!=(const Iterator& other) const { return node != other.node; }
    };
    Iterator begin() const { return {first_}; }
    Iterator end() const { return {nullptr}; }

  private:
    static xmlNode* next(xmlNode* node) {
        while (node != nullptr && node->type != XML_ELEMENT_NODE) node = node->next;
        return node;
    }
    xmlNode* first_;
};

// One parse: the tree walk, with the first fault found.
class Reader {
  public:
    // carried: the text holds carriers of bytes (see prepare).
    Reader(xmlDoc* doc, bool carried) : doc_(doc), carried_(carried) {}

    const std::string& error() const { return error_; }

    bool message(const xmlNode* root, Message* out) {
        if (nameOf(root) != "SyncML") {
            return fail(root, "the root element is not SyncML");
        }
        const xmlNode* hdr = nullptr;
        const xmlNode* body = nullptr;
        for (const xmlNode* child : Elements(root)) {
            if (nameOf(child) == "SyncHdr" && hdr == nullptr) hdr = child;
            if (nameOf(child) == "SyncBody" && body == nullptr) body = child;
        }
        if (hdr == nullptr) return fail(root, "no SyncHdr");
        if (body == nullptr) return fail(root, "no SyncBody");
        if (!header(hdr, &out->header)) return false;
        for (const xmlNode* child : Elements(body)) {
            if (nameOf(child) == "Final") {
                out->final = true;
                continue;
            }
            out->commands.emplace_back();
            if (!command(child, &out->commands.back())) return false;
        }
        return true;
    }

    // Refuses entity references anywhere (possible only in a document whose DOCTYPE names a DTD
    // it never loads): their text is unknown, and they would not survive being written again.
    bool noEntityReferences(const xmlNode* node, int depth) {
        if (depth > kMaxDepth) return fail(node, "elements nested too deep");
        for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
            if (child->type == XML_ENTITY_REF_NODE) {
                return fail(node, "an undeclared entity &" + std::string(nameOf(child)) + ";");
            }
            if (child->type == XML_ELEMENT_NODE && !noEntityReferences(child, depth + 1)) {
                return false;
            }
        }
        return true;
    }

  private:
    bool fail(const xmlNode* node, const std::string& what) {
        error_ = "<" + oneLine(nameOf(node), 40) + "> at line " +
                 std::to_string(xmlGetLineNo(node)) + ": " + what;
        return false;
    }

    // The text of an element that holds only text (empty for an empty element).
    bool text(const xmlNode* element, std::string* out) {
        out->clear();
        for (const xmlNode* child = element->children; child != nullptr; child = child->next) {
            switch (child->type) {
                case XML_TEXT_NODE:
                case XML_CDATA_SECTION_NODE:
                    if (child->content != nullptr) {
                        out->append(reinterpret_cast<const char*>(child->content));
                    }
                    break;
                case XML_ELEMENT_NODE:
                    return fail(child, "an element where text belongs");
                case XML_ENTITY_REF_NODE:
                    return fail(element, "an undeclared entity");
                default:
                    break;  // comments, processing instructions
            }
        }
        if (carried_) restoreBytes(out);
        return true;
    }

    // A decimal number: digits with blanks around them, at most UINT64_MAX.
    bool number(const xmlNode* element, std::optional<uint64_t>* out) {
        std::string value;
        if (!text(element, &value)) return false;
        const size_t begin = value.find_first_not_of(" \t\r\n");
        const size_t end = value.find_last_not_of(" \t\r\n");
        const std::string_view digits =
            begin == std::string::npos ? std::string_view()
                                       : std::string_view(value).substr(begin, end - begin + 1);
        uint64_t n = 0;
        bool ok = !digits.empty();
        for (char c : digits) {
            if (c < '0' || c > '9' || n > (UINT64_MAX - (c - '0')) / 10) {
                ok = false;
                break;
            }
            n = n * 10 + static_cast<uint64_t>(c - '0');
        }
        if (!ok) return fail(element, "'" + oneLine(value, 40) + "' is not a number");
        *out = n;
        return true;
    }

    // Target, Source, SourceParent, TargetParent: LocURI and, where asked for, LocName.
    bool location(const xmlNode* element, std::string* uri, std::string* name = nullptr) {
        for (const xmlNode* child : Elements(element)) {
            if (nameOf(child) == "LocURI") {
                if (!text(child, uri)) return false;
            } else if (nameOf(child) == "LocName" && name != nullptr) {
                if (!text(child, name)) return false;
            }
        }
        return true;
    }

    bool anchor(const xmlNode* element, Anchor* out) {
        for (const xmlNode* child : Elements(element)) {
            if (nameOf(child) == "Last") {
                out->last.emplace();
                if (!text(child, &*out->last)) return false;
            } else if (nameOf(child) == "Next") {
                if (!text(child, &out->next)) return false;
            }
        }
        return true;
    }

    bool meta(const xmlNode* element, Meta* out) {
        for (const xmlNode* child : Elements(element)) {
            const std::string_view name = nameOf(child);
            bool ok = true;
            if (name == "Type") {
                ok = text(child, &out->type);
            } else if (name == "Format") {
                ok = text(child, &out->format);
            } else if (name == "Size") {
                ok = number(child, &out->size);
            } else if (name == "MaxMsgSize") {
                ok = number(child, &out->maxMsgSize);
            } else if (name == "MaxObjSize") {
                ok = number(child, &out->maxObjSize);
            } else if (name == "NextNonce") {
                ok = text(child, &out->nextNonce);
            } else if (name == "Anchor") {
                out->anchor.emplace();
                ok = anchor(child, &*out->anchor);
            }  // Version, Mark, EMI, Mem, ...: not used
            if (!ok) return false;
        }
        return true;
    }

    // Item/Data: text, or the markup of its child elements (each copied out of the document so
    // that the namespaces it uses are declared in the copy).
    bool itemData(const xmlNode* element, Item* out) {
        if (Elements(element).begin() != Elements(element).end()) {
            std::unique_ptr<xmlBuffer, BufferFree> buffer(xmlBufferCreate());
            if (!buffer) return fail(element, "out of memory");
            for (const xmlNode* child : Elements(element)) {
                xmlNode* copy = xmlDocCopyNode(const_cast<xmlNode*>(child), doc_, 1);
                if (copy == nullptr) return fail(child, "out of memory");
                const int written = xmlNodeDump(buffer.get(), doc_, copy, 0, 0);
                xmlFreeNode(copy);
                if (written < 0) return fail(child, "cannot be written as text");
            }
            out->dataXml.assign(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                                static_cast<size_t>(xmlBufferLength(buffer.get())));
            if (carried_) restoreBytes(&out->dataXml);
            return true;
        }
        out->data.emplace();
        return text(element, &*out->data);
    }

    bool item(const xmlNode* element, Item* out) {
        for (const xmlNode* child : Elements(element)) {
            const std::string_view name = nameOf(child);
            bool ok = true;
            if (name == "Target") {
                ok = location(child, &out->target);
            } else if (name == "Source") {
                ok = location(child, &out->source);
            } else if (name == "SourceParent") {
                ok = location(child, &out->sourceParent);
            } else if (name == "TargetParent") {
                ok = location(child, &out->targetParent);
            } else if (name == "Meta") {
                ok = meta(child, &out->meta);
            } else if (name == "Data") {
                ok = itemData(child, out);
            } else if (name == "MoreData") {
                out->moreData = true;
            }
            if (!ok) return false;
        }
        return true;
    }

    bool cred(const xmlNode* element, Cred* out) {
        for (const xmlNode* child : Elements(element)) {
            if (nameOf(child) == "Meta") {
                if (!meta(child, &out->meta)) return false;
            } else if (nameOf(child) == "Data") {
                if (!text(child, &out->data)) return false;
            }
        }
        return true;
    }

    bool header(const xmlNode* element, Header* out) {
        // Absent elements read as empty, whatever a new Header holds.
        out->verDTD.clear();
        out->verProto.clear();
        for (const xmlNode* child : Elements(element)) {
            const std::string_view name = nameOf(child);
            bool ok = true;
            if (name == "VerDTD") {
                ok = text(child, &out->verDTD);
            } else if (name == "VerProto") {
                ok = text(child, &out->verProto);
            } else if (name == "SessionID") {
                ok = text(child, &out->sessionId);
            } else if (name == "MsgID") {
                ok = text(child, &out->msgId);
            } else if (name == "NoResp") {
                out->noResp = true;
            } else if (name == "Target") {
                ok = location(child, &out->target);
            } else if (name == "Source") {
                ok = location(child, &out->source, &out->sourceName);
            } else if (name == "RespURI") {
                ok = text(child, &out->respUri);
            } else if (name == "Cred") {
                out->cred.emplace();
                ok = cred(child, &*out->cred);
            } else if (name == "Meta") {
                ok = meta(child, &out->meta);
            }
            if (!ok) return false;
        }
        return true;
    }

    // Any command, its fields read by name whatever its kind. Inside Sync, Atomic and Sequence,
    // an element that is none of their own fields is a command. Of an unknown command only
    // CmdID is read: its content is no business of this model.
    bool command(const xmlNode* element, Command* out) {
        out->name = std::string(nameOf(element));
        out->kind = kindOf(out->name);
        for (const xmlNode* child : Elements(element)) {
            const std::string_view name = nameOf(child);
            bool ok = true;
            if (name == "CmdID") {
                ok = text(child, &out->cmdId);
            } else if (out->kind == CommandKind::Unknown) {
                continue;
            } else if (name == "NoResp") {
                out->noResp = true;
            } else if (name == "Meta") {
                ok = meta(child, &out->meta);
            } else if (name == "Item") {
                out->items.emplace_back();
                ok = item(child, &out->items.back());
            } else if (name == "Data") {
                ok = text(child, &out->data);
            } else if (name == "Target") {
                ok = location(child, &out->target);
            } else if (name == "Source") {
                ok = location(child, &out->source);
            } else if (name == "NumberOfChanges") {
                ok = number(child, &out->numberOfChanges);
            } else if (name == "MapItem") {
                MapItem& mapItem = out->mapItems.emplace_back();
                for (const xmlNode* part : Elements(child)) {
                    if (nameOf(part) == "Target") {
                        ok = ok && location(part, &mapItem.target);
                    } else if (nameOf(part) == "Source") {
                        ok = ok && location(part, &mapItem.source);
                    }
                }
            } else if (name == "MsgRef") {
                ok = text(child, &out->msgRef);
            } else if (name == "CmdRef") {
                ok = text(child, &out->cmdRef);
            } else if (name == "Cmd") {
                ok = text(child, &out->cmd);
            } else if (name == "TargetRef") {
                ok = text(child, &out->targetRefs.emplace_back());
            } else if (name == "SourceRef") {
                ok = text(child, &out->sourceRefs.emplace_back());
            } else if (name == "Chal") {
                out->chal.emplace();
                for (const xmlNode* part : Elements(child)) {
                    if (nameOf(part) == "Meta") ok = ok && meta(part, &*out->chal);
                }
            } else if (holdsCommands(out->kind) && name != "Cred") {
                out->commands.emplace_back();
                ok = command(child, &out->commands.back());
            }  // Cred, Correlator, Lang, ...: not used
            if (!ok) return false;
        }
        return true;
    }

    xmlDoc* doc_;
    bool carried_;
    std::string error_;
};

// ---------------------------------------------------------------------------------------------
// Writing.

// Item data as CDATA sections: split where the text holds "]]>" ("]]" ends one section, ">"
// starts the next) and around each carriage return, which goes between two sections as "&#13;"
// (inside a section a reader would turn CR LF into LF).
void appendCdata(std::string_view text, std::string* out) {
    *out += "<![CDATA[";
    size_t from = 0;
    for (size_t at = text.find_first_of("]\r"); at != std::string_view::npos;
         at = text.find_first_of("]\r", at + 1)) {
        if (text[at] == '\r') {
            out->append(text.substr(from, at - from));
            *out += "]]>&#13;<![CDATA[";
            from = at + 1;
        } else if (text.substr(at, 3) == "]]>") {
            out->append(text.substr(from, at + 2 - from));
            *out += "]]><![CDATA[";
            from = at + 2;
        }
    }
    out->append(text.substr(from));
    *out += "]]>";
}

class Writer {
  public:
    std::string take() { return std::move(out_); }

    void message(const Message& m) {
        out_ = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SyncML xmlns='SYNCML:SYNCML1.2'>";
        header(m.header);
        open("SyncBody");
        for (const Command& c : m.commands) command(c);
        if (m.final) empty("Final");
        close("SyncBody");
        close("SyncML");
    }

  private:
    void open(std::string_view name) {
        out_ += '<';
        out_ += name;
        out_ += '>';
    }
    void close(std::string_view name) {
        out_ += "</";
        out_ += name;
        out_ += '>';
    }
    void empty(std::string_view name) {
        out_ += '<';
        out_ += name;
        out_ += "/>";
    }

    // Character data: markup characters escaped, and CR as a reference so that a reader's
    // line-end handling leaves it alone.
    void escaped(std::string_view text) {
        for (char c : text) {
            switch (c) {
                case '&':
                    out_ += "&amp;";
                    break;
                case '<':
                    out_ += "&lt;";
                    break;
                case '>':
                    out_ += "&gt;";
                    break;
                case '\r':
                    out_ += "&#13;";
                    break;
                default:
                    out_ += c;
            }
        }
    }

    void cdata(std::string_view text) { appendCdata(text, &out_); }

    void leaf(std::string_view name, std::string_view text) {
        open(name);
        escaped(text);
        close(name);
    }
    // A leaf left out when empty.
    void optionalLeaf(std::string_view name, std::string_view text) {
        if (!text.empty()) leaf(name, text);
    }
    void metinf(std::string_view name, std::string_view text) {
        out_ += '<';
        out_ += name;
        out_ += " xmlns='syncml:metinf'>";
        escaped(text);
        close(name);
    }
    void location(std::string_view name, std::string_view uri, std::string_view locName = {}) {
        if (uri.empty() && locName.empty()) return;
        open(name);
        optionalLeaf("LocURI", uri);
        optionalLeaf("LocName", locName);
        close(name);
    }

    static bool isEmpty(const Meta& m) {
        return m.type.empty() && m.format.empty() && !m.size && !m.maxMsgSize && !m.maxObjSize &&
               m.nextNonce.empty() && !m.anchor;
    }

    // Meta in the order of the metinf DTD: Format, Type, Size, Anchor, NextNonce, MaxMsgSize,
    // MaxObjSize.
    void meta(const Meta& m) {
        if (isEmpty(m)) return;
        open("Meta");
        if (!m.format.empty()) metinf("Format", m.format);
        if (!m.type.empty()) metinf("Type", m.type);
        if (m.size) metinf("Size", std::to_string(*m.size));
        if (m.anchor) {
            out_ += "<Anchor xmlns='syncml:metinf'>";
            if (m.anchor->last) leaf("Last", *m.anchor->last);
            leaf("Next", m.anchor->next);
            close("Anchor");
        }
        if (!m.nextNonce.empty()) metinf("NextNonce", m.nextNonce);
        if (m.maxMsgSize) metinf("MaxMsgSize", std::to_string(*m.maxMsgSize));
        if (m.maxObjSize) metinf("MaxObjSize", std::to_string(*m.maxObjSize));
        close("Meta");
    }

    void header(const Header& h) {
        open("SyncHdr");
        optionalLeaf("VerDTD", h.verDTD);
        optionalLeaf("VerProto", h.verProto);
        optionalLeaf("SessionID", h.sessionId);
        optionalLeaf("MsgID", h.msgId);
        if (h.noResp) empty("NoResp");
        location("Target", h.target);
        location("Source", h.source, h.sourceName);
        optionalLeaf("RespURI", h.respUri);
        if (h.cred) {
            open("Cred");
            meta(h.cred->meta);
            optionalLeaf("Data", h.cred->data);
            close("Cred");
        }
        meta(h.meta);
        close("SyncHdr");
    }

    void item(const Item& i) {
        open("Item");
        location("Target", i.target);
        location("Source", i.source);
        location("SourceParent", i.sourceParent);
        location("TargetParent", i.targetParent);
        meta(i.meta);
        if (!i.dataXml.empty()) {
            open("Data");
            out_ += i.dataXml;
            close("Data");
        } else if (i.data) {
            open("Data");
            if (!i.data->empty()) cdata(*i.data);
            close("Data");
        }
        if (i.moreData) empty("MoreData");
        close("Item");
    }

    void items(const std::vector<Item>& list) {
        for (const Item& i : list) item(i);
    }

    void refs(const Command& c) {
        for (const std::string& r : c.targetRefs) leaf("TargetRef", r);
        for (const std::string& r : c.sourceRefs) leaf("SourceRef", r);
    }

    void command(const Command& c) {
        const std::string_view name =
            c.kind == CommandKind::Unknown ? std::string_view(c.name) : commandName(c.kind);
        if (name.empty()) return;
        open(name);
        optionalLeaf("CmdID", c.cmdId);
        switch (c.kind) {
            case CommandKind::Status:
                optionalLeaf("MsgRef", c.msgRef);
                optionalLeaf("CmdRef", c.cmdRef);
                optionalLeaf("Cmd", c.cmd);
                refs(c);
                if (c.chal) {
                    open("Chal");
                    meta(*c.chal);
                    close("Chal");
                }
                optionalLeaf("Data", c.data);
                items(c.items);
                break;
            case CommandKind::Results:
                optionalLeaf("MsgRef", c.msgRef);
                optionalLeaf("CmdRef", c.cmdRef);
                meta(c.meta);
                refs(c);
                items(c.items);
                break;
            case CommandKind::Alert:
                if (c.noResp) empty("NoResp");
                optionalLeaf("Data", c.data);
                items(c.items);
                break;
            case CommandKind::Sync:
                if (c.noResp) empty("NoResp");
                location("Target", c.target);
                location("Source", c.source);
                meta(c.meta);
                if (c.numberOfChanges) leaf("NumberOfChanges", std::to_string(*c.numberOfChanges));
                for (const Command& inner : c.commands) command(inner);
                break;
            case CommandKind::Atomic:
            case CommandKind::Sequence:
                if (c.noResp) empty("NoResp");
                meta(c.meta);
                for (const Command& inner : c.commands) command(inner);
                break;
            case CommandKind::Map:
                location("Target", c.target);
                location("Source", c.source);
                meta(c.meta);
                for (const MapItem& m : c.mapItems) {
                    open("MapItem");
                    location("Target", m.target);
                    location("Source", m.source);
                    close("MapItem");
                }
                break;
            case CommandKind::Unknown:
                break;
            default:  // Add, Copy, Delete, Exec, Get, Move, Put, Replace, Search
                if (c.noResp) empty("NoResp");
                meta(c.meta);
                items(c.items);
                break;
        }
        close(name);
    }

    std::string out_;
};

}  // namespace

std::string_view commandName(CommandKind kind) {
    for (const CommandNameEntry& e : kCommandNames) {
        if (e.kind == kind) return e.name;
    }
    return "Unknown";
}

bool parseXml(std::string_view bytes, Message* out, std::string* error) {
    *out = Message{};
    error->clear();
    if (bytes.size() > kMaxMessageBytes) {
        *error = "message of " + std::to_string(bytes.size()) + " bytes is too large";
        return false;
    }
    std::string prepared;
    bool carried = false;
    if (!prepare(bytes, &prepared, &carried, error)) return false;
    if (prepared.size() > static_cast<size_t>(INT_MAX)) {
        *error = "message is too large";
        return false;
    }

    // libxml2 sets up its globals once, before the first parse on any thread.
    static const bool initialized = (xmlInitParser(), true);
    (void)initialized;
    std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        *error = "out of memory";
        return false;
    }
    // Always UTF-8, whatever the declaration says; no network, no DTD, no entity substitution;
    // libxml2's own limits on text size stay on.
    const int options = XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_NOERROR |
                        XML_PARSE_NOWARNING | XML_PARSE_IGNORE_ENC;
    std::unique_ptr<xmlDoc, DocFree> doc(xmlCtxtReadMemory(
        ctxt.get(), prepared.data(), static_cast<int>(prepared.size()), nullptr, "UTF-8", options));
    if (!doc) {
        const xmlError* e = xmlCtxtGetLastError(ctxt.get());
        if (e != nullptr && e->message != nullptr) {
            *error = "not well-formed XML at line " + std::to_string(e->line) + ": " +
                     oneLine(e->message, 200);
        } else {
            *error = "not well-formed XML";
        }
        return false;
    }
    if (doc->intSubset != nullptr && doc->intSubset->children != nullptr) {
        *error = "a DOCTYPE with declarations is not accepted";
        return false;
    }
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (root == nullptr) {
        *error = "no root element";
        return false;
    }
    Reader reader(doc.get(), carried);
    if (!reader.noEntityReferences(root, 1) || !reader.message(root, out)) {
        *error = reader.error();
        *out = Message{};
        return false;
    }
    return true;
}

std::string writeXml(const Message& message) {
    Writer writer;
    writer.message(message);
    return writer.take();
}

bool isXmlText(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i < bytes.size();) {
        uint32_t cp = 0;
        const size_t len = xmlCharAt(p + i, bytes.size() - i, &cp);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

size_t cdataSize(std::string_view text) {
    std::string out;
    appendCdata(text, &out);
    return out.size();
}

std::string escapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace vt::syncml
