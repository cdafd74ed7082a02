// Fuzz target: the mesh reader on binary facet files. The first byte (a header byte, ignored) is set above
// 127 so that every input takes the binary path.
#include "tvx_fuzz.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    if (!bytes.empty())
        bytes[0] |= 0x80;
    tvxfuzz::Counts read = tvxfuzz::ReadBytes(bytes.data(), bytes.size());
    // Every complete 48-byte block at 84 + 50k is one triangle.
    vtkIdType expected = size >= 84 + 48 ? vtkIdType((size - 84 - 48) / 50 + 1) : 0;
    if (read.triangles != expected || read.points != 3 * expected)
        __builtin_trap();
    return 0;
}
