// The resource compiler of this platform: a module's resources live in its file's ELF section ".tarnel.rsrc",
// which TARNEL_RESOURCE fills at build time; LoadLibraryExW with LOAD_LIBRARY_AS_DATAFILE reads them back.
// The section is a run of entries, each aligned to 8 bytes:
//   "TRES", id (u32), language (u16), length of the type name (u16), length of the data (u32),
//   the type name (ASCII, no terminator), zero padding to 8, the data, zero padding to 8.
// All numbers are little-endian.
#pragma once

#include "platform/tarnel/own.h"

#define TARNEL_RESOURCE_STR2(x) #x
#define TARNEL_RESOURCE_STR(x) TARNEL_RESOURCE_STR2(x)

// Puts the bytes of a file into the module's resource section, as resource `id` of type `type` (a string
// literal) in `language`. `file` is a string literal naming the file at build time.
#define TARNEL_RESOURCE(type, id, language, file)                                                            \
    __asm__(                                                                                                 \
        ".pushsection .tarnel.rsrc,\"a\",@progbits\n"                                                        \
        ".balign 8\n"                                                                                        \
        ".ascii \"TRES\"\n"                                                                                  \
        ".long " TARNEL_RESOURCE_STR(id) "\n"                                                                \
                                         ".short " TARNEL_RESOURCE_STR(language) "\n"                        \
                                                                                 ".short 2f - 1f\n"          \
                                                                                 ".long 4f - 3f\n"           \
                                                                                 "1: .ascii \"" type "\"\n"  \
                                                                                 "2: .balign 8\n"            \
                                                                                 "3: .incbin \"" file "\"\n" \
                                                                                 "4: .balign 8\n"            \
                                                                                 ".popsection\n")
