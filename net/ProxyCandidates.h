#pragma once
// The ways a run can reach a server, in the order a proxy text names them,
// and which of them is current. A candidate that could not be reached is
// given up for the rest of the run, whatever URL it was named for. Free of
// platform calls.

#include "NetParse.h"

#include <cstddef>
#include <vector>

class ProxyCandidates {
public:
    // Takes a new list; the current candidate is its first one that was not
    // given up. When every one was, the run starts over with the whole list
    // and this returns true.
    bool Use(std::vector<NetParse::ProxyCandidate> vecCandidates);

    // Gives up the current candidate and makes the next one not given up
    // current. False, with the current one kept, when none is left or the
    // list is empty.
    bool FailOver();

    // Null when the list is empty.
    const NetParse::ProxyCandidate* Current() const;
    // The current candidate is a proxy (not DIRECT, and not an empty list).
    bool UsingProxy() const;

private:
    bool WasGivenUp(const NetParse::ProxyCandidate& candidate) const;

    std::vector<NetParse::ProxyCandidate> m_vecList;
    size_t m_nCurrent = 0;
    std::vector<NetParse::ProxyCandidate> m_vecGivenUp;
};
