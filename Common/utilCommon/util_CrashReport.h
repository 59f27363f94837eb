#pragma once
// Filing an error report with the system's error reporting.

#include <windows.h>

// Chooses the reporting method from the system version: wer.dll above major
// version 5, Faultrep.dll on 5.1 and 5.2, nothing otherwise. True when a
// report was submitted.
bool FileErrorReport(EXCEPTION_POINTERS* pExceptionInfo);
