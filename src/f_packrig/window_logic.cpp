// The main window's behaviour, shared by the Windows and the Linux window.
#include "window_logic.h"

#include "version.h"

#include <string_view>

namespace fpackrig {

namespace {

constexpr const char* kSettingNames[3] = {"Source", "ExeFile", "Target"};
constexpr Field kFields[3] = {Field::Source, Field::ExeFile, Field::Target};

size_t AfterLastFolderMark(const std::string& path, const char* marks) {
    size_t at = path.find_last_of(marks);
    return at == std::string::npos ? 0 : at + 1;
}

} // namespace

WindowLogic::WindowLogic(WindowView& view, SettingsStore& settings, WindowStart start,
                         BuildFunction build)
    : view_(view), settings_(settings), start_(std::move(start)), build_(std::move(build)) {}

void WindowLogic::FormCreate() {
    caption_ = ComposeCaption(kDesignedCaption, start_.version);
    view_.SetCaption(caption_);
    if (start_.flags.PathsGiven) {
        for (int i = 0; i < 3; ++i)
            view_.SetFieldText(kFields[i], start_.params[i]);
        return;
    }
    LoadSettings();
}

void WindowLogic::LoadSettings() {
    std::unique_ptr<SettingsKey> key = settings_.OpenKey();
    if (!key)
        return;
    for (int i = 0; i < 3; ++i)
        if (std::optional<std::string> value = key->ReadString(kSettingNames[i]))
            view_.SetFieldText(kFields[i], *value);
}

void WindowLogic::StoreSettings(const std::string& source, const std::string& exeFile,
                                const std::string& target) {
    std::unique_ptr<SettingsKey> key = settings_.OpenKey();
    if (!key)
        return;
    key->WriteString(kSettingNames[0], source);
    key->WriteString(kSettingNames[1], exeFile);
    key->WriteString(kSettingNames[2], target);
}

void WindowLogic::FormShow() {
    if (start_.flags.PathsGiven)
        view_.PostAutoMake();
}

void WindowLogic::WMAutoMake(unsigned wParam, long lParam) {
    if (wParam == WM_AUTOMAKE && lParam == static_cast<long>(WM_AUTOMAKE) &&
        start_.flags.PathsGiven)
        bmakeClick();
}

void WindowLogic::bmakeClick() {
    // The pipeline pumps messages; a click that slips in meanwhile must not start a second build.
    if (building_)
        return;
    building_ = true;
    view_.SetEnabled(false);
    BuildResult result = build_(view_.FieldText(Field::Source), view_.FieldText(Field::ExeFile),
                                view_.FieldText(Field::Target), *this);
    view_.SetEnabled(true);
    building_ = false;
    if (result.outcome == BuildOutcome::Failed)
        view_.ShowFailure(caption_, WithFullStop(result.error));
    if (endRequested_)
        view_.EndApplication();
}

void WindowLogic::PumpMessages() {
    view_.PumpMessages();
}

void WindowLogic::EnterBusyState() {
    busy_ = true;
    view_.ShowWaitLabel(true);
    view_.PumpMessages();
}

void WindowLogic::LeaveBusyState() {
    busy_ = false;
    view_.ShowWaitLabel(false);
}

void WindowLogic::RequestEnd() {
    endRequested_ = true;
}

std::string ComposeCaption(const std::string& designed, const std::string& version) {
    return designed + " " + prutils::MajorMinorVersion(version);
}

std::string HelpCaption(const std::string& mainCaption) {
    return mainCaption + " - " + kCmdlineLinkText;
}

std::string WithFullStop(std::string message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        message += '.';
    return message;
}

std::string NameWithoutFolder(const std::string& path, const char* marks) {
    return path.substr(AfterLastFolderMark(path, marks));
}

SaveDialogStart SplitTargetForSaveDialog(const std::string& target, const char* marks) {
    size_t nameAt = AfterLastFolderMark(target, marks);
    std::string folder = target.substr(0, nameAt);
    // Drop the final separator unless it is needed: a root ("C:\", "\", "/") or a UNC start
    // ("\\").
    char separator = marks[0];
    if (folder.size() > 1 && folder.back() == separator) {
        char before = folder[folder.size() - 2];
        if (std::string_view(marks).find(before) == std::string_view::npos)
            folder.pop_back();
    }
    return {folder, target.substr(nameAt)};
}

} // namespace fpackrig
