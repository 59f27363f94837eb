#include "HttpAgent.h"

#include "CvComn_Log.h"
#include "CvComn_String.h"
#include "HttpBase.h"

#include <new>

using CvCommon::Log::LevelError;
using CvCommon::Log::LevelInfo;
using CvCommon::Log::LevelTrace;

namespace {

bool IsTrue(const Json::Value& properties, const char* pszName) {
    if (!properties.isObject() || !properties.isMember(pszName))
        return false;
    const Json::Value& value = properties[pszName];
    return value.isBool() && value.asBool();
}

// The value's string conversion; a value without one (an array or an
// object) reads as empty text.
std::wstring Widen(const Json::Value& value) {
    std::wstring wstr;
    if (value.isConvertibleTo(Json::stringValue))
        CvCommon::String::UTF8ToWChar(value.asString(), wstr);
    return wstr;
}

} // namespace

HttpGeneric::HttpGeneric(WinHttpApi& api) : m_api(api) {}
HttpGeneric::~HttpGeneric() = default;

int HttpGeneric::operator()(const std::wstring& wstrUrl, const std::wstring& wstrBody,
                            const Json::Value& requestProperties, const Json::Value& headers,
                            std::wstring* pResponse, Json::Value* pResponseProperties,
                            const ProxyProvider* pProxy) {
    if (wstrUrl.empty()) {
        CVLOG(LevelError, L"HttpGeneric::operator (): Download URL is empty!!!");
        return kHttpEmptyUrl;
    }

    m_pHttp.reset();
    m_pHttp.reset(new (std::nothrow) HttpBase(m_api));
    if (!m_pHttp) {
        CVLOG(LevelError, L"HttpGeneric::operator (): Out of memory.");
        return kHttpOutOfMemory;
    }

    int nResult = kHttpSendFailed;
    do {
        if (!m_pHttp->Connect(wstrUrl, pProxy)) {
            CVLOG(LevelError,
                  L"HttpGeneric::operator (): failed to establish HTTP connection, "
                  L"server_addr=\"%ls\"",
                  wstrUrl.c_str());
            nResult = kHttpConnectFailed;
            break;
        }
        CVLOG(LevelTrace, L"HttpGeneric::operator (): connected to %ls", wstrUrl.c_str());

        if (headers.empty()) {
            CVLOG(LevelInfo, L"HttpGeneric::operator (): No http header set");
        } else if (headers.isObject()) {
            for (const std::string& strName : headers.getMemberNames()) {
                std::wstring wstrName, wstrValue;
                CvCommon::String::UTF8ToWChar(strName, wstrName);
                wstrValue = Widen(headers[strName]);
                m_pHttp->AddHeader(wstrName, wstrValue);
                CVLOG(LevelInfo, L"header [%ls : %ls] added", wstrName.c_str(), wstrValue.c_str());
            }
        }

        std::string strBody;
        if (IsTrue(requestProperties, "IsBinaryRequest")) {
            strBody.reserve(wstrBody.size());
            for (wchar_t ch : wstrBody)
                strBody.push_back(static_cast<char>(ch & 0xFF));
        } else {
            DWORD dwError = 0;
            if (!CvCommon::String::WCharToUTF8(wstrBody, strBody, &dwError)) {
                CVLOG(LevelError,
                      L"HttpGeneric::operator (): failed to call WCharToUTF8, err=0x%08x", dwError);
                nResult = kHttpBodyConversion;
                break;
            }
        }
        const std::wstring wstrMethod =
            requestProperties.isObject() ? Widen(requestProperties["Method"]) : std::wstring();
        m_pHttp->AddDataByMethod(wstrMethod, strBody.data(), strBody.size());
        CVLOG(LevelTrace, L"HttpGeneric::operator (): body=\"%hs\"", strBody.c_str());

        if (!m_pHttp->Send()) {
            nResult = kHttpSendFailed;
            break;
        }
        CVLOG(LevelTrace, L"HttpGeneric::operator (): send executed");

        nResult = m_pHttp->StatusCode();

        if (pResponse != nullptr) {
            std::string strData;
            if (!m_pHttp->QueryData(strData)) {
                CVLOG(LevelError, L"HttpGeneric::operator (): failed to get HTTP responsed data");
                nResult = kHttpReadFailed;
                break;
            }
            if (IsTrue(requestProperties, "IsBinaryResponse")) {
                pResponse->assign(strData.size(), L'\0');
                for (size_t i = 0; i < strData.size(); ++i)
                    (*pResponse)[i] = static_cast<wchar_t>(static_cast<unsigned char>(strData[i]));
            } else {
                DWORD dwError = 0;
                if (!CvCommon::String::UTF8ToWChar(strData, *pResponse, &dwError)) {
                    CVLOG(LevelError,
                          L"HttpGeneric::operator (): failed to call UTF8ToWChar, err=0x%08x",
                          dwError);
                    nResult = kHttpResponseConversion;
                    break;
                }
            }
        }

        if (pResponseProperties != nullptr) {
            const std::wstring wstrDate = m_pHttp->DateHeader();
            const std::wstring wstrModified = m_pHttp->ModifiedHeader();
            std::string strValue;
            if (!wstrDate.empty() && CvCommon::String::WCharToUTF8(wstrDate, strValue))
                (*pResponseProperties)["Date"] = strValue;
            if (!wstrModified.empty() && CvCommon::String::WCharToUTF8(wstrModified, strValue))
                (*pResponseProperties)["Last-Modified"] = strValue;
        }

        m_wstrResponseHeaders.clear();
        m_wstrResponseHeaders = m_pHttp->RawHeaders();
    } while (false);

    m_pHttp.reset();
    return nResult;
}

int HttpGetSimple::Get(const std::wstring& wstrUrl, const std::wstring& wstrBody,
                       std::wstring* pResponse, const ProxyProvider* pProxy) {
    Json::Value requestProperties(Json::objectValue);
    requestProperties["Method"] = "GET";
    const Json::Value headers;
    return (*this)(wstrUrl, wstrBody, requestProperties, headers, pResponse, nullptr, pProxy);
}
