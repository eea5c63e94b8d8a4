// Stands for a library someone planted beside a program.
extern "C" __declspec(dllexport) int ZunaPlanted() { return 1; }
