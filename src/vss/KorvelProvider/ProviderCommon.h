// Helpers the provider operations share.
#pragma once

#include <list>
#include <string>

#include "KorvelAccessLibrary.h"
#include "vss.h"

namespace korvel_provider {

// Exit lines print the result as %x.
inline unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

// Replaces a record's text with a CoTaskMemAlloc copy of `text`, releasing
// what it held. False when the allocation fails (the field is then null).
bool ReplaceText(char*& field, const std::string& text);

// Takes a record's interconnects away: the array and every port and address
// buffer in it are freed before the count becomes 0, so nothing is left that
// a free by count would miss.
void ClearInterconnects(VDS_LUN_INFORMATION& lun);

// An empty text for a null one.
inline std::string TextOf(const char* text) { return text != nullptr ? text : std::string(); }

// The event entry of a refused administrator check.
void LogAuthorizationEvent();

}  // namespace korvel_provider
