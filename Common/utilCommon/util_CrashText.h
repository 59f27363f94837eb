#pragma once
// Bounded text helpers of the crash handler: nothing here allocates, so they
// stay usable while the process is failing.

#include "CvComn_BoundedFormat.h"

#include <cstddef>

namespace CrashText {

using CvCommon::String::FormatTruncated;
using CvCommon::String::FormatWhole;

// The part of a path after its last separator.
const wchar_t* FileNamePart(const wchar_t* pszPath);

} // namespace CrashText
