#include "wine_check.h"

#include <cstdio>
#include <vector>

namespace wine_check {

namespace {

struct Test {
    const char* name;
    TestFunction function;
};

std::vector<Test>& Tests() {
    static std::vector<Test> tests;
    return tests;
}

int failuresInCurrentTest = 0;

}  // namespace

Registrar::Registrar(const char* name, TestFunction function) {
    Tests().push_back({name, function});
}

void Fail(const std::string& what, const char* file, int line) {
    ++failuresInCurrentTest;
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
}

int RunAll(const std::string& filter) {
    int passed = 0;
    int failed = 0;
    for (const Test& test : Tests()) {
        if (!filter.empty() && std::string(test.name).find(filter) == std::string::npos) {
            continue;
        }
        std::printf("[ RUN      ] %s\n", test.name);
        std::fflush(stdout);
        failuresInCurrentTest = 0;
        test.function();
        std::printf("[ %s ] %s\n", failuresInCurrentTest == 0 ? "      OK" : "  FAILED", test.name);
        std::fflush(stdout);
        (failuresInCurrentTest == 0 ? passed : failed)++;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}

int RunMain(int argc, wchar_t** argv, const std::string& suffix) {
    std::string filter;
    for (const wchar_t* c = argc > 1 ? argv[1] : L""; *c != L'\0'; ++c) {
        filter.push_back(static_cast<char>(*c));
    }
    return RunAll(filter.empty() ? filter : filter + suffix);
}

}  // namespace wine_check
