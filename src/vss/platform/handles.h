// Kernel-object handles of the platform layer (devices, access tokens): one
// table, so CloseHandle serves every kind and a stale or foreign handle is
// refused with ERROR_INVALID_HANDLE instead of being dereferenced.
#pragma once

#include <memory>

#include "wintypes.h"

namespace korvel_platform {

struct KernelObject {
    virtual ~KernelObject() = default;
};

HANDLE RegisterHandle(std::unique_ptr<KernelObject> object);
KernelObject* LookupHandle(HANDLE handle);

template <typename T>
T* LookupHandleAs(HANDLE handle) {
    return dynamic_cast<T*>(LookupHandle(handle));
}

}  // namespace korvel_platform
