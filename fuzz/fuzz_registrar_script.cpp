// Fuzz target: any bytes as a registration script, widened as a script resource is. A script that parses
// is written out in canonical form, which must parse back to the same script.
#include "platform/tarnel/regscript.h"
#include "platform/tarnel/widestr.h"

#include <cstdint>
#include <string_view>

using namespace tarnel::plat;
using namespace tarnel::reg;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text = WidenFileName(std::string_view(reinterpret_cast<const char*>(data), size));
    std::wstring expanded;
    if (!ExpandRegistrationScript(text, {{L"Module", L"/opt/it''s 100%/libtarnel.so"}}, expanded))
        return 0;
    std::vector<RegScriptRoot> roots;
    if (!ParseRegistrationScript(expanded, roots))
        return 0;
    const std::wstring formatted = FormatRegistrationScript(roots);
    std::vector<RegScriptRoot> again;
    if (!ParseRegistrationScript(formatted, again) || FormatRegistrationScript(again) != formatted)
        __builtin_trap();
    return 0;
}
