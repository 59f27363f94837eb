// Times ComputeFileMd5 on one file: prints the digest, the bytes and the
// seconds spent inside the call (process start-up excluded).

#include "FileDigest.h"

#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2)
        return 2;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(argv[1], GetFileExInfoStandard, &data))
        return 3;
    const unsigned long long size =
        (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    std::wstring digest;
    const bool ok = ComputeFileMd5(argv[1], digest);
    ::QueryPerformanceCounter(&end);
    if (!ok)
        return 4;
    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
    std::printf("%ls %llu %.6f\n", digest.c_str(), size, seconds);
    return 0;
}
