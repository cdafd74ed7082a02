// What an extraction child answers its parent: one small record of fixed size on a pipe of its own, read
// whole and checked by the parent (Isolated.h). The child may have been taken over by the file it read, so
// the parent believes nothing else it says: it words every message itself from the record, shows what the
// child wrote on its standard error only with -v (escaped, shortened, marked as the extractor's), and
// checks a picture before it puts it in place.
#pragma once

#include <cstdint>

enum class AnswerKind : uint8_t {
    Picture = 1, // OUTPUT holds the picture
    IconOnly,    // OUTPUT holds the icon fallback's picture (--icon)
    NoPicture,   // the handler ran and gave none; why says why
    Refused,     // the handler refused the file: call and result say how
    SetUp,       // the handler cannot be reached or cannot render here: why says which
    Facts,       // an answer of numbers (a cached project's newest study)
};

// Why there is no picture, as the parent words it (NoPictureText).
enum class AnswerWhy : uint16_t {
    None = 0,
    NotFound,
    PermissionDenied,
    NotRegular,
    OverSizeLimit,     // numbers[0]: the limit in bytes
    NoStoredPicture,   // no <THUMBNAIL> marker
    PictureUnreadable, // a marker, and no picture behind it that can be read
    PictureUnscalable, // a picture of numbers[0] x numbers[1] pixels that scales to nothing at the asked size
    ProjectUnreadable,
    ProjectNamesNoStudy,
    StudyGivesNoPicture, // the project's one study
    StudiesGiveNoPicture,
    MeshHoldsNoTriangles,
    MeshNotDrawn,
    MeshNotUnderstood,  // the bytes are not a mesh file of the format they were read as
    MeshDrawsNothing,   // triangles, none of which a render can show
    OutOfMemory,        // numbers[0]: the bound in MiB, 0 when none was set
    MeshLibraryMissing, // the mesh library beside the module
    NoOffscreenRendering,
    ModuleNotLoaded, // the dynamic loader refused the module
    NoServer,        // no DllGetClassObject or DllCanUnloadNow
    ClassNotServed,  // DllGetClassObject failed (result)
    CannotCreate,    // IClassFactory::CreateInstance failed (result)
    NoExtractor,     // QueryInterface(IExtractImage) failed (result)
    PngNotWritten,
    Unknown,
};

// The interface call that refused a file (AnswerKind::Refused).
enum class AnswerCall : uint8_t { None = 0, Load, GetLocation };

struct ChildAnswer {
    static constexpr uint32_t kMagic = 0x54524e41; // "TRNA"
    uint32_t magic = kMagic;
    uint8_t version = 1;
    AnswerKind kind = AnswerKind::NoPicture;
    AnswerWhy why = AnswerWhy::None;
    AnswerCall call = AnswerCall::None;
    uint8_t reserved[3] = {};
    int32_t result = 0; // an HRESULT
    int64_t numbers[2] = {0, 0};
};
static_assert(sizeof(ChildAnswer) == 32, "the record's size is part of the protocol");

// In the child: sends the answer to the parent (once; a second answer is not read). False when there is no
// parent to answer (outside a child) or the pipe refused it.
bool SendAnswer(const ChildAnswer& answer);

// In the parent: whether the record is one this host can read (magic, version, kinds and reasons in range).
bool IsValidAnswer(const ChildAnswer& answer);

// Why a mesh shows nothing: not the format it was read as, no triangles, or triangles that draw nothing;
// None when it is what it was read as and some triangle can be drawn.
constexpr AnswerWhy MeshVerdict(int64_t triangles, int64_t drawable, bool understood) {
    return !understood      ? AnswerWhy::MeshNotUnderstood
           : drawable > 0   ? AnswerWhy::None
           : triangles == 0 ? AnswerWhy::MeshHoldsNoTriangles
                            : AnswerWhy::MeshDrawsNothing;
}

// The words for the reasons a file cannot be read at all ("not found", "permission denied", "not a regular
// file"); null for every other reason.
const char* UnreadableText(AnswerWhy why);

// The words for why a mesh shows nothing (MeshNotUnderstood, MeshHoldsNoTriangles, MeshDrawsNothing), as
// `tarnel info` and `tarnel thumbnail` both say them; null for every other reason.
const char* MeshProblemText(AnswerWhy why);
