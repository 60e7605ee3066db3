// Stands for the runtime DLL that Firebird's client kit puts beside fbclient.dll.
#include <windows.h>

extern "C" __declspec(dllexport) void ColliMarkClientLoaded()
{
    ::SetEnvironmentVariableW(L"COLLI_CLIENT_WITH_RUNTIME_RAN", L"1");
}
