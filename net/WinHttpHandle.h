#pragma once
// Owner of a WinHTTP handle (session, connection or request): the library's
// alias under the name net code uses.

#include "CvComn_Handle.h"

using UniqueWinHttpHandle = CvCommon::Handle::UniqueWinHttp;
