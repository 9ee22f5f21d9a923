// Reading and writing the text form of a key's ".values" file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "registry.h"
#include "registry_internal.h"

namespace RegistryText {

namespace {

constexpr const char* kFileHeader = "Windows Registry Editor Version 5.00";

std::string QuoteText(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool Printable(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

std::string FormatValue(const Value& v) {
    std::string line = v.name.empty() ? "@" : QuoteText(v.name);
    line += '=';
    if (v.type == REG_SZ && !v.data.empty() && v.data.back() == '\0' &&
        Printable(v.data.substr(0, v.data.size() - 1))) {
        return line + QuoteText(v.data.substr(0, v.data.size() - 1));
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t n = 0;
        std::memcpy(&n, v.data.data(), 4);  // little-endian, as on Windows
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        return line + buf;
    }
    char prefix[24];
    if (v.type == REG_BINARY)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
    line += prefix;
    for (size_t i = 0; i < v.data.size(); ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", static_cast<unsigned char>(v.data[i]));
        line += buf;
    }
    return line;
}

bool ParseQuoted(const std::string& line, size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"') return false;
    out.clear();
    for (++pos; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= line.size()) return false;
            if (line[pos] == 'x') {
                if (pos + 2 >= line.size() || HexDigit(line[pos + 1]) < 0 || HexDigit(line[pos + 2]) < 0) return false;
                out += static_cast<char>(HexDigit(line[pos + 1]) * 16 + HexDigit(line[pos + 2]));
                pos += 2;
            } else {
                out += line[pos];
            }
        } else {
            out += c;
        }
    }
    return false;
}

bool ParseHexBytes(const std::string& text, std::string& out) {
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        if (i + 1 >= text.size() || HexDigit(text[i]) < 0 || HexDigit(text[i + 1]) < 0) return false;
        out += static_cast<char>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1]));
        i += 2;
        if (i < text.size()) {
            if (text[i] != ',') return false;
            ++i;
        }
    }
    return true;
}

// Only what the writer produces: between minDigits and maxDigits hexadecimal
// digits, no sign, blank or "0x" (strtoul would take all three), so the
// number always fits 32 bits.
bool ParseHexNumber(const std::string& text, size_t minDigits, size_t maxDigits, uint32_t& out) {
    if (text.size() < minDigits || text.size() > maxDigits) return false;
    out = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) return false;
        out = out * 16 + static_cast<uint32_t>(digit);
    }
    return true;
}

bool ParseValueLine(const std::string& line, Value& v) {
    size_t pos = 0;
    if (line[0] == '@') {
        v.name.clear();
        pos = 1;
    } else if (!ParseQuoted(line, pos, v.name)) {
        return false;
    }
    if (pos >= line.size() || line[pos] != '=') return false;
    ++pos;
    if (pos < line.size() && line[pos] == '"') {
        if (!ParseQuoted(line, pos, v.data) || pos != line.size()) return false;
        v.type = REG_SZ;
        v.data += '\0';
        return true;
    }
    std::string rest = line.substr(pos);
    if (rest.compare(0, 6, "dword:") == 0) {
        uint32_t n = 0;
        if (!ParseHexNumber(rest.substr(6), 8, 8, n)) return false;
        v.type = REG_DWORD;
        v.data.assign(reinterpret_cast<const char*>(&n), 4);  // little-endian, as on Windows
        return true;
    }
    if (rest.compare(0, 4, "hex:") == 0) {
        v.type = REG_BINARY;
        return ParseHexBytes(rest.substr(4), v.data);
    }
    if (rest.compare(0, 4, "hex(") == 0) {
        const size_t close = rest.find("):");
        if (close == std::string::npos || !ParseHexNumber(rest.substr(4, close - 4), 1, 8, v.type)) return false;
        return ParseHexBytes(rest.substr(close + 2), v.data);
    }
    return false;
}

}  // namespace

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseValues(const std::string& text, std::vector<Value>& values) {
    values.clear();
    static const std::string byteOrderMark = "\xEF\xBB\xBF";
    size_t start = text.compare(0, byteOrderMark.size(), byteOrderMark) == 0 ? byteOrderMark.size() : 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line == kFileHeader) continue;
        Value v;
        if (!ParseValueLine(line, v)) return false;
        values.push_back(std::move(v));
    }
    return true;
}

std::string SerializeValues(const std::vector<Value>& values) {
    std::string out = std::string(kFileHeader) + "\n\n";
    for (const auto& v : values) out += FormatValue(v) + "\n";
    return out;
}

}  // namespace RegistryText
