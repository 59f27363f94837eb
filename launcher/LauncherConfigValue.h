#pragma once
// Taking a value out of the buffer the platform's INI reader filled: pure
// text work, free of platform calls.

#include <cstdint>
#include <string>

// The value text from a buffer of nCapacity characters of which the reader
// reports nReturned filled; a report at or past the buffer's end gives the
// nCapacity - 1 characters before its terminator. Empty for no buffer.
std::wstring ProfileValueText(const wchar_t* pszBuffer, uint32_t nReturned, uint32_t nCapacity);
