#include "host/InfoRecord.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kMagic = 0x54524e49; // "TRNI"
constexpr uint8_t kVersion = 2;

class Writer {
public:
    template <class T>
    void Put(T value) {
        char bytes[sizeof value];
        std::memcpy(bytes, &value, sizeof value);
        m_out.append(bytes, sizeof value);
    }
    void PutName(const std::string& name) {
        const std::string_view kept = std::string_view(name).substr(0, InfoRecord::kMaxName);
        Put(uint32_t(kept.size()));
        m_out.append(kept);
    }
    std::string Take() { return std::move(m_out); }

private:
    std::string m_out;
};

class Reader {
public:
    explicit Reader(std::string_view in) : m_in(in) {}
    template <class T>
    bool Get(T& value) {
        if (m_in.size() - m_at < sizeof value)
            return false;
        std::memcpy(&value, m_in.data() + m_at, sizeof value);
        m_at += sizeof value;
        return true;
    }
    bool GetFlag(bool& flag) {
        uint8_t byte = 0;
        if (!Get(byte) || byte > 1)
            return false;
        flag = byte == 1;
        return true;
    }
    bool GetName(std::string& name) {
        uint32_t length = 0;
        if (!Get(length) || length > InfoRecord::kMaxName || m_in.size() - m_at < length)
            return false;
        name.assign(m_in.data() + m_at, length);
        m_at += length;
        return true;
    }
    bool AtEnd() const { return m_at == m_in.size(); }

private:
    std::string_view m_in;
    size_t m_at = 0;
};

} // namespace

std::string EncodeInfo(const InfoRecord& r) {
    Writer w;
    w.Put(kMagic);
    w.Put(kVersion);
    w.PutName(r.boundPath);
    w.Put(r.kind);
    w.Put(uint16_t(r.unreadable));
    for (bool flag : {r.hasSize, r.limitFromEnvironment, r.ignored, r.allowed, r.lookedForPicture,
                      r.isProject, r.projectUnreadable, r.isMesh, r.meshLibraryMissing})
        w.Put(uint8_t(flag));
    w.Put(r.size);
    w.Put(r.limit);
    w.Put(r.markerWindow);
    w.Put(r.markerOffset);
    w.Put(r.pictureWidth);
    w.Put(r.pictureHeight);
    w.Put(r.studyCount);
    const uint32_t listed = uint32_t(std::min<size_t>(r.studies.size(), InfoRecord::kMaxStudiesListed));
    w.Put(listed);
    for (uint32_t i = 0; i < listed; ++i) {
        w.PutName(r.studies[i]);
        w.Put(uint8_t(i < r.studyFound.size() && r.studyFound[i]));
    }
    w.Put(r.meshFormat);
    for (int64_t n : {r.pointsRead, r.trianglesRead, r.points, r.triangles, r.drawable})
        w.Put(n);
    w.Put(uint8_t(r.meshUnderstood));
    return w.Take();
}

bool DecodeInfo(std::string_view bytes, InfoRecord& out) {
    if (bytes.size() > InfoRecord::kMaxBytes)
        return false;
    Reader in(bytes);
    InfoRecord r;
    uint32_t magic = 0;
    uint8_t version = 0;
    uint16_t unreadable = 0;
    if (!in.Get(magic) || magic != kMagic || !in.Get(version) || version != kVersion ||
        !in.GetName(r.boundPath) || !in.Get(r.kind) || r.kind > 4 || !in.Get(unreadable) ||
        unreadable > uint16_t(AnswerWhy::Unknown))
        return false;
    r.unreadable = AnswerWhy(unreadable);
    for (bool* flag : {&r.hasSize, &r.limitFromEnvironment, &r.ignored, &r.allowed, &r.lookedForPicture,
                       &r.isProject, &r.projectUnreadable, &r.isMesh, &r.meshLibraryMissing})
        if (!in.GetFlag(*flag))
            return false;
    uint32_t listed = 0;
    if (!in.Get(r.size) || !in.Get(r.limit) || !in.Get(r.markerWindow) || !in.Get(r.markerOffset) ||
        r.markerOffset < -1 || !in.Get(r.pictureWidth) || !in.Get(r.pictureHeight) || !in.Get(r.studyCount) ||
        !in.Get(listed) || listed > InfoRecord::kMaxStudiesListed || listed > r.studyCount)
        return false;
    r.studies.resize(listed);
    r.studyFound.resize(listed);
    for (uint32_t i = 0; i < listed; ++i) {
        bool found = false;
        if (!in.GetName(r.studies[i]) || !in.GetFlag(found))
            return false;
        r.studyFound[i] = found;
    }
    if (!in.Get(r.meshFormat) || r.meshFormat > 2)
        return false;
    for (int64_t* n : {&r.pointsRead, &r.trianglesRead, &r.points, &r.triangles, &r.drawable})
        if (!in.Get(*n) || *n < 0)
            return false;
    if (r.drawable > r.triangles || !in.GetFlag(r.meshUnderstood) || !in.AtEnd())
        return false;
    out = std::move(r);
    return true;
}
