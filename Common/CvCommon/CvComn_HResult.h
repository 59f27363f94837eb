#pragma once
// Where an HRESULT is folded into a bool or a result code, its value is
// written to the debugger first, so that the cause of a failure stays visible.

#include <windows.h>

#include <cstddef>

namespace CvCommon {
namespace Error {

// The debugger line for a failed call: "<what> failed, hr=0x8007000E", cut to
// the buffer. Nothing here allocates.
void FormatHResultLine(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszWhat, HRESULT hr);

// SUCCEEDED(hr); a failure is first written to the debugger as above.
bool CheckHResult(HRESULT hr, const wchar_t* pszWhat);

} // namespace Error
} // namespace CvCommon
