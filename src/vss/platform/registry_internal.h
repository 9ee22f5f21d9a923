// Internals of the registry stand-in that its tests and fuzz target reach.
//
// The text form of a key's ".values" file is the form of registry exports:
//
//   Windows Registry Editor Version 5.00
//
//   "Tracing"="Enabled"
//   "TypesSupported"=dword:00000007
//   "Expand"=hex(2):25,00
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "wintypes.h"

namespace RegistryText {

struct Value {
    std::string name;  // empty: the key's default value, written "@"
    DWORD type = 0;
    std::string data;  // exact bytes

    bool operator==(const Value& other) const { return name == other.name && type == other.type && data == other.data; }
};

// Reads a whole file. Lines may end in LF or CRLF and the file may begin with
// a UTF-8 byte-order mark, as editors write it. False on any malformed line.
bool ParseValues(const std::string& text, std::vector<Value>& values);

// Writes what ParseValues reads back to the same values: LF line ends, no mark.
std::string SerializeValues(const std::vector<Value>& values);

// Value of one hexadecimal digit, -1 for any other character.
int HexDigit(char c);

}  // namespace RegistryText

// Registry handles currently open (created or opened and not yet closed), so
// tests can check that callers close every handle they open.
size_t RegistryOpenHandleCount();
