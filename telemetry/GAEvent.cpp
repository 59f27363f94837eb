#include "GAEvent.h"

#include "CvComn_HResult.h"
#include "CvComn_Handle.h"
#include "CvComn_String.h"
#include "HttpAgent.h"
#include "SendLock.h"
#include "TelemetryBuildConfig.h"
#include "Util_File.h"

#include <objbase.h>
#include <rpc.h>

#include <chrono>
#include <memory>
#include <new>
#include <utility>

// What a send thread owns: its record text and the values of its hit. Shared
// with the sender that waits for it.
struct GAEvent::SendJob {
    std::wstring wstrRecord;
    SenderValues values;
    SendLock::SendPtr pSend;
};

namespace {

const wchar_t* const kHitUrlFormat = L"http://%ls/collect?v=1&t=event&tid=%ls&cid=%ls&ec=%ls&ea=%ls"
                                     L"&el=%ls&ev=0&ul=%ls&cd1=%ls";
const wchar_t* const kFallbackVersion = L"1.0.0.0";
const LANGID kUserLanguage = 0x0409;

using CvCommon::String::EncodeQueryValue;

// The member's text when it is a string, else empty.
std::wstring TextMember(const Json::Value& record, const char* pszName) {
    std::wstring wstrText;
    if (record.isMember(pszName) && record[pszName].isString())
        CvCommon::String::UTF8ToWChar(record[pszName].asString(), wstrText);
    return wstrText;
}

void DebugMessage(const std::wstring& wstrText) {
    ::OutputDebugStringW(wstrText.c_str());
}

} // namespace

GAEvent::GAEvent() {
    m_values.wstrCollectorHost = LAUNCHER_COLLECTOR_HOST;
    wchar_t szPath[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(nullptr), szPath, MAX_PATH);
    ReadEngineVersion(szPath, m_values.wstrEngineVersion);
    m_values.wstrLanguage = LanguageTag(kUserLanguage);
    CreateClientId(m_values.wstrClientId);
    m_values.wstrTrackingId = LAUNCHER_TRACKING_ID;
}

GAEvent& GAEvent::Instance() {
    // Made on first use and never destroyed, so that it owns the class-wide
    // values for the whole life of the process: deliveries that still run
    // while the event dispatcher shuts down at process exit find them intact,
    // whatever order the static objects are destroyed in.
    static GAEvent* const s_pInstance = new GAEvent();
    return *s_pInstance;
}

void GAEvent::SetCollectorHost(const std::wstring& wstrHost) {
    Instance().m_values.wstrCollectorHost = wstrHost;
}

SendLock& GAEvent::SendLockInstance() {
    static SendLock* const s_pSendLock = new SendLock();
    return *s_pSendLock;
}

GAEvent::SenderValues GAEvent::CurrentValues() {
    return Instance().m_values;
}

bool GAEvent::Send(const Json::Value& record, bool bWait, DWORD dwBoundMs) {
    std::shared_ptr<SendJob> pJob;
    CvCommon::Handle::UniqueHandle thread;
    try {
        pJob = std::make_shared<SendJob>();
        Json::StyledWriter writer;
        if (CvCommon::String::UTF8ToWChar(writer.write(record), pJob->wstrRecord)) {
            pJob->values = CurrentValues();
            pJob->pSend = SendLock::NewSend();
            SendLockInstance(); // made here, where a failure is caught
            // The thread's own reference to the job; from here on it owns it.
            std::unique_ptr<std::shared_ptr<SendJob>> pParam(new std::shared_ptr<SendJob>(pJob));
            thread.reset(
                ::CreateThread(nullptr, 0, &GAEvent::SendThreadProc, pParam.get(), 0, nullptr));
            if (thread)
                pParam.release();
        }
    } catch (...) {
        // Out of memory: no thread, the wait below fails.
    }
    if (!bWait)
        return true;
    if (thread && SendLockInstance().WaitEnded(pJob->pSend, std::chrono::milliseconds(dwBoundMs))) {
        ::OutputDebugStringW(L"Wait GA send thread finished!");
        return true;
    }
    ::OutputDebugStringW(L"Wait GA send thread error!");
    return false;
}

void GAEvent::AbandonWaits() {
    SendLockInstance().AbandonWaits();
}

size_t GAEvent::WaitingSends() {
    return SendLockInstance().WaitingCount();
}

DWORD WINAPI GAEvent::SendThreadProc(LPVOID pParam) {
    std::unique_ptr<std::shared_ptr<SendJob>> pHolder(
        static_cast<std::shared_ptr<SendJob>*>(pParam));
    const std::shared_ptr<SendJob> pJob = std::move(*pHolder);
    pHolder.reset();
    // Made by Send before the thread was started.
    SendLock& sendLock = SendLockInstance();
    // Ends the send on every way out, so that the lock is released and the
    // sender's wait ends.
    struct EndOfSend {
        SendLock& lock;
        const SendLock::SendPtr& pSend;
        ~EndOfSend() {
            try {
                lock.End(pSend);
            } catch (...) {
            }
        }
    } endOfSend{sendLock, pJob->pSend};
    try {
        if (!sendLock.Acquire(pJob->pSend, std::chrono::milliseconds(kSendBoundMs))) {
            // Given up on before its turn came: never sent, so that a later
            // hit cannot overtake it at the collector.
            ::OutputDebugStringW(L"GA send request fail!");
            return 0;
        }
        const std::wstring wstrText = std::move(pJob->wstrRecord);
        const bool bDelivered = SendHit(wstrText, pJob->values);
        ::OutputDebugStringW(bDelivered ? L"GA send reuqest success!" : L"GA send request fail!");
        ::OutputDebugStringW(L"*************GA send end*************");
    } catch (...) {
        // Formatting and the HTTP client throw only when memory runs out; the
        // event is dropped like any other failed send.
        ::OutputDebugStringW(L"GA send request fail!");
    }
    return 0;
}

