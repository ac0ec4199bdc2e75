// Remembered settings as string values of the user's QSettings, created when missing.
#include "settings_qt.h"

#include "form_qt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace fpackrig {

namespace {

class QtSettingsKey : public SettingsKey {
  public:
    // A value that QSettings reads as anything but a text (a list, bytes, a number) is left
    // alone, as a registry value of another type is.
    std::optional<std::string> ReadString(const char* name) override {
        QVariant value = settings_.value(name);
        if (!value.isValid())
            return std::string();
        if (value.typeId() != QMetaType::QString)
            return std::nullopt;
        return prdialogs::ToUtf8(value.toString());
    }

    void WriteString(const char* name, const std::string& value) override {
        settings_.setValue(name, prdialogs::FromUtf8(value));
    }

    bool Usable() {
        settings_.sync();
        return settings_.status() == QSettings::NoError;
    }

  private:
    QSettings settings_{"Quorvel", "Packrig"};
};

// Creates the settings file, and its folder, when missing.
bool EnsureFile(const QString& path) {
    if (QFileInfo::exists(path))
        return true;
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append);
}

} // namespace

std::unique_ptr<SettingsKey> QtSettings::OpenKey() {
    if (!EnsureFile(QSettings("Quorvel", "Packrig").fileName()))
        return nullptr;
    auto key = std::make_unique<QtSettingsKey>();
    if (!key->Usable())
        return nullptr;
    return key;
}

} // namespace fpackrig
