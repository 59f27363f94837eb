#include "FileDigest.h"

#include "CvComn_Handle.h"

#include <windows.h>

#include <openssl/md5.h>

#include <utility>

namespace {

// The digest streams the file in chunks of this many bytes.
constexpr DWORD kChunkBytes = 4048;

} // namespace

bool ComputeFileMd5(const std::wstring& wstrPath, std::wstring& wstrDigest,
                    CvCommon::Handle::UniqueHandle* pHeld) {
    CvCommon::Handle::UniqueHandle file(::CreateFileW(wstrPath.c_str(), GENERIC_READ,
                                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return false;

    MD5_CTX context;
    MD5_Init(&context);
    unsigned char buffer[kChunkBytes];
    for (;;) {
        DWORD dwRead = 0;
        // A failing read is not the end of the file: no digest then.
        if (!::ReadFile(file.get(), buffer, kChunkBytes, &dwRead, nullptr))
            return false;
        if (dwRead == 0)
            break;
        MD5_Update(&context, buffer, dwRead);
    }
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5_Final(digest, &context);

    static const wchar_t kHex[] = L"0123456789abcdef";
    for (unsigned char byte : digest) {
        wstrDigest += kHex[byte >> 4];
        wstrDigest += kHex[byte & 0xF];
    }
    if (pHeld)
        *pHeld = std::move(file);
    return true;
}
