// Sleeps until it is terminated; copied under other names for process-table tests.
#include <windows.h>

int wmain() {
    for (;;) ::Sleep(INFINITE);
}
