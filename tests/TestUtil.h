// Helpers shared by the tests: scratch folders, files, environment variables, live-object counts.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace testutil {

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
#ifdef _WIN32
        // Windows' runtime has no mkdtemp: a new name is tried until one can be created.
        for (unsigned n = ::GetCurrentProcessId() * 7919u + ::GetTickCount();; ++n) {
            m_path = std::filesystem::temp_directory_path() / ("tarnel-test-" + std::to_string(n));
            std::error_code ec;
            if (std::filesystem::create_directory(m_path, ec))
                break;
            if (ec)
                throw std::runtime_error("no temporary folder");
        }
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnel-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
#endif
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& path() const {
        return m_path;
    }
    std::string operator/(const std::string& name) const {
        return (m_path / name).string();
    }

private:
    std::filesystem::path m_path;
};

inline void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Sets (or with nullopt, unsets) an environment variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        Apply(value);
    }
    ~ScopedEnv() { Apply(m_old); }

private:
    void Apply(const std::optional<std::string>& v) {
#ifdef _WIN32
        ::_putenv_s(m_name.c_str(), v ? v->c_str() : ""); // an empty value removes the variable
#else
        if (v)
            ::setenv(m_name.c_str(), v->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
#endif
    }
    std::string m_name;
    std::optional<std::string> m_old;
};

inline std::wstring Wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

} // namespace testutil
