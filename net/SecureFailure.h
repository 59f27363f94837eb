#pragma once
// Names for the certificate flags that a secure-channel failure reports, so
// that a failed TLS handshake says why it failed.

#include <cstdint>
#include <string>

namespace SecureFailure {

// The flags of WINHTTP_CALLBACK_STATUS_SECURE_FAILURE (values as WinHTTP
// defines them), named without their common prefix.
constexpr uint32_t kCertRevFailed = 0x00000001;
constexpr uint32_t kInvalidCert = 0x00000002;
constexpr uint32_t kCertRevoked = 0x00000004;
constexpr uint32_t kInvalidCa = 0x00000008;
constexpr uint32_t kCertCnInvalid = 0x00000010;
constexpr uint32_t kCertDateInvalid = 0x00000020;
constexpr uint32_t kCertWrongUsage = 0x00000040;
constexpr uint32_t kSecurityChannelError = 0x80000000;

// "INVALID_CA, CERT_DATE_INVALID" for the flags set, in bit order; bits
// without a name follow as one hexadecimal number; "none" for 0.
std::wstring FlagNames(uint32_t dwFlags);

// "secure failure, win error 12175, certificate flags 0x8 (INVALID_CA)".
std::wstring Message(uint32_t dwFlags);

// For a request that ended with one of the platform's certificate errors
// (some stacks report those instead of flags): "secure failure, win error
// 12045 (ERROR_WINHTTP_SECURE_INVALID_CA)". Empty for any other error.
std::wstring ErrorMessage(uint32_t dwError);

} // namespace SecureFailure
