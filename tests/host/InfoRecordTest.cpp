// The typed records by which a child answers its parent: what is written reads back the same, and bytes that
// are not a whole record of this host's are refused, however little is wrong with them.
#include "host/InfoRecord.h"
#include "host/ChildAnswer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

InfoRecord Sample() {
    InfoRecord r;
    r.boundPath = "/tmp/a project.kpz";
    r.kind = 2;
    r.hasSize = true;
    r.size = 73;
    r.allowed = true;
    r.limit = 2097152;
    r.lookedForPicture = true;
    r.markerWindow = 1 << 20;
    r.isProject = true;
    r.studyCount = 3;
    r.studies = {"/tmp/a.qzt", "/tmp/b.qzt", "/tmp/\x1b[31m.qzt"};
    return r;
}

TEST(InfoRecord, WhatIsWrittenReadsBack) {
    const InfoRecord sent = Sample();
    InfoRecord read;
    ASSERT_TRUE(DecodeInfo(EncodeInfo(sent), read));
    EXPECT_EQ(read.boundPath, sent.boundPath);
    EXPECT_EQ(read.studies, sent.studies);
    EXPECT_EQ(read.studyCount, 3u);
    EXPECT_EQ(EncodeInfo(read), EncodeInfo(sent));
}

TEST(InfoRecord, AnythingButAWholeRecordIsRefused) {
    const std::string good = EncodeInfo(Sample());
    InfoRecord read;
    const std::pair<const char*, std::function<std::string()>> damaged[] = {
        {"nothing", [] { return std::string(); }},
        {"cut short", [&] { return good.substr(0, good.size() - 1); }},
        {"a byte too many", [&] { return good + "x"; }},
        {"another magic", [&] { return "X" + good.substr(1); }},
        {"another version",
         [&] {
             std::string s = good;
             s[4] = 1;
             return s;
         }},
        {"a kind out of range",
         [&] {
             std::string s = good;
             s[5 + 4 + 18] = 9;
             return s;
         }},
        {"a flag that is neither 0 nor 1",
         [&] {
             std::string s = good;
             s[5 + 4 + 18 + 3] = 2;
             return s;
         }},
        {"a name longer than the record",
         [&] {
             std::string s = good;
             s[5] = char(0xff);
             return s;
         }},
    };
    for (const auto& [what, bytes] : damaged)
        EXPECT_FALSE(DecodeInfo(bytes(), read)) << what;
    InfoRecord many = Sample();
    many.studyCount = 1; // fewer than are listed
    EXPECT_FALSE(DecodeInfo(EncodeInfo(many), read));
    InfoRecord drawn = Sample();
    drawn.triangles = 1;
    drawn.drawable = 2; // more drawable triangles than there are
    EXPECT_FALSE(DecodeInfo(EncodeInfo(drawn), read));
    EXPECT_FALSE(DecodeInfo(std::string(InfoRecord::kMaxBytes + 1, '\0'), read));
}

TEST(ChildAnswer, OnlyKnownKindsAndReasonsAreTaken) {
    ChildAnswer a;
    a.kind = AnswerKind::NoPicture;
    a.why = AnswerWhy::OverSizeLimit;
    EXPECT_TRUE(IsValidAnswer(a));
    ChildAnswer b = a;
    b.magic ^= 1;
    EXPECT_FALSE(IsValidAnswer(b));
    b = a;
    b.kind = AnswerKind(0);
    EXPECT_FALSE(IsValidAnswer(b));
    b = a;
    b.why = AnswerWhy(uint16_t(AnswerWhy::Unknown) + 1);
    EXPECT_FALSE(IsValidAnswer(b));
    b = a;
    b.version = 2;
    EXPECT_FALSE(IsValidAnswer(b));
}

} // namespace
