#pragma once
// The body of a response as it arrives, held in a few large blocks so that it
// never has to be moved to grow: blocks grow from 64 KiB to 4 MiB as bytes
// arrive. Memory in use stays near the size received (whatever length a
// server announced), and the blocks can be written out one after another
// without assembling a copy.

#include <cstddef>
#include <string>
#include <vector>

class ResponseBody {
public:
    static constexpr size_t kFirstBlock = 64 * 1024;
    static constexpr size_t kLargestBlock = 4 * 1024 * 1024;

    // False when memory runs out; the bytes that fitted stay appended.
    bool Append(const char* pData, size_t nLength) noexcept;

    size_t Size() const noexcept { return m_nSize; }
    bool Empty() const noexcept { return m_nSize == 0; }

    // The whole body in one string; false (output empty) when memory runs out.
    bool CopyTo(std::string& strOut) const noexcept;

    size_t BlockCount() const noexcept { return m_vecBlocks.size(); }
    const std::string& Block(size_t nIndex) const { return m_vecBlocks[nIndex]; }

    void Clear() noexcept;

private:
    bool AddBlock(size_t nCapacity) noexcept;

    std::vector<std::string> m_vecBlocks;
    size_t m_nSize = 0;
};
