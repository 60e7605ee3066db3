// Stands for a DLL that someone left under the client's name in the folder an
// operator works in. Loading it would run this, which leaves a mark.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        ::SetEnvironmentVariableW(L"COLLI_PLANTED_CLIENT_RAN", L"1");
    return TRUE;
}
