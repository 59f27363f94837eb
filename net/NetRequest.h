#pragma once
// One-shot operations over a TransferSession: submit a request and take its
// body or redirect target, or download a file into a folder. Every outcome is
// written to the debugger output and returned as a ResultCode.

#include "ResponseBody.h"
#include "ResultCode.h"
#include "TransferSession.h"

#include <windows.h>

#include <string>

// GET (or POST with strBody and the extra wstrHeaders) of wstrUrl.
// Status 200: strOut receives the body; status 302: strOut receives the
// Location in UTF-8; both give Result::kSuccess. 202 gives Result::kAccepted.
// pdwStatus, when set, receives the status whenever the request was sent. A
// body broken off after status 200 fails with the platform error that broke
// it.
ResultCode SubmitRequest(const std::wstring& wstrUrl, const std::string& strBody,
                         std::string& strOut, bool bPost, DWORD* pdwStatus,
                         std::wstring wstrHeaders, const TransferLimits& limits = TransferLimits());

// GET of wstrUrl; on status 200 the whole body is saved as a new file inside
// the folder wstrPath names, and wstrPath receives the file's full path. The
// name comes from the response or the URL (TransferSession::MakeFileName);
// wstrDefaultType is the extension of a name without one. An existing file is
// never touched: taken names are numbered. Result::kNoFileName when no usable
// name exists, Result::kCannotCreateFile when the file cannot be created or
// written (a partial file is removed), and the platform error of a body
// broken off on the way.
ResultCode DownloadFile(const std::wstring& wstrUrl, std::wstring& wstrPath,
                        ProgressCallback progress, const std::wstring& wstrDefaultType,
                        const TransferLimits& limits = TransferLimits());

// Creates wstrFirstPath exclusively, or when that name is taken the first free
// numbered name beside it ("name(1).ext", "name(2).ext", ...), and writes the
// body into it. wstrPathOut receives the path tried last. On a failed write or
// close the file is removed. Result::kSuccess or Result::kCannotCreateFile.
ResultCode SaveToNewFile(const std::wstring& wstrFirstPath, const ResponseBody& body,
                         std::wstring& wstrPathOut, DWORD* pdwError = nullptr);

// Writes every block of the body to an open file; false with the platform
// error when a write fails or makes no progress.
bool WriteBody(HANDLE hFile, const ResponseBody& body, DWORD* pdwError = nullptr);
