#include "AnalyticsEvent.h"

#include "CvComn_String.h"

AnalyticsEvent::AnalyticsEvent() : m_record(Json::objectValue) {}

AnalyticsEvent::AnalyticsEvent(const Json::Value& record)
    : m_record(record.isObject() ? record : Json::Value(Json::objectValue)) {}

bool AnalyticsEvent::SetText(const char* pszMember, const std::wstring& wstrText) {
    std::string strText;
    if (!CvCommon::String::WCharToUTF8(wstrText, strText))
        return false;
    m_record[pszMember] = strText;
    return true;
}
