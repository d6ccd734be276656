// Splits the updater's command line into lower-cased "-key=value" switches.
#pragma once

#include <map>
#include <string>

class CCmdLineParser {
public:
    using ValueMap = std::map<std::wstring, std::wstring>;

    explicit CCmdLineParser(const wchar_t* text = nullptr);
    virtual ~CCmdLineParser() = default;

    void Parse(const wchar_t* text);
    ValueMap::const_iterator FindKey(const std::wstring& key) const;
    ValueMap::const_iterator end() const { return m_values.end(); }

    // The value of a key, or the empty string when it is absent.
    std::wstring GetValue(const std::wstring& key) const;
    const ValueMap& values() const { return m_values; }

private:
    std::wstring m_cmdLine;
    ValueMap m_values;
};
