// Reads a minidump back and prints its stream directory, which streams it
// holds (found with MiniDumpReadDumpStream), and the exception record when
// there is one:
//
//   directory streams=9
//   streams ThreadList=1 ModuleList=1 MemoryList=1 Exception=0 SystemInfo=1
//   exception code=c0000005 thread=1234 parameters=2 first=1
//
// Exit code 0 for a readable minidump, 2 for a file that is not one: too
// small, no signature, or a directory or a stream outside the file.

#include "CvComn_Handle.h"

#include <windows.h>
#include <dbghelp.h>

#include <cstdio>

namespace {

struct ViewTraits {
    using pointer = void*;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer p) noexcept { return p != nullptr; }
    static void Close(pointer p) noexcept { ::UnmapViewOfFile(p); }
};
using UniqueView = CvCommon::Handle::UniqueAny<ViewTraits>;

constexpr ULONG32 kMinidumpSignature = 0x504D444D; // "MDMP"

struct StreamName {
    ULONG nType;
    const char* pszName;
};
const StreamName kStreams[] = {{ThreadListStream, "ThreadList"},
                               {ModuleListStream, "ModuleList"},
                               {MemoryListStream, "MemoryList"},
                               {ExceptionStream, "Exception"},
                               {SystemInfoStream, "SystemInfo"}};

bool HasStream(void* pBase, ULONG nType, void** ppStream = nullptr) {
    PMINIDUMP_DIRECTORY pDirectory = nullptr;
    void* pStream = nullptr;
    ULONG cbStream = 0;
    const bool bFound = ::MiniDumpReadDumpStream(pBase, nType, &pDirectory, &pStream, &cbStream) &&
                        pStream && cbStream > 0;
    if (ppStream)
        *ppStream = bFound ? pStream : nullptr;
    return bFound;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dump_reader FILE\n");
        return 2;
    }
    CvCommon::Handle::UniqueHandle hFile(
        ::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!hFile) {
        std::fprintf(stderr, "cannot open: %lu\n", ::GetLastError());
        return 2;
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(hFile.get(), &size) ||
        size.QuadPart < static_cast<LONGLONG>(sizeof(MINIDUMP_HEADER))) {
        std::fprintf(stderr, "too small for a minidump\n");
        return 2;
    }
    CvCommon::Handle::UniqueHandle hMapping(
        ::CreateFileMappingW(hFile.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    UniqueView view(hMapping ? ::MapViewOfFile(hMapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
    if (!view) {
        std::fprintf(stderr, "cannot map: %lu\n", ::GetLastError());
        return 2;
    }
    const auto* pHeader = static_cast<const MINIDUMP_HEADER*>(view.get());
    if (pHeader->Signature != kMinidumpSignature) {
        std::fprintf(stderr, "no minidump signature\n");
        return 2;
    }

    // The directory and every stream it lists lie inside the file.
    const ULONG64 cbFile = static_cast<ULONG64>(size.QuadPart);
    const ULONG64 cbDirectory =
        static_cast<ULONG64>(pHeader->NumberOfStreams) * sizeof(MINIDUMP_DIRECTORY);
    if (pHeader->NumberOfStreams == 0 || pHeader->StreamDirectoryRva + cbDirectory > cbFile) {
        std::fprintf(stderr, "no stream directory inside the file\n");
        return 2;
    }
    const auto* pDirectory = reinterpret_cast<const MINIDUMP_DIRECTORY*>(
        static_cast<const BYTE*>(view.get()) + pHeader->StreamDirectoryRva);
    for (ULONG32 i = 0; i < pHeader->NumberOfStreams; ++i) {
        const MINIDUMP_LOCATION_DESCRIPTOR& location = pDirectory[i].Location;
        if (static_cast<ULONG64>(location.Rva) + location.DataSize > cbFile) {
            std::fprintf(stderr, "stream %u lies outside the file\n", static_cast<unsigned>(i));
            return 2;
        }
    }
    std::printf("directory streams=%u\n", static_cast<unsigned>(pHeader->NumberOfStreams));

    std::printf("streams");
    for (const StreamName& stream : kStreams)
        std::printf(" %s=%d", stream.pszName, HasStream(view.get(), stream.nType));
    std::printf("\n");

    void* pStream = nullptr;
    if (HasStream(view.get(), ExceptionStream, &pStream)) {
        const auto* pException = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(pStream);
        const MINIDUMP_EXCEPTION& record = pException->ExceptionRecord;
        std::printf("exception code=%08x thread=%u parameters=%u first=%llu\n",
                    static_cast<unsigned>(record.ExceptionCode),
                    static_cast<unsigned>(pException->ThreadId),
                    static_cast<unsigned>(record.NumberParameters),
                    record.NumberParameters > 0 ? record.ExceptionInformation[0] : 0ULL);
    }
    return 0;
}
