#pragma once
// Where a response body goes when it is not kept in memory. The transfer
// tells the sink about each response that carries a body before any of it
// arrives, then hands it the body piece by piece. Both calls come from a
// WinHTTP worker thread, one at a time, and never after the request was
// given up.

#include <windows.h>

#include <string>

class BodySink {
public:
    virtual ~BodySink() = default;

    // Once per response with a body (status 200 or 206), before any of it.
    // 0 to take the body; otherwise the platform error that ends the
    // transfer.
    virtual DWORD Begin(DWORD dwStatus, const std::wstring& wstrContentRange) = 0;

    // One piece of the body; 0, or the platform error that ends the transfer.
    virtual DWORD Write(const char* pData, DWORD cbData) = 0;

    // Bytes of the whole resource held so far and, when known (else 0), the
    // resource's full size: what progress is measured by.
    virtual unsigned long long Held() const = 0;
    virtual unsigned long long Total() const = 0;
};
