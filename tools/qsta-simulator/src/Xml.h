// Small helpers to write the appliance's XML answers.
#pragma once

#include <string>

namespace qsta::detail {

// Appends `text` with the five XML special characters escaped. Control
// characters that XML 1.0 cannot carry at all become '?', so an odd name in
// the model never makes the document ill-formed.
inline void AppendEscaped(std::string& out, const std::string& text) {
    for (unsigned char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default:
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                    out += '?';
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
}

// Appends "<indent><name>text</name>\n".
inline void AppendElement(std::string& out, const char* indent, const char* name, const std::string& text) {
    out += indent;
    out += '<';
    out += name;
    out += '>';
    AppendEscaped(out, text);
    out += "</";
    out += name;
    out += ">\n";
}

inline const char* XmlDeclaration() { return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"; }

}  // namespace qsta::detail
