#include "handles.h"

#include <mutex>
#include <unordered_map>

#include "storage.h"

namespace korvel_platform {

namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::unique_ptr<KernelObject>> objects;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // outlives static destructors of callers
    return *table;
}

}  // namespace

HANDLE RegisterHandle(std::unique_ptr<KernelObject> object) {
    HANDLE handle = object.get();
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.objects.emplace(handle, std::move(object));
    return handle;
}

KernelObject* LookupHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(handle);
    return it == table.objects.end() ? nullptr : it->second.get();
}

}  // namespace korvel_platform

BOOL CloseHandle(HANDLE hObject) {
    std::unique_ptr<korvel_platform::KernelObject> object;
    {
        auto& table = korvel_platform::Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.objects.find(hObject);
        if (it != table.objects.end()) {
            object = std::move(it->second);
            table.objects.erase(it);
        }
    }
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
