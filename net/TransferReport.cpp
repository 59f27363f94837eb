#include "TransferReport.h"

#include "NetDebug.h"
#include "TransferPolicy.h"

#include <winhttp.h>

namespace TransferReport {

namespace {
constexpr DWORD kHttpAccepted = 202;
constexpr size_t kStatusMessageBuffer = 128;
} // namespace

ResultCode TransferError(DWORD dwError) {
    NetDebug::Print(L"transfer failed, win error %u (%ls)", static_cast<unsigned>(dwError),
                    TransferPolicy::ErrorName(dwError));
    return Result::FromPlatformError(dwError);
}

ResultCode IncompleteBody(unsigned long long ullReceived, DWORD dwAnnounced, DWORD dwError) {
    NetDebug::Print(L"response body incomplete (%llu of %u bytes), win error %u", ullReceived,
                    static_cast<unsigned>(dwAnnounced), static_cast<unsigned>(dwError));
    return Result::FromPlatformError(dwError);
}

ResultCode UndeliveredStatus(DWORD dwStatus) {
    switch (dwStatus) {
    case kHttpAccepted:
        NetDebug::Text(L"The request is accepted, but not process yet");
        return Result::kAccepted;
    case ERROR_WINHTTP_CANNOT_CONNECT:
        NetDebug::Text(L"Can't connect to server, win error is ERROR_WINHTTP_CANNOT_CONNECT");
        return Result::kTimedOut;
    default:
        NetDebug::Text(NetDebug::FormatBounded(kStatusMessageBuffer,
                                               L"submit request failed, http status code %d",
                                               static_cast<int>(dwStatus)));
        return Result::kUnexpectedStatus;
    }
}

} // namespace TransferReport
