// The XML document on Windows, on MSXML ("Msxml2.DOMDocument.4.0", IXMLDOMDocument).
//
// The file is read here and handed to MSXML as bytes, so that MSXML never interprets the path
// as a URL, and it is parsed without validation and without resolving external entities;
// white space is kept so that a save changes nothing the caller did not touch. A save
// serialises into memory (MSXML writes the declaration it found and uses its encoding), parses
// the bytes again to check that they give the same document, and replaces the file through a
// temporary file in the same folder. Wine's MSXML writes UTF-8 whatever the declaration names;
// there the check fails and the declaration is changed to UTF-8, so the file stays readable.
// Each document keeps COM initialised on its thread for its lifetime (a multithreaded
// apartment when the thread had none).
#include "platform/xml.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/com.h"
#include "platform/com_raii.h"
#include "platform/text.h"
#include "platform/win32/win32_util.h"

// After the COM header, which brings in <windows.h> with the backend's settings.
#include <msxml2.h>

namespace vt::plat {

namespace {

std::string hresultText(HRESULT hr) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

std::string errorText(const std::string& what, const std::u16string& path, DWORD error) {
    std::string text = what + " " + toUtf8(path);
    wchar_t* message = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPWSTR>(&message), 0, nullptr);
    if (n && message) {
        std::u16string m = win32::fromWide(message, n);
        while (!m.empty() && (m.back() == u'\n' || m.back() == u'\r' || m.back() == u' '))
            m.pop_back();
        text += ": " + toUtf8(m);
    } else {
        text += ": error " + std::to_string(error);
    }
    if (message) LocalFree(message);
    return text;
}

// Decodes the code point at s[*i] and moves past it; a lone surrogate gives 0xFFFF.
char32_t nextCodePoint(std::u16string_view s, size_t* i) {
    char16_t c = s[(*i)++];
    if (c >= 0xD800 && c <= 0xDBFF) {
        if (*i < s.size() && s[*i] >= 0xDC00 && s[*i] <= 0xDFFF)
            return 0x10000 + ((c - 0xD800) << 10) + (s[(*i)++] - 0xDC00);
        return 0xFFFF;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) return 0xFFFF;
    return c;
}

// Text that XML 1.0 can carry: well-formed UTF-16 without the control characters it forbids.
bool isXmlText(std::u16string_view s) {
    for (size_t i = 0; i < s.size();) {
        char32_t c = nextCodePoint(s, &i);
        if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') return false;
        if (c == 0xFFFE || c == 0xFFFF) return false;
    }
    return true;
}

bool isNameStartChar(char32_t c) {
    return c == U':' || c == U'_' || (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z') ||
           (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
           (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0xEFFFF);
}

bool isNameChar(char32_t c) {
    return isNameStartChar(c) || c == U'-' || c == U'.' || (c >= U'0' && c <= U'9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// An XML name (the Name production); MSXML itself is not strict about it everywhere.
bool isXmlName(std::u16string_view s) {
    if (s.empty()) return false;
    for (size_t i = 0; i < s.size();) {
        bool first = i == 0;
        char32_t c = nextCodePoint(s, &i);
        if (first ? !isNameStartChar(c) : !isNameChar(c)) return false;
    }
    return true;
}

// Reads a whole file; false when it is missing, a folder or unreadable.
bool readWholeFile(const std::u16string& path, std::string* bytes) {
    HANDLE h = CreateFileW(win32::wide(path), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bytes->clear();
    char buf[65536];
    bool ok = true;
    while (true) {
        DWORD n = 0;
        if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
            ok = false;
            break;
        }
        if (n == 0) break;
        bytes->append(buf, n);
    }
    CloseHandle(h);
    return ok;
}

// Replaces path by bytes: a temporary file in the same folder, flushed, then moved over the
// file. Throws XmlError.
void replaceFile(const std::u16string& path, const char* data, size_t size) {
    size_t slash = path.find_last_of(u"\\/");
    std::u16string folder = slash == path.npos ? u"." : path.substr(0, slash);
    std::u16string base = slash == path.npos ? path : path.substr(slash + 1);
    static LONG counter = 0;
    std::u16string tmp = folder + u"\\~" + base + u".tmp-" +
                         toU16(static_cast<uint64_t>(GetCurrentProcessId())) + u"-" +
                         toU16(static_cast<uint64_t>(InterlockedIncrement(&counter)));
    HANDLE h = CreateFileW(win32::wide(tmp), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw XmlError(errorText("cannot create a temporary file for", path, GetLastError()));
    DWORD error = 0;
    for (size_t done = 0; error == 0 && done < size;) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        DWORD n = 0;
        if (!WriteFile(h, data + done, chunk, &n, nullptr)) error = GetLastError();
        done += n;
    }
    if (error == 0 && !FlushFileBuffers(h)) error = GetLastError();
    CloseHandle(h);
    if (error == 0 && !MoveFileExW(win32::wide(tmp), win32::wide(path),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error != 0) {
        DeleteFileW(win32::wide(tmp));
        throw XmlError(errorText("cannot write", path, error));
    }
}

// COM on the calling thread for an object's lifetime: initialised when the thread had none,
// and then uninitialised again.
class ComScope {
  public:
    ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

    // False when COM can't be used on this thread.
    bool usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }

  private:
    HRESULT hr_;
};

// The identity of a COM object, for comparing nodes.
com_ptr<IUnknown> identity(IUnknown* p) {
    com_ptr<IUnknown> u;
    if (p) p->QueryInterface(IID_IUnknown, u.put_void());
    return u;
}

class MsxmlDocument;

class MsxmlElement final : public XmlElement {
  public:
    MsxmlElement(MsxmlDocument* doc, com_ptr<IXMLDOMNode> node)
        : doc_(doc), node_(std::move(node)) {}

    bool setText(const std::u16string& text) override {
        if (!isXmlText(text)) return false;
        unique_bstr b(text);
        return b && SUCCEEDED(node_->put_text(b.get()));
    }

    std::u16string text() const override {
        unique_bstr b;
        if (FAILED(node_->get_text(b.put()))) return {};
        return b.str();
    }

    void appendChild(XmlElement& child) override;

    MsxmlDocument* document() const { return doc_; }
    IXMLDOMNode* node() const { return node_.get(); }

  private:
    MsxmlDocument* doc_;
    com_ptr<IXMLDOMNode> node_;
};

// A fresh, empty MSXML document configured for reading files as they are; null when the
// component is not available.
com_ptr<IXMLDOMDocument> newDocument() {
    com_ptr<IXMLDOMDocument> doc;
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(L"Msxml2.DOMDocument.4.0", &clsid))) return doc;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                doc.put_void())))
        return {};
    doc->put_async(VARIANT_FALSE);
    doc->put_validateOnParse(VARIANT_FALSE);
    doc->put_resolveExternals(VARIANT_FALSE);
    doc->put_preserveWhiteSpace(VARIANT_TRUE);
    return doc;
}

