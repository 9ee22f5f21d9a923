// Fuzz target: a key's ".values" file through the registry store's reader.
// Whatever it reads must write back to the same values, and writing those
// again must give the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "registry_internal.h"

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "values round trip: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<RegistryText::Value> read;
    if (!RegistryText::ParseValues(std::string(reinterpret_cast<const char*>(data), size), read)) return 0;
    const std::string written = RegistryText::SerializeValues(read);
    std::vector<RegistryText::Value> reread;
    if (!RegistryText::ParseValues(written, reread)) Fail("the written file does not read");
    if (reread != read) Fail("the written file reads as other values");
    if (RegistryText::SerializeValues(reread) != written) Fail("writing the values again gives other bytes");
    return 0;
}
