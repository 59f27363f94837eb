#pragma once
// The optional publisher pin of the launch file: when the build pins
// publishers, only a file with a valid Authenticode signature by a pinned
// certificate may be started.

#include <windows.h>

#include <string>

// The pinned thumbprint list of this build (LAUNCHER_SETUP_PUBLISHER). Test
// builds (LAUNCHER_TEST_HOOKS) take LAUNCHER_TEST_SETUP_PUBLISHER from the
// environment instead when it is set and not empty.
std::wstring PinnedPublisherText();

// True when nothing is pinned, or when WinVerifyTrust accepts the signature
// of the file open as hFile (the very bytes later started; wstrPath names it)
// and the SHA-256 thumbprint of its signing certificate is pinned. A refusal
// writes a debugger line that says why.
bool PublisherAccepted(HANDLE hFile, const std::wstring& wstrPath);
