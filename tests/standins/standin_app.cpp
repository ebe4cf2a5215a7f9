// A do-nothing application that the tests copy under names such as Chrome.exe, so that real
// processes with those image names exist. It ends after a minute at the latest.
#include <windows.h>

int wmain() {
    Sleep(60000);
    return 0;
}
