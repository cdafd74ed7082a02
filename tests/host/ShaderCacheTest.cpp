// The prepared shaders: made at installation beside the module, read by every later run, also where Mesa
// can keep no cache of its own (GNOME's sandbox has no home); a person's own choice of cache is left alone.
// The installation is a copy of the command and the module in a folder of the test's own.
#include "Command.h"
#include "TestUtil.h"

#include <fstream>
#include <map>
#include <sstream>

using testutil::RunCommand;
using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

struct Installation {
    TempDir dir;
    std::string tarnel;
    Installation() {
        fs::create_directories(dir / "bin");
        fs::create_directories(dir / "lib");
        fs::create_directories(dir / "tmp");
        fs::copy_file(TARNEL_BINARY, dir / "bin/tarnel");
        fs::copy_file(TARNEL_MODULE, dir / "lib/libtarnel.so");
        fs::copy_file(fs::path(TARNEL_MODULE).parent_path() / "libtarnelmesh.so",
                      dir / "lib/libtarnelmesh.so");
        tarnel = dir / "bin/tarnel";
    }
    // Runs the copy as GNOME's sandbox would: no home, no cache folder, temporary files in tmp/.
    testutil::CommandResult Sandboxed(const std::string& args, const std::string& env = "") {
        return RunCommand(
            "env -u XDG_CACHE_HOME -u XDG_RUNTIME_DIR -u MESA_SHADER_CACHE_DIR HOME=/nonexistent "
            "TMPDIR=" +
            (dir / "tmp") + " " + env + " " + tarnel + " " + args + " 2>&1");
    }
};

std::map<std::string, std::string> Variables(const std::string& text) {
    std::map<std::string, std::string> vars;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (size_t eq = line.find('='); eq != std::string::npos)
            vars[line.substr(0, eq)] = line.substr(eq + 1);
    return vars;
}

TEST(ShaderCache, PreparedShadersAreReadWhereMesaKeepsNoCache) {
    Installation inst;
    testutil::CommandResult r = RunCommand(inst.tarnel + " shader-cache --prepare 2>&1");
    if (r.status != 0 && r.out.find("could not be rendered") != std::string::npos)
        GTEST_SKIP() << "no off-screen OpenGL here: " << r.out;
    ASSERT_EQ(r.status, 0) << r.out;
    const fs::path prepared = inst.dir / "lib/tarnel/shader-cache";
    ASSERT_GT(fs::file_size(prepared / "shaders.foz"), 0u);
    ASSERT_TRUE(fs::exists(prepared / "shaders_idx.foz"));

    // Mesa names the database relative to CACHE_DIR/mesa_shader_cache_sf/<build>/<driver>.
    r = inst.Sandboxed("shader-cache --where");
    std::map<std::string, std::string> vars = Variables(r.out);
    ASSERT_EQ(vars["MESA_DISK_CACHE_SINGLE_FILE"], "1") << r.out;
    const fs::path cacheDir = vars["MESA_SHADER_CACHE_DIR"];
    EXPECT_EQ(cacheDir.parent_path(), fs::canonical(inst.dir / "tmp")) << r.out;
    const fs::path database =
        (cacheDir / "mesa_shader_cache_sf/build/driver" / vars["MESA_DISK_CACHE_READ_ONLY_FOZ_DBS"])
            .lexically_normal();
    EXPECT_EQ(database.string() + ".foz", fs::canonical(prepared / "shaders.foz").string()) << r.out;

    // A thumbnail leaves the temporary folder as it found it: the sandbox's /tmp goes back to its owner.
    std::ofstream(inst.dir / "mesh.stl")
        << "solid s\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\n"
           "vertex 0 1 0\nendloop\nendfacet\nendsolid s\n";
    r = inst.Sandboxed("thumbnail --module " + (inst.dir / "lib/libtarnel.so") + " " +
                       (inst.dir / "mesh.stl") + " " + (inst.dir / "mesh.png"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fs::is_empty(inst.dir / "tmp"));

    // A person's own choice of cache stays as it is.
    r = inst.Sandboxed("shader-cache --where", "MESA_SHADER_CACHE_DIR=/somewhere");
    vars = Variables(r.out);
    EXPECT_EQ(vars["MESA_SHADER_CACHE_DIR"], "/somewhere");
    EXPECT_EQ(vars["MESA_DISK_CACHE_READ_ONLY_FOZ_DBS"], "");

    EXPECT_EQ(RunCommand(inst.tarnel + " shader-cache --remove >/dev/null").status, 0);
    EXPECT_FALSE(fs::exists(inst.dir / "lib/tarnel"));
    r = inst.Sandboxed("shader-cache --where");
    EXPECT_EQ(Variables(r.out)["MESA_DISK_CACHE_READ_ONLY_FOZ_DBS"], "") << "nothing prepared, nothing named";
    EXPECT_EQ(RunCommand(inst.tarnel + " shader-cache 2>/dev/null").status, 2);
}

} // namespace