// Parses the bytes of a file into doc; false when they are not well-formed XML with a root.
bool loadBytes(IXMLDOMDocument* doc, const std::string& bytes) {
    if (bytes.empty()) return false;
    SAFEARRAYBOUND bound{static_cast<ULONG>(bytes.size()), 0};
    unique_safearray array(SafeArrayCreate(VT_UI1, 1, &bound));
    if (!array) throw XmlError("out of memory parsing a document");
    memcpy(array.get()->pvData, bytes.data(), bytes.size());
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_ARRAY | VT_UI1;
    source.parray = array.get();  // borrowed: the variant is not cleared
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (FAILED(doc->load(source, &ok)) || ok != VARIANT_TRUE) return false;
    com_ptr<IXMLDOMElement> root;
    return SUCCEEDED(doc->get_documentElement(root.put())) && root;
}

// The document as MSXML writes it to a file.
std::string serialise(IXMLDOMDocument* doc) {
    com_ptr<IStream> stream;
    HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    if (FAILED(hr)) throw XmlError("out of memory serialising a document");
    VARIANT target;
    VariantInit(&target);
    target.vt = VT_UNKNOWN;
    target.punkVal = stream.get();  // borrowed: the variant is not cleared
    hr = doc->save(target);
    HGLOBAL memory = nullptr;
    STATSTG stat{};
    if (FAILED(hr) || FAILED(GetHGlobalFromStream(stream.get(), &memory)) ||
        FAILED(stream->Stat(&stat, STATFLAG_NONAME)))
        throw XmlError("cannot serialise the document: " + hresultText(hr));
    const auto size = static_cast<size_t>(stat.cbSize.QuadPart);
    const char* data = static_cast<const char*>(GlobalLock(memory));
    if (!data) return {};
    std::string bytes(data, size);
    GlobalUnlock(memory);
    return bytes;
}

