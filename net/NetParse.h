#pragma once
// Text rules of the transfer code, free of platform calls: URL splitting,
// the download naming rule, Content-Disposition, proxy texts and progress.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace NetParse {

struct UrlParts {
    bool bSecure = false;
    std::wstring wstrServer;
    unsigned long ulPort = 0;
    // Everything from the first "/" after the host, query included; "/" when
    // the URL has no path. Escaped with EscapeRequestPath.
    std::wstring wstrObject;
};

// Splits an absolute URL of the exact (case-sensitive) scheme "http" or
// "https". The port follows the host after a colon and is read with automatic
// base ("0x1F90" is 8080); a port text without digits gives 0; without a port
// the scheme's default is used. False for anything else.
bool SplitUrl(const std::wstring& wstrUrl, UrlParts& parts);

// Finds the filename parameter of a Content-Disposition value (the parameter
// name in any letter case). A quoted value ends at its closing quote, a token
// at the next ";". The value keeps the header's letter case. False when the
// header has no such parameter.
bool DispositionFileName(const std::wstring& wstrDisposition, std::wstring& wstrName);

// The text after the URL's last "/", cut at its first "?"; empty without "/".
std::wstring UrlFileName(const std::wstring& wstrUrl);

// Turns a name chosen by a server into a plain file name: everything up to the
// last "/" or "\" is dropped, characters Windows refuses in file names become
// "_", trailing dots and blanks (which Windows drops) are removed, and a
// device name such as CON or LPT1 gets a leading "_". Empty when nothing is
// left.
std::wstring SanitizeFileName(const std::wstring& wstrName);

// True when Windows takes the name for a device whatever its extension, and
// with blanks before the extension ignored: CON, PRN, AUX, NUL, CONIN$,
// CONOUT$, and COM or LPT followed by one digit 1-9 or a superscript 1, 2
// or 3; in any letter case.
bool IsDeviceName(const std::wstring& wstrName);

// The name a download is saved under, before numbering: the Content-
// Disposition file name, or when that gives nothing usable the URL's last
// segment with its percent escapes undone, made safe with SanitizeFileName. A name without "." gets
// "." and the default type. Empty when no usable name exists.
std::wstring DownloadFileName(const std::wstring& wstrDisposition, const std::wstring& wstrUrl,
                              const std::wstring& wstrDefaultType);

// Well-formed UTF-8 to UTF-16 text. False (output untouched) for anything
// else: overlong forms, surrogates, values above U+10FFFF, cut sequences.
bool DecodeUtf8(const std::string& strBytes, std::wstring& wstrOut);

// Undoes percent escapes, reading the bytes as UTF-8 ("%E6%97%A5" is one
// character). The text comes back as it is when an escape is malformed or the
// bytes are not UTF-8.
std::wstring DecodePercentUtf8(const std::wstring& wstrText);

// A request path as it goes on the wire: characters outside printable ASCII
// become UTF-8 percent escapes (a blank becomes "%20"); everything else, "%"
// included, stays. A lone surrogate becomes "%EF%BF%BD".
std::wstring EscapeRequestPath(const std::wstring& wstrPath);

// Longest file name the naming rule produces.
constexpr size_t kMaxFileNameLength = 259;

// "name(counter).ext" from "name.ext" (the last dot splits), "name(counter)"
// from a name without a dot. False when the result would be longer than
// kMaxFileNameLength.
bool NumberedFileName(const std::wstring& wstrName, unsigned long ulCounter, std::wstring& wstrOut);

// One way to reach a server: through a proxy (host and port) or directly.
struct ProxyCandidate {
    bool bDirect = false;
    std::wstring wstrHost;
    int nPort = 0;
};

bool operator==(const ProxyCandidate& a, const ProxyCandidate& b);

// "host:port", or "DIRECT" for the direct candidate.
std::wstring CandidateName(const ProxyCandidate& candidate);

// The ordered candidates of a proxy text as the platform reports it. Entries
// end at ";" or a blank. In a per-scheme list only the "http=" entries count.
// A proxy script's forms "PROXY host:port" (or "HTTP host:port") and
// "DIRECT" are understood; its SOCKS and HTTPS entries name nothing usable
// and are skipped, and so is an entry with no host or a port out of range. A
// leading "http://" is skipped. "host:port" gives both; an entry without a
// port (or with an empty one) means port 80. A candidate named twice is kept
// once, at its first place.
std::vector<ProxyCandidate> ParseProxyList(const std::wstring& wstrText);

// The first candidate of the text when it is a proxy. False when the list is
// empty or starts with DIRECT.
bool ParseProxyText(const std::wstring& wstrText, std::wstring& wstrHost, int& nPort);

// Share of an announced body received so far, in percent, never above 100.
// An unknown length (0) gives 0.
uint32_t ProgressPercent(uint64_t ullReceived, uint32_t dwContentLength);

// A count of milliseconds written in decimal digits only, from 1 to dwMax.
// False (output untouched) for anything else: an empty text, a sign, blanks,
// 0, or a number above dwMax.
bool ParseMilliseconds(const std::wstring& wstrText, uint32_t dwMax, uint32_t& dwOut);

// Longest host name handed to a proxy script.
constexpr size_t kMaxScriptHostLength = 255;

// The host a proxy script is asked about for a URL: the text after "://" up
// to the path, without user information and port. False when it is longer
// than kMaxScriptHostLength.
bool ScriptHostOfUrl(const std::string& strUrl, std::string& strHost);

// True when a proxy script's answer starts with "DIRECT" in any letter case.
bool IsDirectAnswer(const std::string& strAnswer);

} // namespace NetParse
