#include "ResponseBody.h"

#include <algorithm>
#include <new>

bool ResponseBody::AddBlock(size_t nCapacity) noexcept {
    try {
        std::string strBlock;
        strBlock.reserve(nCapacity);
        m_vecBlocks.push_back(std::move(strBlock));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool ResponseBody::Append(const char* pData, size_t nLength) noexcept {
    while (nLength > 0) {
        if (m_vecBlocks.empty() || m_vecBlocks.back().size() == m_vecBlocks.back().capacity()) {
            const size_t nLastCapacity = m_vecBlocks.empty() ? 0 : m_vecBlocks.back().capacity();
            const size_t nCapacity =
                std::min(kLargestBlock, std::max(kFirstBlock, nLastCapacity * 2));
            if (!AddBlock(nCapacity))
                return false;
        }
        std::string& strLast = m_vecBlocks.back();
        const size_t nTake = std::min(nLength, strLast.capacity() - strLast.size());
        // Within the reserved capacity: no reallocation, no exception.
        strLast.append(pData, nTake);
        pData += nTake;
        nLength -= nTake;
        m_nSize += nTake;
    }
    return true;
}

bool ResponseBody::CopyTo(std::string& strOut) const noexcept {
    strOut.clear();
    try {
        strOut.reserve(m_nSize);
        for (const std::string& strBlock : m_vecBlocks)
            strOut.append(strBlock);
        return true;
    } catch (const std::exception&) {
        strOut.clear();
        return false;
    }
}

void ResponseBody::Clear() noexcept {
    m_vecBlocks.clear();
    m_nSize = 0;
}
