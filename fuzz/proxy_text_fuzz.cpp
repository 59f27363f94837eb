// Proxy texts: the platform's proxy list, a proxy script's answer, and the
// wait settings read as millisecond counts.

#include "FuzzInput.h"
#include "NetParse.h"

#include <cctype>

namespace {

void CheckProxyText(const std::wstring& wstrText) {
    std::wstring wstrHost = L"untouched";
    int nPort = -7;
    if (!NetParse::ParseProxyText(wstrText, wstrHost, nPort)) {
        FUZZ_CHECK(wstrHost == L"untouched" && nPort == -7);
        return;
    }
    FUZZ_CHECK(!wstrHost.empty());
    FUZZ_CHECK(nPort >= 1 && nPort <= 65535);
    FUZZ_CHECK(wstrHost.find_first_of(L" \t;/") == std::wstring::npos);
    FUZZ_CHECK(wstrText.find(wstrHost) != std::wstring::npos);
    if (wstrHost[0] == L'[')
        FUZZ_CHECK(wstrHost.back() == L']');
    else
        FUZZ_CHECK(wstrHost.find(L':') == std::wstring::npos);
}

void CheckDirect(const std::string& strAnswer) {
    bool bDirect = strAnswer.size() >= 6;
    for (size_t i = 0; bDirect && i < 6; ++i)
        bDirect = std::tolower(static_cast<unsigned char>(strAnswer[i])) == "direct"[i];
    FUZZ_CHECK(NetParse::IsDirectAnswer(strAnswer) == bDirect);
}

void CheckMilliseconds(const std::wstring& wstrText, uint32_t dwMax) {
    uint32_t dwMs = 4242;
    if (!NetParse::ParseMilliseconds(wstrText, dwMax, dwMs)) {
        FUZZ_CHECK(dwMs == 4242);
        return;
    }
    FUZZ_CHECK(dwMs >= 1 && dwMs <= dwMax);
    FUZZ_CHECK(wstrText.find_first_not_of(L"0123456789") == std::wstring::npos);
    FUZZ_CHECK(std::to_wstring(dwMs) == wstrText.substr(wstrText.find_first_not_of(L'0')));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring wstrText = FuzzInput::Wide(data, size);
    CheckProxyText(wstrText);
    CheckDirect(FuzzInput::Narrow(data, size));
    CheckMilliseconds(wstrText, 300000);
    CheckMilliseconds(wstrText, UINT32_MAX);
    return 0;
}
