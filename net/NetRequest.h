#pragma once
// One-shot operations over a TransferSession: submit a request and take its
// body or redirect target, or download a file into a folder. Every outcome is
// written to the debugger output and returned as a ResultCode.

#include "ResponseBody.h"
#include "ResultCode.h"
#include "TransferSession.h"

#include <windows.h>

#include <string>

// How a transfer that fails is reported, by both operations:
// - the stop request of the limits was set: Result::kCancelled
//   (0xE0FE04C7), also when it was set before anything was sent;
// - the overall bound ran out: 0xE0FE2EFD (0xE0FE0000 | 12029);
// - a body broken off after the response headers were read: 0xE0FE0000 with
//   the low 16 bits of the platform error that broke it (12030 for a body
//   shorter than announced);
// - the connection failed before any response headers were read (refused,
//   reset, timed out): status 0, Result::kUnexpectedStatus. A connection
//   reset right after the headers were sent can end this way too, when the
//   reset reaches the client before it has read them.
// Nothing is delivered or saved in any of these cases.

// Largest body SubmitRequest keeps: a longer one ends the request with
// ERROR_FILE_TOO_LARGE (reported as a body broken off by that error).
constexpr unsigned long kMaxSubmittedBodyBytes = 4UL * 1024UL * 1024UL;

// GET (or POST with strBody and the extra wstrHeaders) of wstrUrl.
// Status 200: strOut receives the body; status 302: strOut receives the
// Location in UTF-8; both give Result::kSuccess. 202 gives Result::kAccepted.
// pdwStatus, when set, receives the status whenever the request was sent and
// its wait ended in time. strOut is left alone on every failure.
ResultCode SubmitRequest(const std::wstring& wstrUrl, const std::string& strBody,
                         std::string& strOut, bool bPost, DWORD* pdwStatus,
                         std::wstring wstrHeaders,
                         const TransferLimits& limits = DefaultTransferLimits());

// GET of wstrUrl; on status 200 the whole body is saved as a new file inside
// the folder wstrPath names. wstrPath is assigned only when the file was
// saved (Result::kSuccess): it then holds the file's full path; on every other
// result it still holds the folder that came in. The name comes from the
// response or the URL (NetParse::DownloadFileName); wstrDefaultType is the
// extension of a name without one. An existing file is never touched: taken
// names are numbered. Result::kNoFileName when no usable name exists,
// Result::kCannotCreateFile when the file cannot be created or written (a
// partial file is removed); a stop request seen before the file is created
// gives Result::kCancelled.
ResultCode DownloadFile(const std::wstring& wstrUrl, std::wstring& wstrPath,
                        ProgressCallback progress, const std::wstring& wstrDefaultType,
                        const TransferLimits& limits = DefaultTransferLimits());

// Creates wstrFirstPath exclusively, or when that name is taken the first free
// numbered name beside it ("name(1).ext", "name(2).ext", ...), and writes the
// body into it. wstrPathOut receives the path tried last. On a failed write or
// close the file is removed. Result::kSuccess or Result::kCannotCreateFile.
ResultCode SaveToNewFile(const std::wstring& wstrFirstPath, const ResponseBody& body,
                         std::wstring& wstrPathOut, DWORD* pdwError = nullptr);

// Writes every block of the body to an open file; false with the platform
// error when a write fails or makes no progress.
bool WriteBody(HANDLE hFile, const ResponseBody& body, DWORD* pdwError = nullptr);