bool GAEvent::SendHit(const std::wstring& wstrTargetId, const SenderValues& values) {
    ::OutputDebugStringW(L"*************GA send start*************");
    DebugMessage(L"wstrTargetId:" + wstrTargetId);

    HitFields fields;
    if (!ReadRecord(wstrTargetId, values, fields))
        return false;
    DebugMessage(fields.wstrTrackingId);
    DebugMessage(values.wstrEngineVersion);
    DebugMessage(values.wstrLanguage);

    std::wstring wstrUrl;
    if (!FormatHitUrl(values.wstrCollectorHost, fields, wstrUrl))
        return false;
    HttpGetSimple http;
    std::wstring wstrResponse;
    return http.Get(wstrUrl, std::wstring(), &wstrResponse, nullptr) == 200;
}

bool GAEvent::ReadRecord(const std::wstring& wstrRecord, HitFields& fields) {
    return ReadRecord(wstrRecord, CurrentValues(), fields);
}

bool GAEvent::ReadRecord(const std::wstring& wstrRecord, const SenderValues& values,
                         HitFields& fields) {
    std::string strRecord;
    if (!CvCommon::String::WCharToUTF8(wstrRecord, strRecord))
        return false;
    Json::Value record;
    Json::Reader reader;
    if (!reader.parse(strRecord, record, true))
        return false;
    if (!record.isObject())
        record = Json::Value(Json::objectValue);

    fields.wstrTrackingId = values.wstrTrackingId;
    if (record.isMember("GaTrackingId") && record["GaTrackingId"].isString())
        fields.wstrTrackingId = TextMember(record, "GaTrackingId");
    fields.wstrClientId = values.wstrClientId;
    fields.wstrCategory = TextMember(record, "category");
    fields.wstrAction = TextMember(record, "action");
    fields.wstrLabel = TextMember(record, "label");
    fields.wstrLanguage = values.wstrLanguage;
    fields.wstrDimension1 = TextMember(record, "dimension1");
    return true;
}

bool GAEvent::FormatHitUrl(const std::wstring& wstrHost, const HitFields& fields,
                           std::wstring& wstrUrl) {
    return CvCommon::String::Format(
        wstrUrl, kHitUrlFormat, wstrHost.c_str(), EncodeQueryValue(fields.wstrTrackingId).c_str(),
        EncodeQueryValue(fields.wstrClientId).c_str(),
        EncodeQueryValue(fields.wstrCategory).c_str(), EncodeQueryValue(fields.wstrAction).c_str(),
        EncodeQueryValue(fields.wstrLabel).c_str(), EncodeQueryValue(fields.wstrLanguage).c_str(),
        EncodeQueryValue(fields.wstrDimension1).c_str());
}

bool GAEvent::ReadEngineVersion(const std::wstring& wstrPath, std::wstring& wstrVersion) {
    wstrVersion.clear();
    VS_FIXEDFILEINFO fixed = {};
    if (!Util::ReadFixedFileInfo(wstrPath.c_str(), fixed)) {
        ::OutputDebugStringW(L"GAEvent::GetEngineVersion() no readable version resource");
        wstrVersion = kFallbackVersion;
        return false;
    }
    const int a = HIWORD(fixed.dwFileVersionMS);
    const int b = LOWORD(fixed.dwFileVersionMS);
    const int c = HIWORD(fixed.dwFileVersionLS);
    const int d = LOWORD(fixed.dwFileVersionLS);
    if (c != 0 || d != 0)
        CvCommon::String::Format(wstrVersion, L"%d.%d.%d.%d", a, b, c, d);
    else if (a != 0 || b != 0)
        CvCommon::String::Format(wstrVersion, L"%d.%d", a, b);
    return true;
}

bool GAEvent::CreateClientId(std::wstring& wstrOut) {
    GUID guid = {};
    if (!CvCommon::Error::CheckHResult(::CoCreateGuid(&guid), L"CoCreateGuid"))
        return false;
    CvCommon::Handle::UniqueRpcWString guidText;
    if (::UuidToStringW(&guid, guidText.put()) != RPC_S_OK || !guidText)
        return false;
    std::wstring wstrId(reinterpret_cast<const wchar_t*>(guidText.get()));
    if (!CvCommon::String::ToUpper(wstrId))
        return false;
    wstrOut = wstrId;
    return true;
}

const wchar_t* GAEvent::LanguageTag(LANGID langId) {
    switch (langId) {
    case 0x0411:
        return L"ja-jp";
    case 0x0804:
        return L"zh-cn";
    default:
        return L"en-us";
    }
}
