// Where the tunnel program is found.
#include <gtest/gtest.h>

#include "fresh_world.h"
#include "tunnel/locator.h"

namespace {

struct LocatorCase {
    const char* name;
    std::wstring modulePath;
    std::vector<std::wstring> existing;
    std::wstring directory;
    std::wstring found;
};

class LocatorTest : public FreshWorldTest, public ::testing::WithParamInterface<LocatorCase> {};

TEST_P(LocatorTest, FindsTheFirstCandidateThatExists) {
    W().modulePath = GetParam().modulePath;
    for (const auto& path : GetParam().existing) {
        W().files[path] = "";
    }
    EXPECT_EQ(GetModuleDirectory(), GetParam().directory);
    EXPECT_EQ(FindTunnelExe(), GetParam().found);
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, LocatorTest,
    ::testing::Values(
        LocatorCase{"AwgBeforeBeside",
                    L"D:\\My Tools\\helper.exe",
                    {L"D:\\My Tools\\awg\\amneziawg.exe", L"D:\\My Tools\\amneziawg.exe"},
                    L"D:\\My Tools",
                    L"D:\\My Tools\\awg\\amneziawg.exe"},
        LocatorCase{"OnlyBeside",
                    L"D:\\My Tools\\helper.exe",
                    {L"D:\\My Tools\\amneziawg.exe"},
                    L"D:\\My Tools",
                    L"D:\\My Tools\\amneziawg.exe"},
        LocatorCase{"Neither", L"D:\\My Tools\\helper.exe", {}, L"D:\\My Tools", L""},
        LocatorCase{
            "DriveRoot", L"C:\\app.exe", {L"C:\\amneziawg.exe"}, L"C:", L"C:\\amneziawg.exe"},
        LocatorCase{"ForwardSlashes",
                    L"C:/x/y/app.exe",
                    {L"C:/x/y\\awg\\amneziawg.exe"},
                    L"C:/x/y",
                    L"C:/x/y\\awg\\amneziawg.exe"},
        LocatorCase{
            "NoSeparator", L"app.exe", {L".\\awg\\amneziawg.exe"}, L".", L".\\awg\\amneziawg.exe"},
        LocatorCase{"PathUnreadable", L"", {L".\\amneziawg.exe"}, L".", L".\\amneziawg.exe"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
