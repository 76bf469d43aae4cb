// The XML document on Linux, on libxml2.
//
// Documents are parsed from memory (the file is read here), without network access, without
// loading external DTDs and without substituting entities, so that a save writes entity
// references back as they were. libxml2's error output is silenced for the calling thread
// while it works. A save keeps the encoding the document declared (UTF-8 when it declared
// none) and writes no XML declaration when the original had none.
#include "platform/xml.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/text.h"

namespace vt::plat {

namespace {

void initLibxml() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

void ignoreGeneric(void*, const char*, ...) {}
void ignoreStructured(void*, xmlErrorPtr) {}

// Silences libxml2's error output on this thread for the scope (its handlers are per thread).
class QuietErrors {
  public:
    QuietErrors()
        : generic_(xmlGenericError),
          genericCtx_(xmlGenericErrorContext),
          structured_(xmlStructuredError),
          structuredCtx_(xmlStructuredErrorContext) {
        xmlSetGenericErrorFunc(nullptr, ignoreGeneric);
        xmlSetStructuredErrorFunc(nullptr, ignoreStructured);
    }
    ~QuietErrors() {
        xmlSetGenericErrorFunc(genericCtx_, generic_);
        xmlSetStructuredErrorFunc(structuredCtx_, structured_);
    }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

