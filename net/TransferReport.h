#pragma once
// How the request operations turn the end of a transfer into a debugger line
// and a ResultCode: the same words and codes for a submitted request and a
// download.

#include "ResultCode.h"

#include <windows.h>

namespace TransferReport {

// The platform error a transfer ended with, named; returns its code.
ResultCode TransferError(DWORD dwError);

// A body that did not arrive whole: how much came of how much, and why.
ResultCode IncompleteBody(unsigned long long ullReceived, DWORD dwAnnounced, DWORD dwError);

// A response status the operation does not deliver: 202 (Result::kAccepted),
// a status field that holds 12029 (Result::kTimedOut), or any other
// (Result::kUnexpectedStatus).
ResultCode UndeliveredStatus(DWORD dwStatus);

} // namespace TransferReport
