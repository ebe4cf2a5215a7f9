// Takes a read-write-handle oplock on a file, as any user who can read it may, and never
// acknowledges its break: every other open with data access then waits until this program ends.
// PowerShell cannot ask for an oplock, so check_oplocks.ps1 runs this as a standard user.
//
// usage: oplock_holder.exe FILE STATUS_FILE SECONDS
// Writes "granted" (or "refused <error>") to STATUS_FILE, then holds the oplock for SECONDS
// (or until killed), noting in STATUS_FILE when a break was asked for.
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <string>

namespace {

void Note(const wchar_t* statusFile, const std::string& text) {
    HANDLE file = CreateFileW(statusFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        const std::string line = text + "\r\n";
        DWORD written = 0;
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(file);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fputs("usage: oplock_holder FILE STATUS_FILE SECONDS\n", stderr);
        return 2;
    }
    const wchar_t* statusFile = argv[2];
    const DWORD holdMs = static_cast<DWORD>(_wtoi(argv[3])) * 1000;
    // Read access only, sharing everything: the oplock asks for nothing more than a reader has.
    HANDLE file =
        CreateFileW(argv[1], FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED | FILE_FLAG_BACKUP_SEMANTICS, nullptr);  // a folder too
    if (file == INVALID_HANDLE_VALUE) {
        Note(statusFile, "refused open " + std::to_string(GetLastError()));
        return 1;
    }
    REQUEST_OPLOCK_INPUT_BUFFER input{};
    input.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
    input.StructureLength = sizeof(input);
    input.RequestedOplockLevel =
        OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_HANDLE | OPLOCK_LEVEL_CACHE_WRITE;
    input.Flags = REQUEST_OPLOCK_INPUT_FLAG_REQUEST;
    REQUEST_OPLOCK_OUTPUT_BUFFER output{};
    output.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
    output.StructureLength = sizeof(output);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Granted: the request stays pending until the oplock breaks.
    if (DeviceIoControl(file, FSCTL_REQUEST_OPLOCK, &input, sizeof(input), &output, sizeof(output),
                        nullptr, &overlapped) ||
        GetLastError() != ERROR_IO_PENDING) {
        Note(statusFile, "refused oplock " + std::to_string(GetLastError()));
        return 1;
    }
    Note(statusFile, "granted");
    const ULONGLONG end = GetTickCount64() + holdMs;
    if (WaitForSingleObject(overlapped.hEvent, holdMs) == WAIT_OBJECT_0) {
        Note(statusFile, "break asked for; not acknowledged");
        const ULONGLONG now = GetTickCount64();
        Sleep(now < end ? static_cast<DWORD>(end - now) : 0);  // the other opener waits on
    }
    CloseHandle(file);  // the oplock goes with the handle
    return 0;
}
