#pragma once
// Files of the package tests: bytes written as they are, a byte pattern, and
// the test archives that the build writes next to the test program.
#include "scratch_folder.h"

#include <windows.h>

#include <fstream>
#include <string>

namespace packagetest {

inline void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string Pattern(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

inline bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::wstring TestZip(const wchar_t* name) {
    return testsupport::ScratchFolder::ProgramFolder() + L"\\test_zips\\" + name;
}

} // namespace packagetest
