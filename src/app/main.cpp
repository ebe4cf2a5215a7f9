#include <string>
#include <vector>

#include "app/entry.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> arguments(argv, argv + argc);
    return HelperMain(arguments);
}
