#pragma once
// What Windows makes of a file name, written down from the platform's
// documented naming rules and independently of the launcher's own checks, so
// that the fuzz targets can hold those checks to it.

#include <string>

namespace FileNameRules {

inline bool IsRefusedCharacter(wchar_t ch) {
    switch (ch) {
    case L'<':
    case L'>':
    case L':':
    case L'"':
    case L'/':
    case L'\\':
    case L'|':
    case L'?':
    case L'*':
        return true;
    default:
        return ch < 0x20;
    }
}

// CON, PRN, AUX, NUL, CONIN$, CONOUT$, and COM or LPT with one digit 1-9 or
// one of the superscript digits 1, 2, 3 (which Windows counts as digits):
// with any extension, and blanks before the extension ignored.
inline bool NamesDevice(const std::wstring& name) {
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ')
        stem.pop_back();
    for (wchar_t& ch : stem)
        if (ch >= L'a' && ch <= L'z')
            ch = static_cast<wchar_t>(ch - L'a' + L'A');
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" ||
        stem == L"CONOUT$")
        return true;
    if (stem.size() != 4 || (stem.compare(0, 3, L"COM") != 0 && stem.compare(0, 3, L"LPT") != 0))
        return false;
    const wchar_t digit = stem[3];
    return (digit >= L'1' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// A name that Windows stores as given, inside the folder it is created in:
// not empty, no refused character (so no separator and no drive or stream
// colon), no trailing dot or blank (which Windows drops, turning ".." and
// "..." into the parent), and no device.
inline bool IsPlainFileName(const std::wstring& name) {
    if (name.empty() || name.back() == L'.' || name.back() == L' ')
        return false;
    for (wchar_t ch : name)
        if (IsRefusedCharacter(ch))
            return false;
    return !NamesDevice(name);
}

} // namespace FileNameRules