std::u16string xmlOf(IXMLDOMDocument* doc) {
    unique_bstr b;
    if (FAILED(doc->get_xml(b.put()))) throw XmlError("cannot read the document's text");
    return b.str();
}

class MsxmlDocument final : public XmlDocument {
  public:
    // False when COM or the MSXML component is not available.
    bool init() {
        if (!com_.usable()) return false;
        doc_ = newDocument();
        return static_cast<bool>(doc_);
    }

    ~MsxmlDocument() override {
        // Every reference goes before COM is uninitialised on this thread.
        wrappers_.clear();
        doc_.reset();
    }

    bool load(const std::u16string& path) override {
        wrappers_.clear();
        hasContent_ = false;
        // A fresh document each time: what a failed parse leaves behind is nobody's document.
        doc_ = newDocument();
        if (!doc_) throw XmlError("cannot create an MSXML document");
        std::string bytes;
        if (path.empty() || !readWholeFile(path, &bytes) || !loadBytes(doc_.get(), bytes)) {
            doc_ = newDocument();
            if (!doc_) throw XmlError("cannot create an MSXML document");
            return false;
        }
        hasContent_ = true;
        return true;
    }

    std::vector<XmlElement*> elementsByTagName(const std::u16string& name) override {
        std::vector<XmlElement*> found;
        if (!hasContent_) return found;
        unique_bstr b(name);
        com_ptr<IXMLDOMNodeList> list;
        HRESULT hr = doc_->getElementsByTagName(b.get(), list.put());
        if (FAILED(hr) || !list) throw XmlError("getElementsByTagName failed: " + hresultText(hr));
        long count = 0;
        list->get_length(&count);
        for (long i = 0; i < count; ++i) {
            com_ptr<IXMLDOMNode> node;
            if (SUCCEEDED(list->get_item(i, node.put())) && node)
                found.push_back(wrap(std::move(node)));
        }
        return found;
    }

    XmlElement* createElement(const std::u16string& name) override {
        if (!isXmlName(name)) return nullptr;
        unique_bstr b(name);
        com_ptr<IXMLDOMElement> element;
        if (FAILED(doc_->createElement(b.get(), element.put())) || !element) return nullptr;
        com_ptr<IXMLDOMNode> node = element.try_query<IXMLDOMNode>(IID_IXMLDOMNode);
        if (!node) return nullptr;
        hasContent_ = true;
        return wrap(std::move(node));
    }