  private:
    xmlGenericErrorFunc generic_;
    void* genericCtx_;
    xmlStructuredErrorFunc structured_;
    void* structuredCtx_;
};

const xmlChar* xc(const std::string& s) {
    return reinterpret_cast<const xmlChar*>(s.c_str());
}

// Text that XML 1.0 can carry: well-formed UTF-16 without the control characters it forbids.
bool isXmlText(std::u16string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') return false;
        if (c == 0xFFFE || c == 0xFFFF) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

std::string errnoText(const std::string& what, const std::string& path, int e) {
    return what + " " + path + ": " + strerror(e);
}

// Reads a whole file; false when it is missing or unreadable.
bool readWholeFile(const std::string& path, std::string* bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return false;
    }
    bytes->clear();
    char buf[65536];
    bool ok = true;
    while (true) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        bytes->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

// Replaces path by bytes: temporary file in the same folder, fsync, rename, folder fsync.
// Keeps the permissions of the file it replaces. Throws XmlError.
void replaceFile(const std::string& path, const char* data, size_t size) {
    size_t slash = path.rfind('/');
    std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = folder + "/." + base + ".tmp-XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) throw XmlError(errnoText("cannot create a temporary file for", path, errno));
    struct stat st;
    fchmod(fd, stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
    int e = 0;
    for (size_t done = 0; e == 0 && done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno != EINTR) e = errno;
        if (n > 0) done += static_cast<size_t>(n);
    }
    if (e == 0 && fsync(fd) != 0) e = errno;
    if (close(fd) != 0 && e == 0) e = errno;
    if (e == 0 && rename(tmp.c_str(), path.c_str()) != 0) e = errno;
    if (e != 0) {
        unlink(tmp.c_str());
        throw XmlError(errnoText("cannot write", path, e));
    }
    int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
}

class LibxmlDocument;

class LibxmlElement final : public XmlElement {
  public:
    LibxmlElement(LibxmlDocument* doc, xmlNodePtr node) : doc_(doc), node_(node) {}

    bool setText(const std::u16string& text) override;
    std::u16string text() const override;
    void appendChild(XmlElement& child) override;

    LibxmlDocument* document() const { return doc_; }
    xmlNodePtr node() const { return node_; }

  private:
    LibxmlDocument* doc_;
    xmlNodePtr node_;
};

class LibxmlDocument final : public XmlDocument {
  public:
    LibxmlDocument() { initLibxml(); }
    ~LibxmlDocument() override { reset(); }

    bool load(const std::u16string& path) override {
        reset();
        std::string bytes;
        std::string path8 = toUtf8(path);
        if (!readWholeFile(path8, &bytes)) return false;
        QuietErrors quiet;
        xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
        if (!ctxt) throw XmlError("cannot create an XML parser");
        xmlDocPtr doc =
            xmlCtxtReadMemory(ctxt, bytes.data(), static_cast<int>(bytes.size()), path8.c_str(),
                              nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        bool wellFormed = ctxt->wellFormed != 0;
        xmlFreeParserCtxt(ctxt);
        if (!doc || !wellFormed || !xmlDocGetRootElement(doc)) {
            if (doc) xmlFreeDoc(doc);
            return false;
        }
        doc_ = doc;
        // Whether the file had an XML declaration (after an optional byte order mark).
        std::string_view head = bytes;
        if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
        auto first = head.empty() ? 0 : static_cast<unsigned char>(head[0]);
        hadDeclaration_ = head.substr(0, 5) == "<?xml" || first == 0 || first >= 0xFE;  // UTF-16
        return true;
    }

    std::vector<XmlElement*> elementsByTagName(const std::u16string& name) override {
        std::vector<XmlElement*> found;
        if (!doc_) return found;
        std::string want = toUtf8(name);
        bool all = want == "*";
        // Document order: depth first, parents before children.
        xmlNodePtr n = doc_->children;
        while (n) {
            if (n->type == XML_ELEMENT_NODE) {
                if (all || qualifiedName(n) == want) found.push_back(wrap(n));
                if (n->children) {
                    n = n->children;
                    continue;
                }
            }
            while (n && !n->next) {
                n = n->parent;
                if (n == reinterpret_cast<xmlNodePtr>(doc_)) n = nullptr;
            }
            if (n) n = n->next;
        }
        return found;
    }

    XmlElement* createElement(const std::u16string& name) override {
        std::string name8 = toUtf8(name);
        if (!isXmlText(name) || xmlValidateName(xc(name8), 0) != 0) return nullptr;
        if (!doc_) {
            doc_ = xmlNewDoc(BAD_CAST "1.0");
            if (!doc_) throw XmlError("cannot create an XML document");
            hadDeclaration_ = true;
        }
        xmlNodePtr node = xmlNewDocNode(doc_, nullptr, xc(name8), nullptr);
        if (!node) throw XmlError("cannot create the element " + name8);
        created_.push_back(node);
        return wrap(node);
    }

    void save(const std::u16string& path) override {
        std::string path8 = toUtf8(path);
        if (!doc_) throw XmlError("no document to save to " + path8);
        QuietErrors quiet;
        xmlBufferPtr buf = xmlBufferCreate();
        if (!buf) throw XmlError("out of memory saving " + path8);
        const char* encoding =
            doc_->encoding ? reinterpret_cast<const char*>(doc_->encoding) : "UTF-8";
        int options = XML_SAVE_AS_XML | (hadDeclaration_ ? 0 : XML_SAVE_NO_DECL);
        xmlSaveCtxtPtr save = xmlSaveToBuffer(buf, encoding, options);
        bool ok = save && xmlSaveDoc(save, doc_) >= 0;
        if (save && xmlSaveClose(save) < 0) ok = false;
        if (!ok) {
            xmlBufferFree(buf);
            throw XmlError("cannot serialise the document for " + path8);
        }
        try {
            replaceFile(path8, reinterpret_cast<const char*>(xmlBufferContent(buf)),
                        static_cast<size_t>(xmlBufferLength(buf)));
        } catch (...) {
            xmlBufferFree(buf);
            throw;
        }
        xmlBufferFree(buf);
    }

    // An element made by createElement now belongs to a tree (it is freed with it).
    void adopted(xmlNodePtr n) { std::erase(created_, n); }

  private:
    static std::string qualifiedName(xmlNodePtr n) {
        std::string name = reinterpret_cast<const char*>(n->name);
        if (n->ns && n->ns->prefix)
            name = reinterpret_cast<const char*>(n->ns->prefix) + (":" + name);
        return name;
    }

    XmlElement* wrap(xmlNodePtr n) {
        auto& w = wrappers_[n];
        if (!w) w = std::make_unique<LibxmlElement>(this, n);
        return w.get();
    }

    void reset() {
        wrappers_.clear();
        // Created elements that were never appended (with what was appended to them) go
        // before the document, whose dictionary their names may use.
        for (xmlNodePtr n : created_) xmlFreeNode(n);
        created_.clear();
        if (doc_) xmlFreeDoc(doc_);
        doc_ = nullptr;
        hadDeclaration_ = true;
    }

    xmlDocPtr doc_ = nullptr;
    bool hadDeclaration_ = true;
    std::unordered_map<xmlNodePtr, std::unique_ptr<LibxmlElement>> wrappers_;
    std::vector<xmlNodePtr> created_;  // created and not appended anywhere yet
};

bool LibxmlElement::setText(const std::u16string& text) {
    if (!isXmlText(text)) return false;
    std::string text8 = toUtf8(text);
    xmlNodePtr t = xmlNewDocTextLen(node_->doc, xc(text8), static_cast<int>(text8.size()));
    if (!t) return false;
    while (xmlNodePtr c = node_->children) {
        xmlUnlinkNode(c);
        xmlFreeNode(c);
    }
    if (!xmlAddChild(node_, t)) {
        xmlFreeNode(t);
        return false;
    }
    return true;
}

std::u16string LibxmlElement::text() const {
    xmlChar* content = xmlNodeGetContent(node_);
    if (!content) return {};
    std::u16string s = fromUtf8(reinterpret_cast<const char*>(content));
    xmlFree(content);
    return s;
}

void LibxmlElement::appendChild(XmlElement& child) {
    auto* c = dynamic_cast<LibxmlElement*>(&child);
    if (!c || c->document() != doc_ || c->node()->doc != node_->doc)
        throw XmlError("appendChild: the element belongs to another document");
    for (xmlNodePtr p = node_; p; p = p->parent)
        if (p == c->node()) throw XmlError("appendChild: an element can't contain itself");
    xmlUnlinkNode(c->node());
    if (!xmlAddChild(node_, c->node())) throw XmlError("appendChild failed");
    doc_->adopted(c->node());
}

}  // namespace

std::unique_ptr<XmlDocument> XmlDocument::create() {
    return std::make_unique<LibxmlDocument>();
}

}  // namespace vt::plat
