#pragma once

// A minimal test harness for the Windows-side test programs that run under Wine.

#include <sstream>
#include <string>

namespace wine_check {

using TestFunction = void (*)();

struct Registrar {
    Registrar(const char* name, TestFunction function);
};

void Fail(const std::string& what, const char* file, int line);

// Runs the tests whose names contain `filter` (all when empty); prints one line per test and
// a closing "N passed, N failed". Returns the process exit code.
int RunAll(const std::string& filter);
// RunAll with the program's first argument (if any) followed by `suffix` as the filter.
int RunMain(int argc, wchar_t** argv, const std::string& suffix = "");

template <typename A, typename B>
void CheckEqual(const A& actual, const B& expected, const char* text, const char* file, int line) {
    if (!(actual == expected)) {
        std::ostringstream out;
        out << text << ": got [" << actual << "], expected [" << expected << "]";
        Fail(out.str(), file, line);
    }
}

}  // namespace wine_check

#define WINE_TEST(name)                                                  \
    static void name();                                                  \
    static const ::wine_check::Registrar name##_registrar(#name, &name); \
    static void name()

#define CHECK(condition)                                        \
    do {                                                        \
        if (!(condition))                                       \
            ::wine_check::Fail(#condition, __FILE__, __LINE__); \
    } while (0)

#define CHECK_EQ(actual, expected) \
    ::wine_check::CheckEqual((actual), (expected), #actual, __FILE__, __LINE__)
