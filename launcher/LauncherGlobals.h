#pragma once
// Process-wide values shared by the entry point and the workflow.

#include "CvComn_Handle.h"

#include <windows.h>

#include <string>

// The entry point chose silent mode.
extern bool g_bSilentRun;

// The single-instance semaphore while this launcher holds it.
extern CvCommon::Handle::UniqueHandle g_hInstanceSemaphore;

// The setup's argument text: empty, or "-s" after a "-s" argument (any case);
// "-s" also switches progress messages off.
extern std::wstring g_wstrLaunchArgs;
