// A do-nothing application that the tests copy under names such as Chrome.exe, so that real
// processes with those image names exist. Given a file name, it writes its process id there
// (for scripts that cannot learn it otherwise). It ends after a minute at the latest.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc > 1) {
        if (FILE* file = _wfopen(argv[1], L"w")) {
            std::fprintf(file, "%lu\n", GetCurrentProcessId());
            std::fclose(file);
        }
    }
    Sleep(60000);
    return 0;
}
