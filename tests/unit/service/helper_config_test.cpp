// The serving process's configuration: defaults, the "--service" word, the
// write-once slot.

#include <gtest/gtest.h>

#include <vector>

#include "service/helper_config.h"
#include "service/write_once.h"

namespace velk {
namespace {

const std::filesystem::path kDefaultState = "/programdata/VELK VPN";

TEST(HelperConfig, DefaultsBesideTheExecutable) {
  HelperConfig c = resolve_helper_config(HelperOptions{}, std::filesystem::path("/opt/velk/velkvpn-helper.exe"),
                                         kDefaultState);
  EXPECT_EQ(c.socket_path, "\\\\.\\pipe\\velkvpn-helper");
  EXPECT_EQ(c.socket_path.size(), 23u);
  EXPECT_EQ(c.engine_path, std::filesystem::path("/opt/velk/velkvpn-engine.exe"));
  EXPECT_EQ(c.state_dir, kDefaultState);
}

TEST(HelperConfig, OptionsWin) {
  HelperOptions o;
  o.socket = "\\\\.\\pipe\\other";
  o.engine = "/elsewhere/engine.exe";
  o.state_dir = "/state";
  HelperConfig c = resolve_helper_config(o, std::filesystem::path("/opt/velk/velkvpn-helper.exe"), kDefaultState);
  EXPECT_EQ(c, (HelperConfig{"\\\\.\\pipe\\other", "/elsewhere/engine.exe", "/state"}));
}

TEST(HelperConfig, EngineStandsAloneWithoutAnExecutableDirectory) {
  for (const auto& exe : std::vector<std::optional<std::filesystem::path>>{std::nullopt, std::filesystem::path(""),
                                                                             std::filesystem::path("helper.exe")}) {
    HelperConfig c = resolve_helper_config(HelperOptions{}, exe, kDefaultState);
    EXPECT_EQ(c.engine_path, std::filesystem::path("velkvpn-engine.exe"));
  }
}

TEST(ServiceArgument, ExactWordAnywhere) {
  using Args = std::vector<std::u16string>;
  EXPECT_TRUE(has_service_argument(Args{u"helper.exe", u"--service"}));
  EXPECT_TRUE(has_service_argument(Args{u"helper.exe", u"--socket", u"x", u"--service", u"--recover"}));
  EXPECT_TRUE(has_service_argument(Args{u"--service"})) << "the program name counts too";
  EXPECT_FALSE(has_service_argument(Args{}));
  EXPECT_FALSE(has_service_argument(Args{u"helper.exe"}));
  EXPECT_FALSE(has_service_argument(Args{u"helper.exe", u"--services"}));
  EXPECT_FALSE(has_service_argument(Args{u"helper.exe", u"--service=1"}));
  EXPECT_FALSE(has_service_argument(Args{u"helper.exe", u"--Service"}));
  EXPECT_FALSE(has_service_argument(Args{u"helper.exe", u"-service"}));
  EXPECT_FALSE(has_service_argument(Args{u"helper.exe", u" --service"}));
  EXPECT_FALSE(has_service_argument(Args{u"helper.exe", std::u16string(u"--service\0", 10)}));
}

TEST(WriteOnce, FirstValueStays) {
  WriteOnce<HelperConfig> slot;
  EXPECT_EQ(slot.get(), nullptr);
  EXPECT_TRUE(slot.set(HelperConfig{"a", "e", "s"}));
  EXPECT_FALSE(slot.set(HelperConfig{"b", "f", "t"}));
  ASSERT_NE(slot.get(), nullptr);
  EXPECT_EQ(slot.get()->socket_path, "a");
}

}  // namespace
}  // namespace velk
