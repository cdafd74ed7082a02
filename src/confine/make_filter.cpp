// Writes the children's system-call filter, built with libseccomp, as a header of instructions: run at
// build time, so that no tarnel process builds it, or loads libseccomp, at run time.
// Usage: make_filter OUTPUT.h
#include "confine/Confine.h"
#include "confine/Private.h"

#include <linux/filter.h>

#include <cstdio>
#include <string>

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text)
        out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return out + "\"";
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_filter OUTPUT.h\n");
        return 2;
    }
    using tarnel::confine::kAnyChild;
    tarnel::confine::PreparedFilter filter;
    if (tarnel::confine::BuildFilter(kAnyChild, filter)) {
        // The child's id stands only where a comparison asks for it; anywhere else the program is not taken.
        for (const sock_filter& op : filter.program)
            if (op.k == uint32_t(kAnyChild)) {
                if (op.code == (BPF_JMP | BPF_JEQ | BPF_K)) {
                    filter.selfAt.push_back(size_t(&op - filter.program.data()));
                } else {
                    filter.problem = "the child's place in the program is not a comparison";
                    break;
                }
            }
        if (filter.problem.empty() && filter.selfAt.empty())
            filter.problem = "the program names no child";
        if (!filter.problem.empty())
            filter.program.clear(), filter.selfAt.clear();
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(
        out, "// Made by make_filter at build time: the children's system-call filter.\n#pragma once\n\n"
             "#include <linux/filter.h>\n\n#include <cstddef>\n\nnamespace tarnel::confine::generated {\n\n");
    std::fprintf(out,
                 "inline constexpr size_t kProgramLength = %zu;\ninline const sock_filter kProgram[] = {\n",
                 filter.program.size());
    for (const sock_filter& op : filter.program)
        std::fprintf(out, "    {0x%04x, %u, %u, 0x%08x},\n", op.code, op.jt, op.jf, op.k);
    if (filter.program.empty())
        std::fprintf(out, "    {0, 0, 0, 0},\n");
    std::fprintf(out, "};\ninline constexpr size_t kSelfAtLength = %zu;\ninline const size_t kSelfAt[] = {",
                 filter.selfAt.size());
    for (size_t at : filter.selfAt)
        std::fprintf(out, "%zu, ", at);
    std::fprintf(out, "%s};\n", filter.selfAt.empty() ? "0" : "");
    std::fprintf(out, "inline const char kProblem[] = %s;\ninline const char kDetail[] = %s;\n\n",
                 Quoted(filter.problem).c_str(), Quoted(filter.detail).c_str());
    std::fprintf(out, "} // namespace tarnel::confine::generated\n");
    return std::fclose(out) == 0 ? 0 : 1;
}
