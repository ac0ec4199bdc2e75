// The main window's behaviour against a recording view and an in-memory settings key.
#include "window_logic.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <vector>

namespace fpackrig {
namespace {

struct FakeView : WindowView {
    std::string caption;
    std::map<Field, std::string> fields;
    std::vector<std::string> events;
    bool enabled = true;
    int autoMakePosts = 0;

    void SetCaption(const std::string& text) override { caption = text; }
    std::string FieldText(Field field) override { return fields[field]; }
    void SetFieldText(Field field, const std::string& text) override { fields[field] = text; }
    void ShowWaitLabel(bool busy) override { events.push_back(busy ? "wait" : "links"); }
    void SetEnabled(bool on) override {
        enabled = on;
        events.push_back(on ? "enable" : "disable");
    }
    void PumpMessages() override { events.push_back("pump"); }
    void PostAutoMake() override { ++autoMakePosts; }
    void ShowFailure(const std::string& boxCaption, const std::string& text) override {
        events.push_back("failure:" + boxCaption + "|" + text);
    }
    void EndApplication() override { events.push_back("end"); }
};

// Values are either strings or, as "#number", values of another type.
struct FakeSettings : SettingsStore {
    bool canOpen = true;
    int opened = 0;
    std::map<std::string, std::string> values;

    struct Key : SettingsKey {
        FakeSettings& store;
        explicit Key(FakeSettings& s) : store(s) {}
        std::optional<std::string> ReadString(const char* name) override {
            auto found = store.values.find(name);
            if (found == store.values.end())
                return std::string();
            if (found->second.starts_with("#"))
                return std::nullopt;
            return found->second;
        }
        void WriteString(const char* name, const std::string& value) override {
            store.values[name] = value;
        }
    };
    std::unique_ptr<SettingsKey> OpenKey() override {
        ++opened;
        return canOpen ? std::make_unique<Key>(*this) : nullptr;
    }
};

struct Fixture : ::testing::Test {
    FakeView view;
    FakeSettings settings;
    WindowStart start;
    std::vector<std::string> built; // the three texts of every build
    std::function<BuildResult(BuildHost&)> onBuild = [](BuildHost&) {
        return BuildResult{BuildOutcome::Rejected, {}};
    };

