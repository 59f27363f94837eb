// Imports the same KnownDLLs as the launcher and nothing else, and does
// nothing: what stand-ins it loads is what the system DLLs load on their own.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <winsock2.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    // Referenced, never called: each keeps its DLL in the import table.
    volatile bool bNever = false;
    if (bNever) {
        ::RegCloseKey(nullptr);
        ::GetStockObject(0);
        ::CoUninitialize();
        ::SysFreeString(nullptr);
        ::RpcStringFreeW(nullptr);
        ::DragFinish(nullptr);
        ::PathFileExistsW(nullptr);
        ::GetDesktopWindow();
        ::WSACleanup();
    }
    return 0;
}