    // Some MSXML implementations (Wine's) write UTF-8 whatever encoding the declaration names.
    // The bytes are therefore parsed again before they replace the file; when they don't give
    // the same document, the declaration is changed to UTF-8 and the document written again.
    void save(const std::u16string& path) override {
        if (!hasContent_) throw XmlError("no document to save to " + toUtf8(path));
        std::string bytes = serialise(doc_.get());
        if (!savesFaithfully(bytes)) {
            declareUtf8();
            bytes = serialise(doc_.get());
            if (!savesFaithfully(bytes))
                throw XmlError("cannot serialise the document for " + toUtf8(path) +
                               " without changing it");
        }
        replaceFile(path, bytes.data(), bytes.size());
    }

  private:
    bool savesFaithfully(const std::string& bytes) {
        com_ptr<IXMLDOMDocument> check = newDocument();
        if (!check) throw XmlError("cannot create an MSXML document");
        return loadBytes(check.get(), bytes) && xmlOf(check.get()) == xmlOf(doc_.get());
    }

    // Replaces the encoding the XML declaration names by UTF-8.
    void declareUtf8() {
        com_ptr<IXMLDOMNode> first;
        if (FAILED(doc_->get_firstChild(first.put())) || !first) return;
        DOMNodeType type;
        unique_bstr name, data;
        if (FAILED(first->get_nodeType(&type)) || type != NODE_PROCESSING_INSTRUCTION ||
            FAILED(first->get_nodeName(name.put())) || name.str() != u"xml" ||
            FAILED(first->get_text(data.put())))
            return;
        std::u16string text = data.str();
        size_t at = text.find(u"encoding");
        size_t open = at == text.npos ? at : text.find_first_of(u"\"'", at);
        size_t close = open == text.npos ? open : text.find(text[open], open + 1);
        if (close == text.npos) return;
        text.replace(open + 1, close - open - 1, u"UTF-8");
        unique_bstr target(u"xml"), newData(text);
        com_ptr<IXMLDOMProcessingInstruction> pi;
        com_ptr<IXMLDOMNode> old;
        if (FAILED(doc_->createProcessingInstruction(target.get(), newData.get(), pi.put())) ||
            !pi || FAILED(doc_->replaceChild(pi.get(), first.get(), old.put())))
            throw XmlError("cannot change the document's declared encoding");
    }

    // One wrapper per node, whatever interface pointer MSXML hands out for it.
    XmlElement* wrap(com_ptr<IXMLDOMNode> node) {
        com_ptr<IUnknown> id = identity(node.get());
        auto& w = wrappers_[id.get()];
        if (!w.element) {
            w.id = std::move(id);
            w.element = std::make_unique<MsxmlElement>(this, std::move(node));
        }
        return w.element.get();
    }

    struct Wrapper {
        com_ptr<IUnknown> id;  // keeps the key of the map alive
        std::unique_ptr<MsxmlElement> element;
    };

    ComScope com_;  // first member: outlives every COM reference below
    com_ptr<IXMLDOMDocument> doc_;
    bool hasContent_ = false;
    std::unordered_map<IUnknown*, Wrapper> wrappers_;
};

void MsxmlElement::appendChild(XmlElement& child) {
    auto* c = dynamic_cast<MsxmlElement*>(&child);
    if (!c || c->document() != doc_)
        throw XmlError("appendChild: the element belongs to another document");
    com_ptr<IUnknown> childId = identity(c->node());
    com_ptr<IXMLDOMNode> p = node_;
    while (p) {
        if (identity(p.get()).get() == childId.get())
            throw XmlError("appendChild: an element can't contain itself");
        com_ptr<IXMLDOMNode> parent;
        if (FAILED(p->get_parentNode(parent.put()))) break;
        p = std::move(parent);
    }
    com_ptr<IXMLDOMNode> added;
    HRESULT hr = node_->appendChild(c->node(), added.put());
    if (FAILED(hr)) throw XmlError("appendChild failed: " + hresultText(hr));
}

}  // namespace

std::unique_ptr<XmlDocument> XmlDocument::create() {
    auto doc = std::make_unique<MsxmlDocument>();
    if (!doc->init()) return nullptr;
    return doc;
}

}  // namespace vt::plat
