// `tarnel register`, `tarnel unregister` and `tarnel registry`, run as a person or an installer runs them.
#include "Command.h"
#include "RegistryTestUtil.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <array>

using testutil::PrivateHive;

namespace {

using Result = testutil::CommandResult;

Result Tarnel(const std::string& args) {
    return testutil::RunCommand(std::string(TARNEL_BINARY) + " " + args);
}

bool Has(const Result& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
}

const char kHandlerKey[] = "[HKEY_CLASSES_ROOT\\.stl\\shellex\\{BB2E617C-0920-11d1-9A0B-00C04FC2D6C1}]\n"
                           "@=\"{3D7A91C2-58E4-4B1F-A2C6-7E90B41D5F38}\"\n";

TEST(RegisterCommand, RegistersAndUnregistersTheBuiltModule) {
    PrivateHive hive;
    Result r = Tarnel("register");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "DllRegisterServer -> S_OK (0x00000000)\n");
    r = Tarnel("registry dump .stl");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r, "Windows Registry Editor Version 5.00\n")) << r.out;
    EXPECT_TRUE(Has(r, kHandlerKey)) << r.out;
    EXPECT_TRUE(Has(r, "\"Treatment\"=dword:00000001\n")) << r.out;
    r = Tarnel("registry dump 'CLSID\\{3D7A91C2-58E4-4B1F-A2C6-7E90B41D5F38}\\InprocServer32'");
    EXPECT_TRUE(Has(r, "@=\"" + std::string(TARNEL_MODULE) + "\"\n")) << r.out;
    EXPECT_EQ(Tarnel("registry dump --system .stl 2>&1").status, 1) << "nothing system-wide";

    r = Tarnel("unregister " + std::string(TARNEL_MODULE));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "DllUnregisterServer -> S_OK (0x00000000)\n");
    EXPECT_FALSE(Has(Tarnel("registry dump .stl"), "shellex")) << "the handler is gone";
}

TEST(RegisterCommand, SystemWideAndFailures) {
    PrivateHive hive;
    EXPECT_EQ(Tarnel("register --system").status, 0);
    EXPECT_TRUE(Has(Tarnel("registry dump --system .stl"), "[HKEY_LOCAL_MACHINE\\Software\\Classes\\.stl]"));
    EXPECT_EQ(Tarnel("registry dump --user .stl 2>/dev/null").status, 1);
    EXPECT_EQ(Tarnel("unregister --system").status, 0);

    ASSERT_EQ(::chmod(hive.File().c_str(), 0444), 0);
    Result r = Tarnel("register");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "DllRegisterServer -> 0x80070005\n");
    r = Tarnel("register " + (hive.Dir() / "missing.so") + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r, "cannot load")) << r.out;

    EXPECT_EQ(Tarnel("register a b 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("register --bogus 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("registry 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("registry bogus 2>/dev/null").status, 2);
    EXPECT_TRUE(Has(Tarnel("registry where"), "user: " + hive.File() + "\n"));
}

} // namespace
