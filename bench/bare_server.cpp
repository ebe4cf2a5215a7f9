// The baseline of the benchmark: a pipe server that follows the helper's protocol and nothing
// else. One instance at a time, with the helper's name and security, made anew for each client:
// create, wait for a client, read to the line feed, reply "OK", flush, disconnect, close.
#include <windows.h>
#include <sddl.h>

int wmain() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)", SDDL_REVISION_1, &descriptor, nullptr);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    for (;;) {
        HANDLE pipe = CreateNamedPipeW(
            L"\\\\.\\pipe\\OrvantaHelper", PIPE_ACCESS_DUPLEX,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
            PIPE_UNLIMITED_INSTANCES, 8192, 8192, 0, &attributes);
        if (pipe == INVALID_HANDLE_VALUE) {
            return 1;
        }
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            char buffer[8192];
            DWORD count = 0;
            bool lineEnded = false;
            while (!lineEnded && ReadFile(pipe, buffer, sizeof(buffer), &count, nullptr) &&
                   count > 0) {
                lineEnded = memchr(buffer, '\n', count) != nullptr;
            }
            WriteFile(pipe, "OK\n", 3, &count, nullptr);
            FlushFileBuffers(pipe);
            DisconnectNamedPipe(pipe);
        }
        CloseHandle(pipe);
    }
}
