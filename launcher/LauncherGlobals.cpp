#include "LauncherGlobals.h"

bool g_bSilentRun = false;
CvCommon::Handle::UniqueHandle g_hInstanceSemaphore;
std::wstring g_wstrLaunchArgs;
