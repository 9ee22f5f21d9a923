#include "com.h"

#include <cstdlib>

const GUID GUID_NULL = {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

LPVOID CoTaskMemAlloc(size_t cb) { return std::malloc(cb); }

void CoTaskMemFree(LPVOID pv) { std::free(pv); }
