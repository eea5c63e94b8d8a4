// Runs RemoveService without the single-instance mutex, so a test can remove
// the service while it runs (a console copy of the guard would be refused).
#include "ServiceInstaller.h"
#include "utils.h"

int wmain() {
    InitLog();
    RemoveService();
    return 0;
}
