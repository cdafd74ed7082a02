// Shared by the mesh reader's fuzz targets: runs vtkTVXReader on bytes held in an anonymous in-memory file,
// checks what any output must satisfy, and (under AddressSanitizer) that the run's memory stays within a
// small multiple of the file's size.
#pragma once

#include "TVXChecks.h"
#include "vtkTVXReader.h"

#include "vtkCellArray.h"
#include "vtkIdList.h"
#include "vtkNew.h"
#include "vtkPolyData.h"
#include "vtkSmartPointer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

// The allocation hooks come with clang's AddressSanitizer (the libFuzzer build); gcc's has no such header.
#if defined(__clang__) && defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TVX_FUZZ_MEMORY 1
#endif
#endif

#ifdef TVX_FUZZ_MEMORY
// AddressSanitizer's allocator interface (declared here: GCC does not install its header).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));
extern "C" size_t __sanitizer_get_allocated_size(const volatile void* p);

namespace tvxfuzz {
inline std::atomic<long long> liveBytes{0}, peakBytes{0};
inline std::atomic<bool> counting{false};
inline void OnMalloc(const volatile void*, size_t size) {
    if (!counting)
        return;
    long long now = liveBytes += (long long)size;
    long long peak = peakBytes;
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
}
inline void OnFree(const volatile void* p) {
    if (counting && p != nullptr)
        liveBytes -= (long long)__sanitizer_get_allocated_size(p);
}
} // namespace tvxfuzz
#endif

namespace tvxfuzz {

struct Counts {
    vtkIdType points = 0;
    vtkIdType triangles = 0;
};

inline Counts Check(vtkPolyData* output, bool merging) {
    Counts c{output->GetNumberOfPoints(), output->GetNumberOfPolys()};
    vtkNew<vtkIdList> ids;
    vtkCellArray* polys = output->GetPolys();
    for (vtkIdType i = 0; i < c.triangles; ++i) {
        polys->GetCellAtId(i, ids);
        if (ids->GetNumberOfIds() != 3)
            __builtin_trap();
        for (int k = 0; k < 3; ++k)
            if (ids->GetId(k) < 0 || ids->GetId(k) >= c.points)
                __builtin_trap();
        bool distinct = ids->GetId(0) != ids->GetId(1) && ids->GetId(0) != ids->GetId(2) &&
                        ids->GetId(1) != ids->GetId(2);
        if (merging && !distinct)
            __builtin_trap(); // the merge drops triangles that lose a corner
        if (!merging && ids->GetId(0) != 3 * i)
            __builtin_trap(); // unmerged, triangle i is made of points 3i, 3i + 1, 3i + 2
    }
    if (!merging && c.triangles != c.points / 3)
        __builtin_trap();
    return c;
}

// Reads the bytes with merging off and on; gives the counts of the unmerged run.
inline Counts ReadBytes(const uint8_t* data, size_t size) {
    int fd = ::memfd_create("mesh.tvx", MFD_CLOEXEC);
    if (fd < 0)
        return {};
    if (size > 0 && ::write(fd, data, size) != ssize_t(size)) {
        ::close(fd);
        return {};
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    // And of the bytes: whether they are the format they are read as, each way.
    if (FILE* fp = std::fopen(path.c_str(), "rb")) {
        for (bool binary : {false, true}) {
            std::rewind(fp);
            (void)TVXIsWhatItIsReadAs(fp, binary);
        }
        std::fclose(fp);
    }
    vtkObject::GlobalWarningDisplayOff();
    Counts unmerged;
    for (bool merging : {false, true}) {
#ifdef TVX_FUZZ_MEMORY
        static bool hooked = (__sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree), true);
        (void)hooked;
        liveBytes = peakBytes = 0;
        counting = true;
#endif
        {
            auto reader = vtkSmartPointer<vtkTVXReader>::New();
            reader->SetFileName(path.c_str());
            reader->SetMerging(merging);
            reader->Update();
            Counts c = Check(reader->GetOutput(), merging);
            // What the diagnosis asks of the output: no more drawable triangles than there are.
            const long long drawable = TVXDrawableTriangles(reader->GetOutput());
            if (drawable < 0 || drawable > c.triangles)
                __builtin_trap();
            if (!merging)
                unmerged = c;
            else if (c.points > unmerged.points || c.triangles > unmerged.triangles)
                __builtin_trap();
        }
#ifdef TVX_FUZZ_MEMORY
        counting = false;
        // A run may hold VTK's own objects and fixed buffers (about a MiB at most) and a few times the
        // file's size in points and triangles.
        if (peakBytes > (1ll << 20) + 16ll * (long long)size)
            __builtin_trap();
#endif
    }
    ::close(fd);
    return unmerged;
}

} // namespace tvxfuzz
