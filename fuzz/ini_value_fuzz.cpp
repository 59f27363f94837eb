// A value of the launcher's INI file: taken out of the buffer the platform's
// reader filled (whatever length it reports), then, as the build type, used
// as the extension of a download's name.

#include "FuzzInput.h"
#include "LauncherConfigValue.h"
#include "NetParse.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint32_t nReturned = static_cast<uint32_t>(FuzzInput::TakeNumber(data, size, 2));
    const std::wstring wstrFilled = FuzzInput::Wide(data, size);

    // A buffer exactly as large as the reader was told, so that reading past
    // it is caught.
    const uint32_t nCapacity = static_cast<uint32_t>(wstrFilled.size()) + 1;
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[nCapacity]);
    wstrFilled.copy(buffer.get(), wstrFilled.size());
    buffer[nCapacity - 1] = L'\0';
    const std::wstring wstrValue = ProfileValueText(buffer.get(), nReturned, nCapacity);
    FUZZ_CHECK(wstrValue.size() < nCapacity);
    FUZZ_CHECK(wstrValue.size() == (nReturned < nCapacity ? nReturned : nCapacity - 1));
    FUZZ_CHECK(wstrFilled.compare(0, wstrValue.size(), wstrValue) == 0);
    FUZZ_CHECK(ProfileValueText(nullptr, nReturned, nCapacity).empty());
    FUZZ_CHECK(ProfileValueText(buffer.get(), nReturned, 0).empty());

    // The build type never brings a separator, drive or stream colon into
    // the name.
    const std::wstring wstrName = NetParse::DownloadFileName(L"", L"https://h/setup", wstrValue);
    FUZZ_CHECK(wstrName.compare(0, 6, L"setup.") == 0);
    FUZZ_CHECK(wstrName.find_first_of(L"/\\:") == std::wstring::npos);
    return 0;
}
