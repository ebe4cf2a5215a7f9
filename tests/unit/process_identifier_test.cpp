// The program name of a process id.
#include "split/process_identifier.h"
#include "split_fixture.h"

namespace {

class ProcessIdentifierTest : public SplitFixture {};

TEST_F(ProcessIdentifierTest, ProcessNamesAreLowerCasedFileNames) {
    W().processImages = {{8, L"C:\\Program Files\\Foo\\FOO.EXE"},
                         {12, L"C:/Tools\\sub/App.EXE"},
                         {16, L"\u00DCBER.EXE"},
                         {0, L"C:\\idle.exe"},
                         {4, L"C:\\system.exe"}};
    EXPECT_EQ(ProcessImageName(8), L"foo.exe");
    EXPECT_EQ(ProcessImageName(12), L"app.exe");
    EXPECT_EQ(ProcessImageName(16), L"\u00DCber.exe");
    EXPECT_EQ(ProcessImageName(0), L"");
    EXPECT_EQ(ProcessImageName(4), L"");
    EXPECT_EQ(ProcessImageName(20), L"") << "a process that is gone";
}

}  // namespace
