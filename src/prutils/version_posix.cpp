// Linux side of the version helpers: the builder's own version is compiled in, since an ELF file
// carries no version resource; addresses are opened with xdg-open.
#include "cmdline.h"
#include "version.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace prutils {

std::string FileVersionString(const std::string& path) {
    char own[4096];
    ssize_t n = readlink("/proc/self/exe", own, sizeof(own) - 1);
    if (n <= 0 || path != std::string(own, static_cast<size_t>(n)))
        return {};
    return BuildVersion();
}

bool ShellOpen(const std::string& text) {
    if (TrimControlAndBlank(text).empty())
        return false;
    char opener[] = "xdg-open";
    std::string argument = text;
    char* argv[] = {opener, argument.data(), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, opener, nullptr, nullptr, argv, environ) != 0)
        return false;
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace prutils
