// packrig-inspect: lists, verifies or unpacks an SFX file on Linux, reading it with the runtime
// module's own payload code.
#include "codepage.h"
#include "display.h"
#include "files_posix.h"
#include "inspection.h"
#include "version.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int kSound = 0;
constexpr int kRefused = 1; // the runtime module would refuse the file, or unpacking failed
constexpr int kUsage = 2;   // bad arguments, or the file cannot be opened

const char kUsageText[] =
    "usage: packrig-inspect [--codepage=N] [--json | --verify | --extract <dir>] <sfxfile>\n"
    "       packrig-inspect --help | --version\n"
    "  (none)         list the identifier and every entry\n"
    "  --json         the same listing as JSON\n"
    "  --verify       check structure and checksums as the runtime module does\n"
    "  --extract DIR  unpack into DIR after a successful check\n"
    "  --codepage=N   the names are in Windows code page N, as the builder was told\n"
    "                 (1250, 1251, 1252, 1253, 1254 or 1257; 1252 when not given);\n"
    "                 a file built with --codepage=utf-8 is read in UTF-8\n";

struct Options {
    enum class Mode { List, Json, Verify, Extract } mode = Mode::List;
    std::string file;
    std::string folder;
};

// --codepage=N first: the code page that names are read, shown, compared and unpacked in.
bool TakeCodePage(int argc, char** argv, int& i) {
    constexpr std::string_view kSwitch = "--codepage=";
    if (i >= argc || !std::string_view(argv[i]).starts_with(kSwitch))
        return true;
    std::string_view value = std::string_view(argv[i++]).substr(kSwitch.size());
    std::optional<prutils::CodePage> codePage = prutils::CodePageNamed(value);
    if (!codePage) {
        std::fprintf(stderr,
                     "packrig-inspect: --codepage=%.*s names no code page that names "
                     "can be stored in; use one of %s.\n",
                     static_cast<int>(value.size()), value.data(),
                     prutils::CodePageNames().c_str());
        return false;
    }
    prutils::SetTargetCodePage(*codePage);
    return true;
}

bool ParseArguments(int argc, char** argv, Options& options) {
    int i = 1;
    if (!TakeCodePage(argc, argv, i))
        return false;
    if (i < argc && argv[i][0] == '-' && argv[i][1] == '-') {
        std::string option = argv[i++];
        if (option == "--json")
            options.mode = Options::Mode::Json;
        else if (option == "--verify")
            options.mode = Options::Mode::Verify;
        else if (option == "--extract" && i < argc)
            options.mode = Options::Mode::Extract, options.folder = argv[i++];
        else
            return false;
    }
    if (i + 1 != argc || (options.mode == Options::Mode::Extract && options.folder.empty()))
        return false;
    options.file = argv[i];
    return true;
}

int Refused(const inspect::Inspection& result, const std::string& path) {
    std::fprintf(stderr, "packrig-inspect: refused: %s\n", inspect::Reason(result, path).c_str());
    return kRefused;
}

int Extract(inspect::FileSource& source, const Options& options) {
    inspect::Sink nothing;
    inspect::Inspection check = inspect::Inspect(source, nothing, "", false);
    if (!check.IsSound())
        return Refused(check, options.file);
    inspect::FolderSink folder;
    if (!folder.Open(options.folder, source)) {
        std::fprintf(stderr, "packrig-inspect: %s: %s\n",
                     inspect::ShownPath(options.folder).c_str(), std::strerror(errno));
        return kRefused;
    }
    inspect::Inspection done = inspect::Inspect(source, folder, "", false);
    if (!done.IsSound())
        return Refused(done, options.file);
    std::printf("%zu files unpacked into %s\n", done.entries.size(),
                inspect::ShownPath(options.folder).c_str());
    return kSound;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsageText, stdout);
        return kSound;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("packrig-inspect %s\n", prutils::BuildVersion().c_str());
        return kSound;
    }
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    inspect::FileSource source;
    if (!source.Open(options.file)) {
        std::fprintf(stderr, "packrig-inspect: %s: %s\n", inspect::ShownPath(options.file).c_str(),
                     std::strerror(errno));
        return kUsage;
    }
    if (options.mode == Options::Mode::Extract)
        return Extract(source, options);
    inspect::Sink nothing;
    bool listing = options.mode != Options::Mode::Verify;
    inspect::Inspection result = inspect::Inspect(source, nothing, "", listing);
    if (options.mode == Options::Mode::Verify) {
        if (!result.IsSound())
            return Refused(result, options.file);
        std::printf("%s: sound\n", inspect::ShownPath(options.file).c_str());
        return kSound;
    }
    std::fputs(options.mode == Options::Mode::Json
                   ? inspect::FormatJson(result, options.file).c_str()
                   : inspect::FormatText(result, options.file).c_str(),
               stdout);
    return result.IsSound() ? kSound : kRefused;
}
