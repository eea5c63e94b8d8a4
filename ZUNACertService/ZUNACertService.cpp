#include <windows.h>
#include <tchar.h>

#include "Main.h"

int _tmain(int argc, TCHAR* argv[], TCHAR* envp[]) {
    (void)envp;
    return GuardMain(argc, argv);
}
