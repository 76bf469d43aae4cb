// The WBXML encoding of SyncML 1.2 (application/vnd.syncml+wbxml), through libwbxml2, as a layer
// beside the XML codec (message.h): a WBXML message is decoded into the XML text that parseXml
// reads, and the XML text that writeXml wrote is encoded as WBXML.
//
// Item data travels as opaque bytes, exactly as they are: libwbxml2's own XML-to-WBXML
// conversion turns every line feed of an Add's or Replace's data into CR LF, so the encoder
// builds libwbxml2's document tree itself instead. An embedded device information document
// becomes its own WBXML document inside the Data, as SyncML wants.
//
// Pure and thread-safe (no state; libwbxml2 keeps none between calls).
#pragma once

#include <string>
#include <string_view>

namespace vt::syncml {

// WBXML bytes into XML text (UTF-8). False with *error (one line) for bytes that are not a
// WBXML SyncML document.
bool wbxmlToXml(std::string_view wbxml, std::string* xml, std::string* error);

// XML text as writeXml writes it into WBXML 1.2 bytes (UTF-8 strings, no string table). False
// with *error for text that is not such a document.
bool xmlToWbxml(std::string_view xml, std::string* wbxml, std::string* error);

}  // namespace vt::syncml
