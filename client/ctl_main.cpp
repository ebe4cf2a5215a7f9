// OrvantaCtl: sends one request to the Orvanta Helper and prints its reply.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "orvanta_client.h"
#include "orvanta_version.h"

namespace {

const char kUsage[] =
    "usage: OrvantaCtl [--wait-ms N] [--no-verify] COMMAND | --version | --help\n"
    "  ping | status | disconnect | splitstatus | splitforget\n"
    "  connect FILE        send the tunnel configuration in FILE\n"
    "  splitapps \"a.exe;b.exe\"\n"
    "  raw TEXT            send TEXT as bytes; escapes \\n \\r \\t \\0 \\\\ \\xHH\n"
    "--no-verify: skip the check that the OrvantaHelper service serves the pipe\n"
    "             (only for a helper started with --console during development)\n"
    "exit code: 0 OK/RUNNING/STOPPED or a split status line, 1 ERR reply, usage or unreadable\n"
    "           FILE, 2 helper not reachable, no reply\n"
    "           or the pipe served by a process that is not the helper (nothing sent)\n";

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int count =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(count > 0 ? count : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), count, nullptr, nullptr);
    return bytes;
}

// The system's text for a Win32 error, without its line end.
std::string SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 ? std::wstring(text, length) : L"";
    LocalFree(text);
    message.erase(message.find_last_not_of(L"\r\n .") + 1);
    return (message.empty() ? std::string() : ToUtf8(message) + " ") + "(error " +
           std::to_string(error) + ")";
}

// Every byte of the file, or the Win32 error that stopped the reading (0 when read).
DWORD ReadWholeFile(const std::wstring& path, std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD error = 0;
    char buffer[65536];
    for (DWORD count = 0;;) {
        if (!ReadFile(file, buffer, sizeof(buffer), &count, nullptr)) {
            error = GetLastError();
            break;
        }
        if (count == 0) {
            break;
        }
        bytes.append(buffer, count);
    }
    CloseHandle(file);
    return error;
}

int Usage(FILE* stream, int exitCode) {
    std::fputs(kUsage, stream);
    return exitCode;
}

// What BuildFromArguments found: a request, a usage error, or a failure it has told about.
enum class Arguments { Request, Usage, Failed };

// Builds the request bytes from the command words.
Arguments BuildFromArguments(int argc, wchar_t** argv, int first, std::string& request) {
    if (first >= argc) {
        return Arguments::Usage;
    }
    const std::string command = ToUtf8(argv[first]);
    const std::string argument = first + 1 < argc ? ToUtf8(argv[first + 1]) : std::string();
    if (command == wire::kPing || command == wire::kStatus || command == wire::kDisconnect ||
        command == wire::kSplitStatus || command == wire::kSplitForget) {
        request = orvanta::BuildRequest(command, "");
    } else if (command == wire::kSplitApps) {
        request = orvanta::BuildRequest(command, argument);
    } else if (command == wire::kConnect && first + 1 < argc) {
        std::string configuration;
        if (const DWORD error = ReadWholeFile(argv[first + 1], configuration); error != 0) {
            std::fprintf(stderr, "cannot read %s: %s\n", argument.c_str(),
                         SystemMessage(error).c_str());
            return Arguments::Failed;
        }
        request = orvanta::BuildConnectRequest(configuration);
    } else if (command == "raw" && first + 1 < argc) {
        if (!orvanta::UnescapeRaw(argument, request)) {
            std::fputs("malformed escape in raw text\n", stderr);
            return Arguments::Usage;
        }
    } else {
        return Arguments::Usage;
    }
    return Arguments::Request;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"--version") == 0) {
        std::puts(ORVANTA_VERSION_STRING);
        return 0;
    }
    if (argc == 2 && (std::wcscmp(argv[1], L"--help") == 0 || std::wcscmp(argv[1], L"-h") == 0 ||
                      std::wcscmp(argv[1], L"/?") == 0)) {
        return Usage(stdout, 0);
    }
    orvanta::ClientOptions options;
    int first = 1;
    for (;;) {
        if (first + 1 < argc && std::wcscmp(argv[first], L"--wait-ms") == 0) {
            options.waitMs = static_cast<uint32_t>(std::wcstoul(argv[first + 1], nullptr, 10));
            first += 2;
        } else if (first < argc && std::wcscmp(argv[first], L"--no-verify") == 0) {
            options.verifyServer = false;
            first += 1;
        } else {
            break;
        }
    }
    std::string request;
    switch (BuildFromArguments(argc, argv, first, request)) {
        case Arguments::Usage:
            return Usage(stderr, 1);
        case Arguments::Failed:
            return 1;
        case Arguments::Request:
            break;
    }
    const orvanta::ClientResult result = orvanta::SendRequest(request, options);
    switch (result.status) {
        case orvanta::ClientStatus::Replied:
            std::printf("%s\n", result.reply.c_str());
            return orvanta::ExitCodeForReply(result.reply);
        case orvanta::ClientStatus::NoReply:
            std::fprintf(stderr, "no reply from the helper (error %lu)\n",
                         static_cast<unsigned long>(result.error));
            return orvanta::kExitUnreachable;
        case orvanta::ClientStatus::Untrusted:
            std::fprintf(stderr,
                         "refusing to send: \\\\.\\pipe\\OrvantaHelper is served by process %lu, "
                         "which is not the OrvantaHelper service (use --no-verify only for a "
                         "helper you started with --console)\n",
                         static_cast<unsigned long>(result.serverProcessId));
            return orvanta::kExitUnreachable;
        default:
            std::fprintf(stderr,
                         "cannot reach the helper at \\\\.\\pipe\\OrvantaHelper (error %lu)\n",
                         static_cast<unsigned long>(result.error));
            return orvanta::kExitUnreachable;
    }
}
