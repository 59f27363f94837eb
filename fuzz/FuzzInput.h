#pragma once
// Turning a fuzzer's bytes into the texts the parsers read, and the check
// that stops a run when an invariant breaks.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Aborts (a finding) when the condition is false, naming it.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace FuzzInput {

// The bytes as UTF-16 code units, the way Windows holds wide text (one unit
// per wchar_t, whatever wchar_t's width here): UTF-8 sequences give their
// code point (surrogate pairs above U+FFFF, lone surrogates pass), and a byte
// that starts no whole sequence stands for itself, so that every unit from 0
// to 0xFFFF can be reached and ASCII dictionaries work.
inline std::wstring Wide(const uint8_t* data, size_t size) {
    std::wstring out;
    size_t i = 0;
    while (i < size) {
        const uint8_t lead = data[i];
        size_t length = lead >= 0xF5   ? 1
                        : lead >= 0xF0 ? 4
                        : lead >= 0xE0 ? 3
                        : lead >= 0xC2 ? 2
                                       : 1;
        if (length > size - i)
            length = 1;
        uint32_t code = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (size_t k = 1; k < length; ++k) {
            if ((data[i + k] & 0xC0) != 0x80) {
                length = 1;
                code = lead;
                break;
            }
            code = (code << 6) | (data[i + k] & 0x3F);
        }
        if (code > 0x10FFFF || (length == 3 && code < 0x800) || (length == 4 && code < 0x10000)) {
            length = 1;
            code = lead;
        }
        if (code > 0xFFFF) {
            code -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (code >> 10));
            out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<wchar_t>(code);
        }
        i += length;
    }
    return out;
}

inline std::string Narrow(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// The text cut at every separator; at most nMax pieces, the last one keeping
// the rest.
inline std::vector<std::wstring> Pieces(const std::wstring& text, wchar_t separator, size_t nMax) {
    std::vector<std::wstring> pieces;
    size_t nStart = 0;
    while (pieces.size() + 1 < nMax) {
        const size_t nEnd = text.find(separator, nStart);
        if (nEnd == std::wstring::npos)
            break;
        pieces.push_back(text.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    pieces.push_back(text.substr(nStart));
    return pieces;
}

// A number taken from up to eight leading bytes, which are then consumed.
inline uint64_t TakeNumber(const uint8_t*& data, size_t& size, size_t nBytes) {
    uint64_t value = 0;
    for (size_t k = 0; k < nBytes && size > 0; ++k, ++data, --size)
        value = (value << 8) | *data;
    return value;
}

} // namespace FuzzInput
