// The main window's behaviour, apart from any window system: filling the fields, the remembered
// settings, the automatic build, the make button, the busy state and the close query. A platform
// window implements WindowView and forwards its events to WindowLogic.
#pragma once

#include "build_sfx.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace fpackrig {

// The message that the window posts to itself to start the build of paths-given mode; both of
// its parameters carry the same number.
inline constexpr unsigned WM_AUTOMAKE = 0x0D00;

inline constexpr const char* kDesignedCaption = "Packrig";
inline constexpr const char* kWaitText = "Please wait...";
inline constexpr const char* kCmdlineLinkText = "Command line support";

// One open registry key (or its stand-in) of the remembered settings.
class SettingsKey {
  public:
    virtual ~SettingsKey() = default;
    // The string value `name`; a missing value is empty text, a value of another type nothing.
    virtual std::optional<std::string> ReadString(const char* name) = 0;
    // Failures are ignored: the settings are a convenience.
    virtual void WriteString(const char* name, const std::string& value) = 0;
};

class SettingsStore {
  public:
    virtual ~SettingsStore() = default;
    // Opens the key, creating it when missing; null when that fails.
    virtual std::unique_ptr<SettingsKey> OpenKey() = 0;
};

enum class Field { Source, ExeFile, Target };

// What the logic does to the window on screen.
class WindowView {
  public:
    virtual ~WindowView() = default;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual std::string FieldText(Field field) = 0;
    virtual void SetFieldText(Field field, const std::string& text) = 0;
    // Shows "Please wait..." in place of the two links, or the links again.
    virtual void ShowWaitLabel(bool busy) = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual void PumpMessages() = 0;
    virtual void PostAutoMake() = 0;
    virtual void ShowFailure(const std::string& caption, const std::string& text) = 0;
    // Ends the message loop once the current message has been handled.
    virtual void EndApplication() = 0;
};

struct WindowStart {
    BuildFlags flags;
    std::string params[3]; // the first three positional parameters, when flags.PathsGiven
    std::string version;   // the program file's version string, possibly empty
};

using BuildFunction =
    std::function<BuildResult(const std::string& source, const std::string& exeFile,
                              const std::string& target, BuildHost& host)>;

class WindowLogic : public BuildHost {
  public:
    WindowLogic(WindowView& view, SettingsStore& settings, WindowStart start, BuildFunction build);

    void FormCreate();
    void FormShow();
    void WMAutoMake(unsigned wParam, long lParam);
    void bmakeClick();
    bool FormCloseQuery() const { return !busy_; }

    bool Busy() const { return busy_; }
    const std::string& Caption() const { return caption_; }

    void PumpMessages() override;
    void EnterBusyState() override;
    void LeaveBusyState() override;
    void StoreSettings(const std::string& source, const std::string& exeFile,
                       const std::string& target) override;
    void RequestEnd() override;

  private:
    void LoadSettings();

    WindowView& view_;
    SettingsStore& settings_;
    WindowStart start_;
    BuildFunction build_;
    std::string caption_;
    bool busy_ = false;
    bool building_ = false;
    bool endRequested_ = false;
};

// "<designed caption> <major.minor>"; ends in the blank when there is no version.
std::string ComposeCaption(const std::string& designed, const std::string& version);
// The help window's caption: the main window's, " - ", its own.
std::string HelpCaption(const std::string& mainCaption);
// A failure's message as the error box shows it: a full stop added after a letter or digit.
std::string WithFullStop(std::string message);

// The folder marks of Windows paths, and of Linux paths.
inline constexpr const char* kWindowsFolderMarks = "\\:";
inline constexpr const char* kPosixFolderMarks = "/";

// The name part of a path: everything after its last folder mark.
std::string NameWithoutFolder(const std::string& path, const char* marks = kWindowsFolderMarks);

struct SaveDialogStart {
    std::string folder;
    std::string name;
};
// Where the target's save dialog opens: C:\out.exe gives C:\ and out.exe, C:\dir\out.exe gives
// C:\dir, C:out.exe gives C:, out.exe no folder.
// With Linux marks, /out.exe gives / and /dir/out.exe gives /dir.
SaveDialogStart SplitTargetForSaveDialog(const std::string& target,
                                         const char* marks = kWindowsFolderMarks);

} // namespace fpackrig
