#pragma once
// Process-wide values shared by the entry point and the workflow.

#include "CvCommon/CvComn_Handle.h"

// The entry point chose silent mode.
extern bool g_bSilentRun;

// The single-instance semaphore while this launcher holds it.
extern CvCommon::Handle::UniqueHandle g_hInstanceSemaphore;
