// Runtime helpers that the system's code takes from the C library on Linux and that Windows' runtime lacks.
#include <cstring>

extern "C" void* memrchr(const void* s, int c, size_t n) {
    const auto* p = static_cast<const unsigned char*>(s);
    const auto byte = static_cast<unsigned char>(c);
    while (n > 0) {
        if (p[--n] == byte)
            return const_cast<unsigned char*>(p + n);
    }
    return nullptr;
}
