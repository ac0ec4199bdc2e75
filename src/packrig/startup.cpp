// Start-up of the builder, shared by the Windows and the Linux entry points.
#include "startup.h"

#include "about.h"
#include "boxes.h"
#include "filesys.h"
#include "language.h"
#include "version.h"

#include <cstdlib>

namespace packrig {

namespace {

// A headless build: no window, and notes on the terminal.
class TerminalHost : public fpackrig::BuildHost {
  public:
    void Note(const std::string& line) override { prdialogs::WriteTerminalLine(line); }
};

} // namespace

StartupState ReadSwitches(const prutils::CommandLine& commandLine) {
    StartupState state;
    state.flags.OverwriteTarget = commandLine.FindCmdLineSwitch("o");
    state.flags.ShowCompletion = !commandLine.FindCmdLineSwitch("c");
    state.Headless = commandLine.FindCmdLineSwitch("h");
    state.flags.PathsGiven = commandLine.PositionalParamCount() >= 3;
    state.flags.Compress = commandLine.FindCmdLineSwitch("z");
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"))
        state.flags.SourceDateEpoch = epoch;
    return state;
}

int FinishHeadlessBuild(const fpackrig::BuildResult& result) {
    switch (result.outcome) {
    case fpackrig::BuildOutcome::Built:
        return kExitSuccess;
    case fpackrig::BuildOutcome::Rejected:
    case fpackrig::BuildOutcome::Declined:
        return kExitRejected;
    case fpackrig::BuildOutcome::Stopped:
        return kExitFailure;
    case fpackrig::BuildOutcome::Failed:
        break;
    }
    prdialogs::ShowApplicationError("Input/output error: " + result.error);
    if (!result.errorPath.empty())
        prdialogs::WriteTerminalLine("The input/output error concerns " + result.errorPath);
    return kExitFailure;
}

int RunHeadless(const prutils::CommandLine& commandLine, const StartupState& state) {
    if (!state.flags.PathsGiven)
        return kExitRejected;
    TerminalHost noWindow;
    return FinishHeadlessBuild(fpackrig::BuildSfx(
        commandLine.PositionalParam(1), commandLine.PositionalParam(2),
        commandLine.PositionalParam(3), state.flags, state.RuntimeModuleImage, noWindow));
}

int StartBuilder(const prutils::CommandLine& commandLine, StartupState& state) {
    prdialogs::DetectLanguage();
    prdialogs::AboutWord = "packrig";
    bool compressed = commandLine.FindCmdLineSwitch("z");
    prutils::ResourceBytes image;
    if (!prutils::RuntimeModuleImage(compressed, image)) {
        prdialogs::ShowError("Internal error\r\nThe program is corrupted");
        return kExitFailure;
    }
    fpackrig::SeedIdentifier(fsys::RandomSeed());
    state = ReadSwitches(commandLine);
    state.RuntimeModuleImage = image;
    if (state.Headless)
        return RunHeadless(commandLine, state);
    return -1;
}

fpackrig::WindowStart MakeWindowStart(const prutils::CommandLine& commandLine,
                                      const StartupState& state) {
    fpackrig::WindowStart start;
    start.flags = state.flags;
    for (int i = 0; i < 3; ++i)
        start.params[i] = commandLine.PositionalParam(i + 1);
    start.version = prutils::FileVersionString(commandLine.PositionalParam(0));
    return start;
}

} // namespace packrig
