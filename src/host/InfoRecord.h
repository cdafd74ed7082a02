// What `tarnel info` learns of a file, as the info child sends it to the parent: a typed record in bytes
// (magic, version, numbers, length-prefixed names), written by the child that read the file and decoded by
// the parent, which checks every field and prints (escaped) what it accepts. The child may have been taken
// over by the file, so the record is the only thing believed of it.
#pragma once

#include "host/ChildAnswer.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct InfoRecord {
    static constexpr size_t kMaxBytes = 4u << 20;       // the most the parent reads of one record
    static constexpr size_t kMaxName = 16384;           // the longest name it takes
    static constexpr uint32_t kMaxStudiesListed = 4096; // names beyond these are counted, not listed

    std::string boundPath;                  // the path as the extractor binds it (lower-cased)
    uint8_t kind = 0;                       // 1 + FileKind, 0 for none of the suite's
    AnswerWhy unreadable = AnswerWhy::None; // why the file cannot be read; None when it can
    bool hasSize = false;
    uint64_t size = 0;
    bool limitFromEnvironment = false, ignored = false, allowed = false;
    uint64_t limit = 0;
    bool lookedForPicture = false; // every file but a mesh is looked into for a stored picture
    uint32_t markerWindow = 0;     // the bytes at the file's end where a marker is looked for
    int64_t markerOffset = -1;     // -1: no marker
    uint32_t pictureWidth = 0, pictureHeight = 0;
    bool isProject = false, projectUnreadable = false;
    uint32_t studyCount = 0;          // all the studies the project names
    std::vector<std::string> studies; // the first kMaxStudiesListed of them, in the file-name encoding
    std::vector<bool> studyFound; // for each listed: whether the extractor finds it (then by its real name)
    bool isMesh = false;
    bool meshLibraryMissing = false;
    uint8_t meshFormat = 0; // 0: none read, 1: ascii, 2: binary
    int64_t pointsRead = 0, trianglesRead = 0, points = 0, triangles = 0;
    int64_t drawable = 0;       // triangles a render can show
    bool meshUnderstood = true; // the bytes are the format they were read as
};

std::string EncodeInfo(const InfoRecord& record);
// False when the bytes are not a record this host reads whole: a wrong magic or version, a field out of its
// range, a length past the end, bytes left over.
bool DecodeInfo(std::string_view bytes, InfoRecord& record);
