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

}  // namespace

bool wbxmlToXml(std::string_view wbxml, std::string* xml, std::string* error) {
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
