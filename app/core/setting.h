// Process-wide settings: the product reads them, tests and tools replace them for a scope.
#pragma once

#include <mutex>
#include <utility>

// One setting, read by any thread. Its value changes only through an Override, which puts the
// replaced value back when it ends: no test can leave its setting behind for the next one.
template <class T>
class Setting {
public:
    Setting() = default;
    Setting(const Setting&) = delete;
    Setting& operator=(const Setting&) = delete;

    T Get() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_value;
    }

    // Overrides of one setting nest: each ends before the one it replaced.
    class [[nodiscard]] Override {
    public:
        Override(Setting& setting, T value) : m_setting(setting), m_saved(setting.Exchange(std::move(value))) {}
        ~Override() { m_setting.Exchange(std::move(m_saved)); }
        Override(const Override&) = delete;
        Override& operator=(const Override&) = delete;

    private:
        Setting& m_setting;
        T m_saved;
    };

private:
    T Exchange(T value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::swap(m_value, value);
        return value;
    }

    mutable std::mutex m_mutex;
    T m_value{};
};