    WindowLogic Make() {
        return WindowLogic(view, settings, start,
                           [this](const std::string& s, const std::string& e, const std::string& t,
                                  BuildHost& host) {
                               built.push_back(s + "|" + e + "|" + t);
                               return onBuild(host);
                           });
    }
};

TEST_F(Fixture, CaptionCarriesMajorMinorVersionOrEndsInBlank) {
    start.version = "3.0.21.61";
    WindowLogic logic = Make();
    logic.FormCreate();
    EXPECT_EQ(view.caption, "Packrig 3.0");
    EXPECT_EQ(logic.Caption(), "Packrig 3.0");

    start.version = "";
    WindowLogic bare = Make();
    bare.FormCreate();
    EXPECT_EQ(view.caption, "Packrig ");
}

TEST_F(Fixture, RememberedSettingsFillFieldsAndLeaveUnreadableOnesAlone) {
    settings.values = {{"Source", "#7"}, {"ExeFile", "setup.exe"}, {"Target", "C:\\out\\a.exe"}};
    view.fields[Field::Source] = "unchanged";
    Make().FormCreate();
    EXPECT_EQ(view.fields[Field::Source], "unchanged");
    EXPECT_EQ(view.fields[Field::ExeFile], "setup.exe");
    EXPECT_EQ(view.fields[Field::Target], "C:\\out\\a.exe");
}

TEST_F(Fixture, FirstStartEmptiesFieldsAndUnopenableKeyTouchesNothing) {
    Make().FormCreate();
    EXPECT_EQ(settings.opened, 1);
    EXPECT_EQ(view.fields[Field::Source], "");
    EXPECT_EQ(view.fields.size(), 3u);

    FakeView other;
    settings.canOpen = false;
    WindowLogic logic(other, settings, start, nullptr);
    logic.FormCreate();
    EXPECT_TRUE(other.fields.empty());
}

TEST_F(Fixture, PathsGivenFillsUntrimmedFieldsBuildsOnceAutomaticallyAndNeverTouchesSettings) {
    start.flags.PathsGiven = true;
    start.params[0] = " C:\\src ";
    start.params[1] = "setup.exe";
    start.params[2] = "C:\\out\\x.exe";
    WindowLogic logic = Make();
    logic.FormCreate();
    EXPECT_EQ(view.fields[Field::Source], " C:\\src ");
    logic.FormShow();
    EXPECT_EQ(view.autoMakePosts, 1);

    logic.WMAutoMake(WM_AUTOMAKE, 0);
    logic.WMAutoMake(0, WM_AUTOMAKE);
    EXPECT_TRUE(built.empty());
    logic.WMAutoMake(WM_AUTOMAKE, WM_AUTOMAKE);
    ASSERT_EQ(built.size(), 1u);
    EXPECT_EQ(built[0], " C:\\src |setup.exe|C:\\out\\x.exe");

    logic.StoreSettings("a", "b", "c"); // the pipeline never calls it here; nothing breaks if so
    EXPECT_EQ(settings.opened, 1);
}

TEST_F(Fixture, WithoutPathsTheAutomaticBuildNeverStarts) {
    WindowLogic logic = Make();
    logic.FormCreate();
    logic.FormShow();
    EXPECT_EQ(view.autoMakePosts, 0);
    logic.WMAutoMake(WM_AUTOMAKE, WM_AUTOMAKE);
    EXPECT_TRUE(built.empty());
}

TEST_F(Fixture, BusyStateRefusesCloseOnlyWhileWriting) {
    WindowLogic logic = Make();
    std::vector<bool> closeAllowed;
    onBuild = [&](BuildHost& host) {
        closeAllowed.push_back(logic.FormCloseQuery());
        host.EnterBusyState();
        closeAllowed.push_back(logic.FormCloseQuery());
        host.LeaveBusyState();
        closeAllowed.push_back(logic.FormCloseQuery());
        return BuildResult{BuildOutcome::Rejected, {}};
    };
    logic.bmakeClick();
    EXPECT_EQ(closeAllowed, (std::vector<bool>{true, false, true}));
    // The busy label is painted before the writing goes on.
    EXPECT_EQ(view.events,
              (std::vector<std::string>{"disable", "wait", "pump", "links", "enable"}));
}

TEST_F(Fixture, FailureIsShownAfterReenablingWithTitleAndFullStop) {
    start.version = "3.0.21.61";
    WindowLogic logic = Make();
    logic.FormCreate();
    onBuild = [](BuildHost& host) {
        host.EnterBusyState();
        host.LeaveBusyState();
        return BuildResult{BuildOutcome::Failed, "Disk full"};
    };
    logic.bmakeClick();
    EXPECT_EQ(view.events.back(), "failure:Packrig 3.0|Disk full.");
    EXPECT_EQ(view.events[view.events.size() - 2], "enable");
    EXPECT_TRUE(view.enabled);
    EXPECT_TRUE(logic.FormCloseQuery());
}

TEST_F(Fixture, SuccessfulBuildEndsTheApplicationAfterTheHandler) {
    WindowLogic logic = Make();
    onBuild = [](BuildHost& host) {
        host.RequestEnd();
        return BuildResult{BuildOutcome::Built, {}};
    };
    logic.bmakeClick();
    EXPECT_EQ(view.events, (std::vector<std::string>{"disable", "enable", "end"}));
}

TEST_F(Fixture, ClickArrivingWhileBuildingDoesNotStartASecondBuild) {
    WindowLogic logic = Make();
    onBuild = [&](BuildHost&) {
        logic.bmakeClick();
        logic.WMAutoMake(WM_AUTOMAKE, WM_AUTOMAKE);
        return BuildResult{BuildOutcome::Rejected, {}};
    };
    logic.bmakeClick();
    EXPECT_EQ(built.size(), 1u);
    EXPECT_TRUE(view.enabled);
}

// With the real pipeline: a rejected build still remembers the trimmed, normalised texts.
TEST_F(Fixture, RejectedBuildStillStoresNormalisedSettings) {
    namespace fs = std::filesystem;
    std::string missing = (fs::temp_directory_path() / "packrig-window-missing-dir").string();
    prutils::ResourceBytes image{};
    WindowLogic logic(view, settings, start,
                      [&](const std::string& s, const std::string& e, const std::string& t,
                          BuildHost& host) { return BuildSfx(s, e, t, start.flags, image, host); });
    view.fields = {{Field::Source, " " + missing + " "},
                   {Field::ExeFile, " setup.exe\t"},
                   {Field::Target, "  /tmp/out.exe"}};
    logic.bmakeClick();
    EXPECT_EQ(settings.values["Source"], missing + "/");
    EXPECT_EQ(settings.values["ExeFile"], "setup.exe");
    EXPECT_EQ(settings.values["Target"], "/tmp/out.exe");
    EXPECT_TRUE(view.enabled);
}

TEST(WindowRules, FullStopFollowsOnlyCharactersAboveTheDot) {
    EXPECT_EQ(WithFullStop("Disk full"), "Disk full.");
    EXPECT_EQ(WithFullStop("I/O error 32"), "I/O error 32.");
    EXPECT_EQ(WithFullStop("Done."), "Done.");
    EXPECT_EQ(WithFullStop("Wait-"), "Wait-");
    EXPECT_EQ(WithFullStop(""), "");
    EXPECT_EQ(WithFullStop("Fran\xE7"), "Fran\xE7.");
}

TEST(WindowRules, OpenDialogKeepsOnlyTheName) {
    EXPECT_EQ(NameWithoutFolder("C:\\src\\tools\\setup.exe"), "setup.exe");
    EXPECT_EQ(NameWithoutFolder("D:setup.bat"), "setup.bat");
    EXPECT_EQ(NameWithoutFolder("setup.exe"), "setup.exe");
}

TEST(WindowRules, SaveDialogStartsInTheTargetsFolder) {
    auto split = [](const std::string& t) {
        SaveDialogStart s = SplitTargetForSaveDialog(t);
        return s.folder + "|" + s.name;
    };
    EXPECT_EQ(split("C:\\out.exe"), "C:\\|out.exe");
    EXPECT_EQ(split("C:\\dir\\out.exe"), "C:\\dir|out.exe");
    EXPECT_EQ(split("C:out.exe"), "C:|out.exe");
    EXPECT_EQ(split("out.exe"), "|out.exe");
    EXPECT_EQ(split("\\out.exe"), "\\|out.exe");
    EXPECT_EQ(split("\\\\server\\share\\"), "\\\\server\\share|");
}

// Linux paths: "\\" and ":" are ordinary characters of a name there.
TEST(WindowRules, LinuxPathsSplitAtSlashesOnly) {
    auto split = [](const std::string& t) {
        SaveDialogStart s = SplitTargetForSaveDialog(t, kPosixFolderMarks);
        return s.folder + "|" + s.name;
    };
    EXPECT_EQ(split("/out.exe"), "/|out.exe");
    EXPECT_EQ(split("/home/me/dir/out.exe"), "/home/me/dir|out.exe");
    EXPECT_EQ(split("out.exe"), "|out.exe");
    EXPECT_EQ(split("/a/b:c\\d.exe"), "/a|b:c\\d.exe");
    EXPECT_EQ(NameWithoutFolder("/src/tools/a:b.exe", kPosixFolderMarks), "a:b.exe");
}

} // namespace
} // namespace fpackrig
