#include "engines/syncml/wbxml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <wbxml/wbxml.h>

#include <cstring>
#include <memory>

// libwbxml2 exports its document tree functions, but Debian's package installs only the
// conversion header; these are their declarations as the library defines them (0.11).
extern "C" {
typedef struct WBXMLTree_s WBXMLTree;
typedef struct WBXMLTreeNode_s WBXMLTreeNode;
WBXMLTree* wbxml_tree_create(WBXMLLanguage lang, WBXMLCharsetMIBEnum orig_charset);
void wbxml_tree_destroy(WBXMLTree* tree);
WBXMLTreeNode* wbxml_tree_add_xml_elt(WBXMLTree* tree, WBXMLTreeNode* parent, WB_UTINY* name);
WBXMLTreeNode* wbxml_tree_add_cdata(WBXMLTree* tree, WBXMLTreeNode* parent);
WBXMLTreeNode* wbxml_tree_add_text(WBXMLTree* tree, WBXMLTreeNode* parent, const WB_UTINY* text,
                                   WB_ULONG len);
WBXMLTreeNode* wbxml_tree_add_tree(WBXMLTree* tree, WBXMLTreeNode* parent, WBXMLTree* new_tree);
WBXMLError wbxml_tree_to_wbxml(WBXMLTree* tree, WB_UTINY** wbxml, WB_ULONG* wbxml_len,
                               WBXMLGenWBXMLParams* params);
void wbxml_free(void* memblock);
}

namespace vt::syncml {

namespace {

constexpr char kDevInfNamespace[] = "syncml:devinf";

struct TreeFree {
    void operator()(WBXMLTree* t) const { wbxml_tree_destroy(t); }
};
using unique_tree = std::unique_ptr<WBXMLTree, TreeFree>;

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct WbxmlFree {
    void operator()(WB_UTINY* p) const { wbxml_free(p); }
};
struct XmlCharFree {
    void operator()(xmlChar* p) const { xmlFree(p); }
};

bool named(const xmlNode* n, const char* name) {
    return std::strcmp(reinterpret_cast<const char*>(n->name), name) == 0;
}

bool hasElementChild(const xmlNode* n) {
    for (const xmlNode* c = n->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) return true;
    return false;
}

const char* namespaceOf(const xmlNode* n) {
    return n->ns && n->ns->href ? reinterpret_cast<const char*>(n->ns->href) : "";
}

// Copies the element n and what it holds under parent (null: as the root) of tree. libwbxml2
// finds an element's code page (SyncML or syncml:metinf) by its name.
bool copyElement(WBXMLTree* tree, WBXMLTreeNode* parent, const xmlNode* n, std::string* error) {
    std::string name = reinterpret_cast<const char*>(n->name);
    WBXMLTreeNode* node =
        wbxml_tree_add_xml_elt(tree, parent, reinterpret_cast<WB_UTINY*>(name.data()));
    if (!node) {
        *error = "WBXML: can't add element " + name;
        return false;
    }
    if (hasElementChild(n)) {
        for (const xmlNode* c = n->children; c; c = c->next) {
            if (c->type != XML_ELEMENT_NODE) continue;
            if (named(c, "DevInf") && std::strcmp(namespaceOf(c), kDevInfNamespace) == 0) {
                // Device information is a document of its own inside the Data.
                unique_tree inner(
                    wbxml_tree_create(WBXML_LANG_SYNCML_DEVINF12, WBXML_CHARSET_UTF_8));
                if (!inner || !copyElement(inner.get(), nullptr, c, error)) return false;
                if (!wbxml_tree_add_tree(tree, node, inner.get())) {
                    *error = "WBXML: can't embed the device information";
                    return false;
                }
                inner.release();  // the outer tree owns it now
            } else if (!copyElement(tree, node, c, error)) {
                return false;
            }
        }
        return true;
    }
    std::unique_ptr<xmlChar, XmlCharFree> text(xmlNodeGetContent(n));
    const size_t length = text ? std::strlen(reinterpret_cast<const char*>(text.get())) : 0;
    if (length == 0) return true;
    // An item's data is opaque: a CDATA node is what libwbxml2 writes as OPAQUE.
    WBXMLTreeNode* holder = node;
    if (named(n, "Data") && n->parent && named(n->parent, "Item")) {
        holder = wbxml_tree_add_cdata(tree, node);
        if (!holder) {
            *error = "WBXML: can't add item data";
            return false;
        }
    }
    if (!wbxml_tree_add_text(tree, holder, text.get(), static_cast<WB_ULONG>(length))) {
        *error = "WBXML: can't add the text of " + name;
        return false;
    }
    return true;
}

// A check of a WBXML document's token structure before libwbxml2 sees it: the library asserts
// (and so aborts the process) on some malformed input, such as an entity beyond Unicode. Takes
// only what SyncML uses: tags without attributes, inline and table strings, opaque data, code
// page switches and literal tags; no entities, extensions, processing instructions or
// attributes. Opaque data that may be a document of its own (device information; libwbxml2
// parses it as one) is checked the same way.
class WbxmlCheck {
  public:
    explicit WbxmlCheck(std::string_view doc, int nesting = 0) : d_(doc), nesting_(nesting) {}

    bool ok() {
        if (nesting_ > 2 || d_.empty() || d_[0] < 1 || d_[0] > 3) return false;
        pos_ = 1;
        uint32_t publicId = 0, charset = 0, tableLength = 0, index = 0;
        if (!number(&publicId)) return false;
        if (publicId == 0 && !number(&index)) return false;
        if (!number(&charset) || !number(&tableLength) || tableLength > d_.size() - pos_)
            return false;
        table_ = tableLength;
        if (publicId == 0 && index >= table_) return false;
        pos_ += tableLength;
        return element(0) && pos_ == d_.size();
    }

