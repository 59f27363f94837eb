#include "GAEvent.h"

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

// The class-wide values are constructed before every static object of
// ordinary priority, the event dispatcher among them, and so destroyed after
// it: deliveries that still run while the dispatcher shuts down at process
// exit find them intact. The instance lock is constant-initialised and never
// torn down.
#define GAEVENT_CLASS_WIDE __attribute__((init_priority(1000)))

std::atomic<GAEvent*> GAEvent::s_pInstance{nullptr};
std::wstring GAEvent::s_wstrTrackingId GAEVENT_CLASS_WIDE;
std::wstring GAEvent::s_wstrClientId GAEVENT_CLASS_WIDE;
std::wstring GAEvent::s_wstrLanguage GAEVENT_CLASS_WIDE;
std::wstring GAEvent::s_wstrEngineVersion GAEVENT_CLASS_WIDE;
std::wstring GAEvent::s_wstrCollectorHost GAEVENT_CLASS_WIDE(LAUNCHER_COLLECTOR_HOST);
std::mutex GAEvent::s_instanceLock;

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
    GetEngineVersion();
    InitLanguage();
    CreateClientId(s_wstrClientId);
    s_wstrTrackingId = LAUNCHER_TRACKING_ID;
}

GAEvent* GAEvent::Instance() {
    GAEvent* pInstance = s_pInstance.load(std::memory_order_acquire);
    if (pInstance != nullptr)
        return pInstance;
    std::lock_guard<std::mutex> lock(s_instanceLock);
    pInstance = s_pInstance.load(std::memory_order_relaxed);
    if (pInstance == nullptr) {
        pInstance = new GAEvent();
        s_pInstance.store(pInstance, std::memory_order_release);
    }
    return pInstance;
}

void GAEvent::SetCollectorHost(const std::wstring& wstrHost) {
    s_wstrCollectorHost = wstrHost;
}

SendLock& GAEvent::SendLockInstance() {
    static SendLock* const s_pSendLock = new SendLock();
    return *s_pSendLock;
}

GAEvent::SenderValues GAEvent::CurrentValues() {
    SenderValues values;
    values.wstrCollectorHost = s_wstrCollectorHost;
    values.wstrTrackingId = s_wstrTrackingId;
    values.wstrClientId = s_wstrClientId;
    values.wstrLanguage = s_wstrLanguage;
    values.wstrEngineVersion = s_wstrEngineVersion;
    return values;
}

bool GAEvent::Send(const Json::Value& record, bool bWait, DWORD dwBoundMs) {
    std::shared_ptr<SendJob> pJob;
    HANDLE hThread = nullptr;
    try {
        pJob = std::make_shared<SendJob>();
        Json::StyledWriter writer;
        if (CvCommon::String::UTF8ToWChar(writer.write(record), pJob->wstrRecord)) {
            pJob->values = CurrentValues();
            pJob->pSend = SendLock::NewSend();
            SendLockInstance(); // made here, where a failure is caught
            // The thread's own reference to the job; from here on it owns it.
            std::unique_ptr<std::shared_ptr<SendJob>> pParam(new std::shared_ptr<SendJob>(pJob));
            hThread =
                ::CreateThread(nullptr, 0, &GAEvent::SendThreadProc, pParam.get(), 0, nullptr);
            if (hThread != nullptr)
                pParam.release();
        }
    } catch (...) {
        // Out of memory: no thread, the wait below fails.
    }
    CvCommon::Handle::UniqueHandle thread(hThread);
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

bool GAEvent::GetEngineVersion() {
    wchar_t szPath[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(nullptr), szPath, MAX_PATH);
    return ReadEngineVersion(szPath, s_wstrEngineVersion);
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
    if (FAILED(::CoCreateGuid(&guid)))
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

bool GAEvent::InitLanguage() {
    s_wstrLanguage = LanguageTag(kUserLanguage);
    return true;
}
