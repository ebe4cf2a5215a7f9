#pragma once

// What the Windows-side test programs share: starting programs, reaching the pipe, files.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace wine_support {

// The directory this test program was started from (where the built executables lie).
std::wstring ProgramDirectory();
std::wstring DataDirectory();  // %ProgramData%\Orvanta
bool ReadWholeFile(const std::wstring& path, std::string& bytes);

// The bytes the helper log gained since `offset` (its size when a test began).
std::string HelperLogSince(size_t offset);
size_t HelperLogSize();
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);
bool AppendToFile(const std::wstring& path, const std::string& bytes);

// Puts the stand-in iphlpapi.dll and a scripted routing table beside a helper copy in `dir`
// (the prefix loads an OrvantaHelper.exe's iphlpapi.dll from beside it): two default routes,
// the lower metric through 192.168.1.1 on interface 7, whose own metric is 25.
void StageRoutingTable(const std::wstring& dir);
void SetInterfaceMetrics(const std::wstring& dir, const std::string& metrics);

// A started child process; ended (terminated if needed) when the object goes away. Given
// `outputPath`, its standard output goes to that file and its standard error to the same
// name with ".err" added.
class Child {
  public:
    explicit Child(const std::wstring& commandLine, const std::wstring& outputPath = L"");
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool started() const { return process_ != nullptr; }
    HANDLE process() const { return process_; }
    DWORD id() const { return id_; }
    // Waits for the exit at most `ms`; returns the exit code or STILL_ACTIVE.
    DWORD WaitExit(DWORD ms);

  private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// Polls until the helper's pipe can be opened (and closes that probe), at most `ms`.
bool WaitForPipe(DWORD ms);
// Opens the pipe with the client's rights, retrying while busy or absent, at most `ms`.
HANDLE OpenPipe(DWORD ms);
// Writes each piece (with a short gap between pieces so they arrive apart) and reads until
// the server closes the connection. Returns every byte received.
std::string Exchange(const std::vector<std::string>& pieces);

}  // namespace wine_support
