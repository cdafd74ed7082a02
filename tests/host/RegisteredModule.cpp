// Every host test runs against a private registry in which the built module is registered, as
// `tarnel register` leaves it after installation; tests that need another registry make their own.
#include "RegistryTestUtil.h"

#include <memory>

namespace {

class RegisteredModule : public ::testing::Environment {
public:
    void SetUp() override {
        m_hive = std::make_unique<testutil::PrivateHive>();
        const std::string command =
            std::string(TARNEL_BINARY) + " register '" + TARNEL_MODULE + "' >/dev/null";
        ASSERT_EQ(::system(command.c_str()), 0) << command;
    }
    void TearDown() override { m_hive.reset(); }

private:
    std::unique_ptr<testutil::PrivateHive> m_hive;
};

::testing::Environment* const g_registered = ::testing::AddGlobalTestEnvironment(new RegisteredModule);

} // namespace
