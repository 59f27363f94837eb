#include "SidecarDigest.h"

bool SidecarHoldsDigest(const std::wstring& wstrSidecarText, const std::wstring& wstrDigest) {
    return !wstrDigest.empty() && wstrSidecarText.find(wstrDigest) != std::wstring::npos;
}