  private:
    // mb_u_int32: at most five bytes, seven bits each, no overflow.
    bool number(uint32_t* out) {
        uint64_t v = 0;
        for (int i = 0; i < 5; ++i) {
            if (pos_ >= d_.size()) return false;
            const auto b = static_cast<unsigned char>(d_[pos_++]);
            v = v << 7 | (b & 0x7F);
            if (v > 0xFFFFFFFFu) return false;
            if (!(b & 0x80)) {
                *out = static_cast<uint32_t>(v);
                return true;
            }
        }
        return false;
    }

    // A start tag (with its content and END when it has content), after code page switches.
    bool element(int depth) {
        if (depth > 64) return false;
        for (;;) {
            if (pos_ >= d_.size()) return false;
            const auto t = static_cast<unsigned char>(d_[pos_++]);
            if (t == 0x00) {  // SWITCH_PAGE
                if (pos_++ >= d_.size()) return false;
                continue;
            }
            if (t & 0x80) return false;  // attributes
            uint32_t index = 0;
            if ((t & 0x3F) == 0x04) {  // LITERAL, LITERAL_C
                if (!number(&index) || index >= table_) return false;
            } else if ((t & 0x3F) < 0x05) {
                return false;
            }
            return !(t & 0x40) || content(depth);
        }
    }

    // An element's content up to and with its END.
    bool content(int depth) {
        for (;;) {
            if (pos_ >= d_.size()) return false;
            const auto t = static_cast<unsigned char>(d_[pos_]);
            uint32_t n = 0;
            switch (t) {
                case 0x01:  // END
                    ++pos_;
                    return true;
                case 0x00:  // SWITCH_PAGE, then an element
                    if (!element(depth + 1)) return false;
                    break;
                case 0x03: {  // STR_I
                    const size_t end = d_.find('\0', ++pos_);
                    if (end == std::string_view::npos) return false;
                    pos_ = end + 1;
                    break;
                }
                case 0x83:  // STR_T
                    ++pos_;
                    if (!number(&n) || n >= table_) return false;
                    break;
                case 0xC3: {  // OPAQUE
                    ++pos_;
                    if (!number(&n) || n > d_.size() - pos_) return false;
                    const std::string_view data = d_.substr(pos_, n);
                    // (A note that starts with such a byte and is no document is refused too:
                    // control characters no one types.)
                    if (!data.empty() && data[0] >= 1 && data[0] <= 3 &&
                        !WbxmlCheck(data, nesting_ + 1).ok())
                        return false;
                    pos_ += n;
                    break;
                }
                default:
                    if (t & 0x80 || (t & 0x3F) < 0x04) return false;  // entities, extensions, PI
                    if (!element(depth + 1)) return false;
                    break;
            }
        }
    }

    std::string_view d_;
    int nesting_;
    size_t pos_ = 0;
    uint32_t table_ = 0;
};

}  // namespace

bool wbxmlToXml(std::string_view wbxml, std::string* xml, std::string* error) {
    if (!WbxmlCheck(wbxml).ok()) {
        *error = "WBXML: not a well-formed SyncML document";
        return false;
    }
    WBXMLConvWBXML2XML* conv = nullptr;
    if (wbxml_conv_wbxml2xml_create(&conv) != WBXML_OK) {
        *error = "WBXML: out of memory";
        return false;
    }
    wbxml_conv_wbxml2xml_set_gen_type(conv, WBXML_GEN_XML_COMPACT);
    wbxml_conv_wbxml2xml_enable_preserve_whitespaces(conv);
    WB_UTINY* out = nullptr;
    WB_ULONG outLength = 0;
    // The converter only reads its input.
    auto* in = reinterpret_cast<WB_UTINY*>(const_cast<char*>(wbxml.data()));
    const WBXMLError rc =
        wbxml_conv_wbxml2xml_run(conv, in, static_cast<WB_ULONG>(wbxml.size()), &out, &outLength);
    wbxml_conv_wbxml2xml_destroy(conv);
    std::unique_ptr<WB_UTINY, WbxmlFree> owned(out);
    if (rc != WBXML_OK) {
        *error = std::string("WBXML: ") + reinterpret_cast<const char*>(wbxml_errors_string(rc));
        return false;
    }
    xml->assign(reinterpret_cast<const char*>(out), outLength);
    return true;
}

bool xmlToWbxml(std::string_view xml, std::string* wbxml, std::string* error) {
    std::unique_ptr<xmlDoc, DocFree> doc(
        xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, "UTF-8",
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_HUGE));
    const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!root) {
        *error = "WBXML: the message to encode is not XML";
        return false;
    }
    unique_tree tree(wbxml_tree_create(WBXML_LANG_SYNCML_SYNCML12, WBXML_CHARSET_UTF_8));
    if (!tree || !copyElement(tree.get(), nullptr, root, error)) return false;
    WBXMLGenWBXMLParams params{WBXML_VERSION_12, TRUE, FALSE, FALSE};
    WB_UTINY* out = nullptr;
    WB_ULONG outLength = 0;
    const WBXMLError rc = wbxml_tree_to_wbxml(tree.get(), &out, &outLength, &params);
    std::unique_ptr<WB_UTINY, WbxmlFree> owned(out);
    if (rc != WBXML_OK) {
        *error = std::string("WBXML: ") + reinterpret_cast<const char*>(wbxml_errors_string(rc));
        return false;
    }
    wbxml->assign(reinterpret_cast<const char*>(out), outLength);
    return true;
}

}  // namespace vt::syncml
