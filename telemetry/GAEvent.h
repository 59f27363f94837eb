#pragma once
// The analytics sender: turns a mapped event record into one Measurement
// Protocol hit (version 1, hit type event) and sends it to the collector as
// an HTTP GET, each send on a thread of its own and one send at a time.
// Nobody waits for a send longer than its bound: a send thread that is given
// up on owns everything it uses, so it may run on harmlessly.

#include <json/json.h>

#include <windows.h>

#include <string>

class SendLock;

class GAEvent {
public:
    // The values of one hit, in the order the query carries them.
    struct HitFields {
        std::wstring wstrTrackingId;
        std::wstring wstrClientId;
        std::wstring wstrCategory;
        std::wstring wstrAction;
        std::wstring wstrLabel;
        std::wstring wstrLanguage;
        std::wstring wstrDimension1;
    };

    // The longest wait for one send, in milliseconds: a sender waits at
    // most this long for its send thread, and a send thread at most this
    // long for its turn at the collector.
    static constexpr DWORD kSendBoundMs = 5000;

    // The single sender, created on first use and never destroyed.
    static GAEvent& Instance();

    // Hands the record to a new send thread and, with bWait, waits for that
    // thread to end, at most dwBoundMs (or until AbandonWaits). True when
    // bWait is false; otherwise true only when the thread was started and
    // has ended in time. Whether the collector accepted the hit is not part
    // of the result. A send given up on before its turn is never sent.
    bool Send(const Json::Value& record, bool bWait, DWORD dwBoundMs = kSendBoundMs);
    // Ends the waits of every Send now waiting, as if their bound had passed.
    static void AbandonWaits();
    // Send threads now waiting for their turn at the collector.
    static size_t WaitingSends();

    // Reads the record text into the hit's fields: "category", "action",
    // "label" and "dimension1" when they are strings (empty otherwise),
    // "GaTrackingId" when it is a string (else the built-in identifier), and
    // the sender's client identifier and language. False on a parse error.
    static bool ReadRecord(const std::wstring& wstrRecord, HitFields& fields);
    // The hit URL "http://<host>/collect?v=1&t=event&tid=..&cid=..&ec=..&ea=..
    // &el=..&ev=0&ul=..&cd1=..". Every value is percent-encoded as UTF-8,
    // leaving letters, digits and "-._~" as they are. False when the text
    // cannot be formatted.
    static bool FormatHitUrl(const std::wstring& wstrHost, const HitFields& fields,
                             std::wstring& wstrUrl);

    // The version text of a file's version resource: "a.b.c.d" when c or d is
    // not 0, else "a.b" when a or b is not 0, else empty; "1.0.0.0" when the
    // resource cannot be read (then false).
    static bool ReadEngineVersion(const std::wstring& wstrPath, std::wstring& wstrVersion);
    // A new client identifier: a GUID as 36 upper-case characters in groups of
    // 8-4-4-4-12, without braces. False (output unchanged) on failure.
    static bool CreateClientId(std::wstring& wstrOut);
    // "ja-jp" for 0x0411, "zh-cn" for 0x0804, "en-us" for everything else.
    static const wchar_t* LanguageTag(LANGID langId);

    // The class-wide values, set while the instance is created (which these
    // do on first use).
    static const std::wstring& TrackingId() { return Instance().m_values.wstrTrackingId; }
    static const std::wstring& ClientId() { return Instance().m_values.wstrClientId; }
    static const std::wstring& Language() { return Instance().m_values.wstrLanguage; }
    static const std::wstring& EngineVersion() { return Instance().m_values.wstrEngineVersion; }

    // Points the hits at another collector (host or host:port). Only tests
    // call it, before the first event is delivered; the program always uses
    // the collector of its build.
    static void SetCollectorHost(const std::wstring& wstrHost);
    static const std::wstring& CollectorHost() { return Instance().m_values.wstrCollectorHost; }

private:
    // The class-wide values one hit uses, copied when the send is handed
    // over, so that a send thread reads nothing class-wide.
    struct SenderValues {
        std::wstring wstrCollectorHost;
        std::wstring wstrTrackingId;
        std::wstring wstrClientId;
        std::wstring wstrLanguage;
        std::wstring wstrEngineVersion;
    };
    struct SendJob;

    GAEvent();

    static SenderValues CurrentValues();
    static bool ReadRecord(const std::wstring& wstrRecord, const SenderValues& values,
                           HitFields& fields);
    static DWORD WINAPI SendThreadProc(LPVOID pParam);
    // True only when the collector answered with status 200.
    static bool SendHit(const std::wstring& wstrTargetId, const SenderValues& values);

    // The class-wide values, owned by the one instance.
    SenderValues m_values;
    // The lock of the send threads, made on first use and never destroyed:
    // send threads that nobody waits for may still use it while the process
    // ends.
    static SendLock& SendLockInstance();
};
