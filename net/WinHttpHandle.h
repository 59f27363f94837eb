#pragma once
// Owner of a WinHTTP handle (session, connection or request), in the shape of
// the other handle owners.

#include "CvCommon/CvComn_Handle.h"

#include <windows.h>
#include <winhttp.h>

struct WinHttpHandleTraits {
    using pointer = HINTERNET;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::WinHttpCloseHandle(h); }
};

using UniqueWinHttpHandle = CvCommon::Handle::UniqueAny<WinHttpHandleTraits>;
