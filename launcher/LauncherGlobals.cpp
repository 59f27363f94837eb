#include "LauncherGlobals.h"

bool g_bSilentRun = false;
CvCommon::Handle::UniqueHandle g_hInstanceSemaphore;
