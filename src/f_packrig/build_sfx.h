// The build pipeline: checks the three inputs, writes the runtime module image, has the icon and
// version transferred, and appends the identifier, one entry per file of the tree, and the
// terminator; or, compressed, the identifier, the compressed payload's header and its stream.
#pragma once

#include "ownresource.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fpackrig {

struct BuildFlags {
    bool OverwriteTarget = false; // replace an existing target without asking
    bool ShowCompletion = true;   // announce a successful build
    bool PathsGiven = false;      // paths came from the command line: remember nothing
    bool Compress = false;        // write a compressed payload behind the decoding module
    // The value of SOURCE_DATE_EPOCH when it is set: the build is then reproducible.
    std::optional<std::string> SourceDateEpoch;
};

// What the pipeline does to its front end. A headless build uses these defaults: no window to
// pump, switch or close, and no settings to store.
class BuildHost {
  public:
    virtual ~BuildHost() = default;
    virtual void PumpMessages() {}
    virtual void EnterBusyState() {}
    virtual void LeaveBusyState() {}
    virtual void StoreSettings(const std::string& /*source*/, const std::string& /*exeFile*/,
                               const std::string& /*target*/) {}
    virtual void RequestEnd() {}
    // A line that adds what a user needs to a message: on the terminal of a headless build,
    // nowhere in a window.
    virtual void Note(const std::string& /*line*/) {}
};

enum class BuildOutcome {
    Built,    // the SFX file is complete
    Rejected, // an input failed its check; an error box said why
    Declined, // the user kept the existing target
    Stopped,  // the tree cannot be stored as it is (a name the code page cannot hold, or no entry
              // would be marked as the executable file); an error box said why
    Failed,   // an input/output error ended the writing; `error` holds its message
};

struct BuildResult {
    BuildOutcome outcome;
    std::string error;
    std::string errorPath = {}; // the file that a failure concerns, when one does
};

// `image` is the runtime module that heads the SFX file: the decoding one when flags.Compress
// is set.
BuildResult BuildSfx(std::string_view source, std::string_view exeFile, std::string_view target,
                     const BuildFlags& flags, const prutils::ResourceBytes& image, BuildHost& host);

// The directory part of `target` (before its last path separator), or empty.
std::string TargetDirectory(std::string_view target);
// True when `target` ends in ".exe" after its last path separator, in any letter case.
bool HasExeExtension(std::string_view target);
// The longest stored name that can unpack: a Windows path holds 259 characters (260 with its
// terminating zero), and the shortest working folder, "C:\~sfx" with the ten characters of the
// identifier and "\", takes 18 of them.
inline constexpr size_t kLongestWindowsPath = 259;
inline constexpr size_t kShortestWorkingFolder = 18;
inline constexpr size_t kLongestStoredName = kLongestWindowsPath - kShortestWorkingFolder;

// Why a stored name cannot be unpacked on Windows, or empty when it can.
std::string WindowsNameProblem(std::string_view component);

// Seconds since 1970-01-01 00:00:00 UTC from a SOURCE_DATE_EPOCH value: decimal digits only,
// at most 253402300799 (the end of the year 9999); nothing when the text is not such a number.
std::optional<int64_t> ParseSourceDateEpoch(std::string_view text);

// The random generator behind the identifier; seeded once at start-up.
void SeedIdentifier(uint32_t seed);

} // namespace fpackrig
