// Remembered settings as string values of one registry key, created when missing.
#include "settings_win32.h"

#include <vector>
#include <windows.h>

namespace fpackrig {

namespace {

constexpr const char* kKeyPath = "Software\\Quorvel\\Packrig";

class RegistryKey : public SettingsKey {
  public:
    explicit RegistryKey(HKEY key) : key_(key) {}
    ~RegistryKey() override { RegCloseKey(key_); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // REG_SZ and REG_EXPAND_SZ are taken as stored, up to the first zero byte, nothing expanded.
    std::optional<std::string> ReadString(const char* name) override {
        DWORD type = 0, size = 0;
        LONG status = RegQueryValueExA(key_, name, nullptr, &type, nullptr, &size);
        if (status == ERROR_FILE_NOT_FOUND)
            return std::string();
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
            return std::nullopt;
        std::vector<char> data(size + 1, '\0');
        if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                             &size) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ))
            return std::nullopt;
        data[std::min<size_t>(size, data.size() - 1)] = '\0';
        return std::string(data.data());
    }

    void WriteString(const char* name, const std::string& value) override {
        RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }

  private:
    HKEY key_;
};

} // namespace

std::unique_ptr<SettingsKey> RegistrySettings::OpenKey() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return std::make_unique<RegistryKey>(key);
}

} // namespace fpackrig
