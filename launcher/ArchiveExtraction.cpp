#include "ArchiveExtraction.h"

#include "CvComn_BoundedFormat.h"
#include "CvComn_HResult.h"
#include "CvComn_Handle.h"
#include "Util_File.h"
#include "Util_Shell.h"
#include "Util_String.h"

#include <minizip/unzip.h>

#include <oleauto.h>

#include <cwctype>
#include <vector>

namespace {

// {13709620-C279-11CE-A49E-444553540000}: the shell's automation object.
const CLSID kClsidShell = {
    0x13709620, 0xC279, 0x11CE, {0xA4, 0x9E, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// In-process server and handler, local and remote server.
constexpr DWORD kShellClassContext = 0x17;
// No progress window, no confirmations, no confirmation for new folders, no
// error dialogs.
constexpr LONG kCopyOptions = 0x614;
// How long the shell may take to place the copied items.
constexpr DWORD kCopyConfirmTimeoutMs = 60000;
constexpr DWORD kCopyConfirmPollMs = 100;
constexpr DWORD kCopyChunkBytes = 64 * 1024;

using CvCommon::Handle::UniqueBstr;
using CvCommon::Handle::UniqueCoInit;
using CvCommon::Handle::UniqueCom;
using CvCommon::Handle::UniqueVariant;

// The shell's folder object of a path; S_FALSE with no object when the shell
// cannot show the path as a folder.
HRESULT ShellFolder(IShellDispatch* pShell, const std::wstring& wstrPath, Folder** ppFolder) {
    UniqueVariant path;
    path->vt = VT_BSTR;
    path->bstrVal = ::SysAllocString(wstrPath.c_str());
    if (!path->bstrVal)
        return E_OUTOFMEMORY;
    return pShell->NameSpace(path.get(), ppFolder);
}

bool PathExists(const std::wstring& wstrPath) {
    return ::GetFileAttributesW(wstrPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring LastComponent(const std::wstring& wstrPath) {
    const size_t nSlash = wstrPath.find_last_of(L"\\/");
    return nSlash == std::wstring::npos ? wstrPath : wstrPath.substr(nSlash + 1);
}

// The shell may return from CopyHere before the copy has finished: wait,
// bounded, until every top-level item of the archive is in the destination.
HRESULT ConfirmCopied(FolderItems* pItems, const std::wstring& wstrDestination) {
    long nCount = 0;
    HRESULT hr = pItems->get_Count(&nCount);
    if (FAILED(hr))
        return hr;
    std::vector<std::wstring> expected;
    for (long i = 0; i < nCount; ++i) {
        UniqueVariant index;
        index->vt = VT_I4;
        index->lVal = i;
        UniqueCom<FolderItem> item;
        hr = pItems->Item(index.get(), item.put());
        if (FAILED(hr) || !item)
            return FAILED(hr) ? hr : E_POINTER;
        UniqueBstr path;
        hr = item.get()->get_Path(path.put());
        if (FAILED(hr))
            return hr;
        expected.push_back(wstrDestination + L"\\" + LastComponent(path ? path.get() : L""));
    }
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        bool bAll = true;
        for (const std::wstring& wstrPath : expected)
            bAll = bAll && PathExists(wstrPath);
        if (bAll)
            return S_OK;
        if (::GetTickCount() - dwStart >= kCopyConfirmTimeoutMs)
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        ::Sleep(kCopyConfirmPollMs);
    }
}

// 0 when copied; bNoFolder reports that the shell gave no folder object for
// the archive itself.
HRESULT ExtractWithShell(const std::wstring& wstrZipPath, const std::wstring& wstrDestination,
                         bool& bNoFolder) {
    bNoFolder = false;
    UniqueCom<IShellDispatch> shell;
    HRESULT hr = Util::CreateShellDispatch(kClsidShell, nullptr, kShellClassContext, shell.put());
    if (FAILED(hr))
        return hr;
    if (!shell)
        return E_POINTER;

    UniqueCom<Folder> zipFolder;
    hr = ShellFolder(shell.get(), wstrZipPath, zipFolder.put());
    if (FAILED(hr))
        return hr;
    if (!zipFolder) {
        bNoFolder = true;
        return E_POINTER;
    }
    UniqueCom<Folder> destinationFolder;
    hr = ShellFolder(shell.get(), wstrDestination, destinationFolder.put());
    if (FAILED(hr))
        return hr;
    if (!destinationFolder)
        return E_POINTER;

    UniqueCom<FolderItems> items;
    hr = zipFolder.get()->Items(items.put());
    if (FAILED(hr))
        return hr;
    if (!items)
        return E_POINTER;

    UniqueVariant itemsArg;
    itemsArg->vt = VT_DISPATCH;
    itemsArg->pdispVal = items.get();
    items.get()->AddRef(); // the variant owns a reference of its own
    UniqueVariant options;
    options->vt = VT_I4;
    options->lVal = kCopyOptions;
    hr = destinationFolder.get()->CopyHere(itemsArg.get(), options.get());
    if (FAILED(hr))
        return hr;
    return ConfirmCopied(items.get(), wstrDestination);
}

// minizip reads the archive through these, so that wide paths work.
voidpf ZCALLBACK OpenArchive(voidpf, const void* pFileName, int nMode) {
    if ((nMode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    HANDLE hFile = ::CreateFileW(static_cast<const wchar_t*>(pFileName), GENERIC_READ,
                                 FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    return hFile == INVALID_HANDLE_VALUE ? nullptr : hFile;
}

uLong ZCALLBACK ReadArchive(voidpf, voidpf pStream, void* pBuffer, uLong ulSize) {
    DWORD dwRead = 0;
    if (!::ReadFile(pStream, pBuffer, ulSize, &dwRead, nullptr))
        return 0;
    return dwRead;
}

uLong ZCALLBACK WriteArchive(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T ZCALLBACK TellArchive(voidpf, voidpf pStream) {
    LARGE_INTEGER zero = {}, position = {};
    if (!::SetFilePointerEx(pStream, zero, &position, FILE_CURRENT))
        return static_cast<ZPOS64_T>(-1);
    return static_cast<ZPOS64_T>(position.QuadPart);
}

long ZCALLBACK SeekArchive(voidpf, voidpf pStream, ZPOS64_T offset, int nOrigin) {
    DWORD dwMethod = FILE_BEGIN;
    if (nOrigin == ZLIB_FILEFUNC_SEEK_CUR)
        dwMethod = FILE_CURRENT;
    else if (nOrigin == ZLIB_FILEFUNC_SEEK_END)
        dwMethod = FILE_END;
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(pStream, distance, nullptr, dwMethod) ? 0 : -1;
}

int ZCALLBACK CloseArchive(voidpf, voidpf pStream) {
    return ::CloseHandle(pStream) ? 0 : -1;
}

int ZCALLBACK ArchiveError(voidpf, voidpf) {
    return 0;
}

struct UnzipTraits {
    using pointer = unzFile;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer p) noexcept { return p != nullptr; }
    static void Close(pointer p) noexcept { unzClose(p); }
};
using UniqueUnzip = CvCommon::Handle::UniqueAny<UnzipTraits>;

// The current entry's name, decoded (UTF-8 when the entry says so, else the
// original PC code page 437).
bool CurrentEntryName(unzFile zip, std::wstring& wstrName) {
    unz_file_info64 info = {};
    char szName[1024] = {};
    if (unzGetCurrentFileInfo64(zip, &info, szName, sizeof(szName) - 1, nullptr, 0, nullptr, 0) !=
        UNZ_OK)
        return false;
    // A name that did not fit is refused rather than cut.
    if (info.size_filename >= sizeof(szName) - 1)
        return false;
    const UINT uCodePage = (info.flag & (1u << 11)) ? CP_UTF8 : 437;
    return Util::MultiByteToWide(std::string(szName, info.size_filename), wstrName, uCodePage);
}

HRESULT LastErrorResult() {
    const DWORD dwError = ::GetLastError();
    return HRESULT_FROM_WIN32(dwError ? dwError : ERROR_GEN_FAILURE);
}

// The bound on what one archive may unpack to, whatever room the volume has.
#ifndef LAUNCHER_ARCHIVE_MAX_BYTES
#define LAUNCHER_ARCHIVE_MAX_BYTES (4ULL << 30)
#endif
constexpr ZPOS64_T kArchiveMaxBytes = LAUNCHER_ARCHIVE_MAX_BYTES;
constexpr ZPOS64_T kArchiveMaxEntries = 10000;

HRESULT Refused(const wchar_t* pszWhy) {
    CvCommon::String::DebugPrint(L"archive refused before unpacking: %ls", pszWhy);
    return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
}

// Opens the archive and checks, from its central directory and before anything
// is written, every entry's name, the number of entries and the sum of their
// declared sizes against the bound and the destination volume's free space.
HRESULT CheckArchive(const std::wstring& wstrZipPath, const std::wstring& wstrDestination,
                     UniqueUnzip& zip, std::vector<std::wstring>& paths) {
    zlib_filefunc64_def functions = {OpenArchive, ReadArchive,  WriteArchive, TellArchive,
                                     SeekArchive, CloseArchive, ArchiveError, nullptr};
    zip.reset(unzOpen2_64(wstrZipPath.c_str(), &functions));
    if (!zip)
        return PathExists(wstrZipPath) ? HRESULT_FROM_WIN32(ERROR_INVALID_DATA)
                                       : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    unz_global_info64 global = {};
    if (unzGetGlobalInfo64(zip.get(), &global) != UNZ_OK)
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    if (global.number_entry > kArchiveMaxEntries)
        return Refused(L"too many entries");
    ZPOS64_T ullBound = kArchiveMaxBytes;
    ULARGE_INTEGER freeBytes = {};
    std::wstring wstrVolumePath = wstrDestination;
    while (!wstrVolumePath.empty() && !PathExists(wstrVolumePath)) {
        const size_t nSlash = wstrVolumePath.find_last_of(L"\\/");
        wstrVolumePath.resize(nSlash == std::wstring::npos ? 0 : nSlash);
    }
    if (!wstrVolumePath.empty() &&
        ::GetDiskFreeSpaceExW(wstrVolumePath.c_str(), &freeBytes, nullptr, nullptr) &&
        freeBytes.QuadPart < ullBound)
        ullBound = freeBytes.QuadPart;

    ZPOS64_T ullTotal = 0;
    for (int nStatus = unzGoToFirstFile(zip.get()); nStatus == UNZ_OK;
         nStatus = unzGoToNextFile(zip.get())) {
        if (paths.size() >= kArchiveMaxEntries)
            return Refused(L"too many entries");
        std::wstring wstrName;
        unz_file_info64 info = {};
        if (!CurrentEntryName(zip.get(), wstrName) ||
            unzGetCurrentFileInfo64(zip.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        if (info.uncompressed_size > ullBound - ullTotal)
            return Refused(L"entries unpack to more than the bound or the free space");
        ullTotal += info.uncompressed_size;
        const std::wstring wstrPath = SafeArchiveEntryPath(wstrName);
        if (wstrPath.empty())
            return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
        paths.push_back(wstrPath);
    }
    if (paths.empty())
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    return S_OK;
}

// Writes the current entry to wstrTarget. The bytes written must be exactly
// the entry's announced size with its announced CRC: minizip checks the CRC
// only when the data runs to its announced end, so an entry whose data ends
// early (or decodes short) would otherwise pass. A failed entry leaves no file.
HRESULT WriteCurrentEntry(unzFile zip, const std::wstring& wstrTarget) {
    unz_file_info64 info = {};
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK ||
        unzOpenCurrentFile(zip) != UNZ_OK)
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    CvCommon::Handle::UniqueHandle file(::CreateFileW(wstrTarget.c_str(), GENERIC_WRITE, 0, nullptr,
                                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                                      nullptr));
    if (!file) {
        const HRESULT hr = LastErrorResult();
        unzCloseCurrentFile(zip);
        return hr;
    }
    std::vector<char> buffer(kCopyChunkBytes);
    HRESULT hr = S_OK;
    ZPOS64_T ullWritten = 0;
    uLong ulCrc = crc32(0L, Z_NULL, 0);
    for (;;) {
        const int nRead = unzReadCurrentFile(zip, buffer.data(), kCopyChunkBytes);
        if (nRead == 0)
            break;
        if (nRead < 0) {
            hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
            break;
        }
        // The declared sizes were held to the bound before anything was
        // written; an entry that inflates past its own declared size is refused
        // here, so a lying header cannot get past the bound either.
        if (static_cast<ZPOS64_T>(nRead) > info.uncompressed_size - ullWritten) {
            CvCommon::String::DebugPrint(
                L"archive entry inflates past its declared size, unpack refused");
            hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
            break;
        }
        DWORD dwWritten = 0;
        if (!::WriteFile(file.get(), buffer.data(), static_cast<DWORD>(nRead), &dwWritten,
                         nullptr) ||
            dwWritten != static_cast<DWORD>(nRead)) {
            hr = LastErrorResult();
            break;
        }
        ulCrc =
            crc32(ulCrc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(nRead));
        ullWritten += static_cast<ZPOS64_T>(nRead);
    }
    // Closing the entry checks its CRC where minizip can.
    if (unzCloseCurrentFile(zip) != UNZ_OK && SUCCEEDED(hr))
        hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    if (SUCCEEDED(hr) && (ullWritten != info.uncompressed_size || ulCrc != info.crc))
        hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    if (SUCCEEDED(hr) && !::CloseHandle(file.release()))
        hr = LastErrorResult();
    if (FAILED(hr)) {
        file.reset();
        ::DeleteFileW(wstrTarget.c_str());
    }
    return hr;
}

} // namespace

HRESULT ExtractArchiveDirectly(const std::wstring& wstrZipPath,
                               const std::wstring& wstrDestination) {
    UniqueUnzip zip;
    std::vector<std::wstring> paths;
    const HRESULT hrCheck = CheckArchive(wstrZipPath, wstrDestination, zip, paths);
    if (FAILED(hrCheck))
        return hrCheck;

    size_t nIndex = 0;
    for (int nStatus = unzGoToFirstFile(zip.get()); nStatus == UNZ_OK && nIndex < paths.size();
         nStatus = unzGoToNextFile(zip.get()), ++nIndex) {
        const std::wstring wstrTarget = wstrDestination + L"\\" + paths[nIndex];
        const bool bFolder = wstrTarget.back() == L'\\';
        const std::wstring wstrFolder = wstrTarget.substr(0, wstrTarget.find_last_of(L'\\'));
        DWORD dwError = 0;
        if (!Util::CreateDirectoryPath(wstrFolder, &dwError))
            return HRESULT_FROM_WIN32(dwError ? dwError : ERROR_PATH_NOT_FOUND);
        if (bFolder)
            continue;
        const HRESULT hr = WriteCurrentEntry(zip.get(), wstrTarget);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT ExtractArchive(const std::wstring& wstrZipPath, const std::wstring& wstrDestination) {
    {
        // The shell's copy has no bound of its own: the archive is checked first.
        UniqueUnzip zip;
        std::vector<std::wstring> paths;
        const HRESULT hrCheck = CheckArchive(wstrZipPath, wstrDestination, zip, paths);
        if (FAILED(hrCheck))
            return hrCheck;
    }
    const UniqueCoInit apartment(
        CvCommon::Error::CheckHResult(::CoInitialize(nullptr), L"CoInitialize"));
    bool bNoFolder = false;
    const HRESULT hr = ExtractWithShell(wstrZipPath, wstrDestination, bNoFolder);
    if (bNoFolder)
        return ExtractArchiveDirectly(wstrZipPath, wstrDestination);
    return hr;
}
