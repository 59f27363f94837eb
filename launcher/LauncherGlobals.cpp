#include "LauncherGlobals.h"

bool g_bSilentRun = false;
CvCommon::Handle::UniqueHandle g_hInstanceSemaphore;
HWND g_hProgressWnd = nullptr;
std::wstring g_wstrLaunchArgs;
