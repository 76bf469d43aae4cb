// A small XML document object model: load a file, find elements by tag name, set an
// element's text, add an element, save. Content the caller doesn't touch survives a save.
// libxml2 on Linux, MSXML ("Msxml2.DOMDocument.4.0") on Windows.
//
// load() reports a missing or malformed file by returning false; other failures of the
// component throw XmlError. Not thread-safe: one document per thread.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vt::plat {

class XmlError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A node of a document; valid while its document lives.
class XmlElement {
  public:
    virtual ~XmlElement() = default;
    // Replaces the element's content by the text; false on failure.
    virtual bool setText(const std::u16string& text) = 0;
    virtual std::u16string text() const = 0;
    // Appends child (made by the same document's createElement) as the last child.
    virtual void appendChild(XmlElement& child) = 0;
};

class XmlDocument {
  public:
    // Null when the XML component is not available.
    static std::unique_ptr<XmlDocument> create();
    virtual ~XmlDocument() = default;

    virtual bool load(const std::u16string& path) = 0;
    // Elements with this name, in document order.
    virtual std::vector<XmlElement*> elementsByTagName(const std::u16string& name) = 0;
    // A new element, not yet part of the tree; null on failure.
    virtual XmlElement* createElement(const std::u16string& name) = 0;
    // Writes the document to path, replacing the file.
    virtual void save(const std::u16string& path) = 0;
};

}  // namespace vt::plat
