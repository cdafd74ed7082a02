// Fuzz target: the mesh reader on ASCII facet files. The first 255 bytes are kept below 128 so that every
// input takes the ASCII path; every piece is also checked against the runtime's own number scanning.
#include "tvx_fuzz.h"

#include "TVXFacetLine.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    for (size_t i = 0; i < bytes.size() && i < 255; ++i)
        bytes[i] &= 0x7F;
    tvxfuzz::ReadBytes(bytes.data(), bytes.size());

    // The fast conversion of plain numbers must give what sscanf gives, number for number.
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        float fast[3] = {-1, -2, -3}, runtime[3] = {-1, -2, -3};
        TVXScanVertex(line.c_str(), fast, true);
        TVXScanVertex(line.c_str(), runtime, false);
        if (std::memcmp(fast, runtime, sizeof fast) != 0)
            __builtin_trap();
    }
    return 0;
}
