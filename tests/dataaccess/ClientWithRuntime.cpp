// A client library that needs a DLL of its own beside it, as the real one
// needs its runtime; it has none of the client calls.
#include <windows.h>

extern "C" __declspec(dllimport) void ColliMarkClientLoaded();

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        ColliMarkClientLoaded();
    return TRUE;
}
