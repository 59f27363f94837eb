#include "ProxyCandidates.h"

#include <algorithm>

bool ProxyCandidates::Use(std::vector<NetParse::ProxyCandidate> vecCandidates) {
    m_vecList.swap(vecCandidates);
    m_nCurrent = 0;
    while (m_nCurrent < m_vecList.size() && WasGivenUp(m_vecList[m_nCurrent]))
        ++m_nCurrent;
    if (m_vecList.empty() || m_nCurrent < m_vecList.size())
        return false;
    m_vecGivenUp.clear();
    m_nCurrent = 0;
    return true;
}

bool ProxyCandidates::FailOver() {
    if (m_nCurrent >= m_vecList.size())
        return false;
    if (!WasGivenUp(m_vecList[m_nCurrent]))
        m_vecGivenUp.push_back(m_vecList[m_nCurrent]);
    size_t nNext = m_nCurrent + 1;
    while (nNext < m_vecList.size() && WasGivenUp(m_vecList[nNext]))
        ++nNext;
    if (nNext == m_vecList.size())
        return false;
    m_nCurrent = nNext;
    return true;
}

const NetParse::ProxyCandidate* ProxyCandidates::Current() const {
    return m_nCurrent < m_vecList.size() ? &m_vecList[m_nCurrent] : nullptr;
}

bool ProxyCandidates::UsingProxy() const {
    const NetParse::ProxyCandidate* pCurrent = Current();
    return pCurrent != nullptr && !pCurrent->bDirect;
}

bool ProxyCandidates::WasGivenUp(const NetParse::ProxyCandidate& candidate) const {
    return std::find(m_vecGivenUp.begin(), m_vecGivenUp.end(), candidate) != m_vecGivenUp.end();
}
