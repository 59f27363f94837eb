// File names chosen by a server (Content-Disposition, the URL's last segment)
// and names of zip entries: whatever comes in, what the launcher creates stays
// a plain name inside its folder.

#include "ArchiveEntryName.h"
#include "FileNameRules.h"
#include "FuzzInput.h"
#include "NetParse.h"

using FileNameRules::IsPlainFileName;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const unsigned long ulCounter =
        static_cast<unsigned long>(FuzzInput::TakeNumber(data, size, 2));
    const std::wstring wstrName = FuzzInput::Wide(data, size);

    const std::wstring wstrSafe = NetParse::SanitizeFileName(wstrName);
    FUZZ_CHECK(wstrSafe.empty() || IsPlainFileName(wstrSafe));
    FUZZ_CHECK(NetParse::SanitizeFileName(wstrSafe) == wstrSafe);

    // The same text as a quoted and as a bare parameter, and as the URL's
    // last segment when the header names nothing usable.
    const std::wstring kDispositions[] = {L"attachment; filename=\"" + wstrName + L"\"",
                                          L"attachment; filename=" + wstrName, L"inline"};
    for (const std::wstring& wstrDisposition : kDispositions) {
        const std::wstring wstrFile =
            NetParse::DownloadFileName(wstrDisposition, L"https://h/p/" + wstrName, L"exe");
        if (wstrFile.empty())
            continue;
        FUZZ_CHECK(IsPlainFileName(wstrFile));
        FUZZ_CHECK(wstrFile.find(L'.') != std::wstring::npos);
        std::wstring wstrNumbered;
        if (NetParse::NumberedFileName(wstrFile, ulCounter, wstrNumbered)) {
            FUZZ_CHECK(IsPlainFileName(wstrNumbered));
            FUZZ_CHECK(wstrNumbered.size() <= NetParse::kMaxFileNameLength);
        } else {
            FUZZ_CHECK(wstrFile.size() + 2 + std::to_wstring(ulCounter).size() >
                       NetParse::kMaxFileNameLength);
        }
    }

    // A zip entry: every component of an accepted path is a plain name, so
    // the path stays below the destination.
    const std::wstring wstrPath = SafeArchiveEntryPath(wstrName);
    if (!wstrPath.empty()) {
        FUZZ_CHECK(wstrPath.find(L'/') == std::wstring::npos);
        const bool bFolder = wstrPath.back() == L'\\';
        const std::wstring wstrBody = wstrPath.substr(0, wstrPath.size() - (bFolder ? 1 : 0));
        for (const std::wstring& wstrPart : FuzzInput::Pieces(wstrBody, L'\\', wstrBody.size() + 1))
            FUZZ_CHECK(IsPlainFileName(wstrPart));
    }
    return 0;
}
