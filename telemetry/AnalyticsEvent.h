#pragma once
// The one analytics event record: a JSON object with the optional members
// "event_category", "event_action", "event_label" and "event_value". Text is
// wide in the program and UTF-8 inside the record.

#include <json/json.h>

#include <string>

class AnalyticsEvent {
public:
    static constexpr const char* kCategory = "event_category";
    static constexpr const char* kAction = "event_action";
    static constexpr const char* kLabel = "event_label";
    static constexpr const char* kValue = "event_value";

    // An empty object.
    AnalyticsEvent();
    // Takes a copy of the record; anything but an object becomes an empty
    // object.
    explicit AnalyticsEvent(const Json::Value& record);

    // False (member unchanged) when the text cannot be converted.
    bool SetCategory(const std::wstring& wstrCategory) { return SetText(kCategory, wstrCategory); }
    bool SetAction(const std::wstring& wstrAction) { return SetText(kAction, wstrAction); }
    bool SetLabel(const std::wstring& wstrLabel) { return SetText(kLabel, wstrLabel); }
    void SetValue(const Json::Value& value) { m_record[kValue] = value; }

    const Json::Value& Record() const { return m_record; }

private:
    bool SetText(const char* pszMember, const std::wstring& wstrText);

    Json::Value m_record;
};
