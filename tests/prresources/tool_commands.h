// Command loop shared by the native and the Win32 test helper: "transfer <exe> <target>" runs
// both transfers and prints their results, "dump <file>" prints a file's resources and an empty
// line, so that the output of several dumps can be told apart.
#pragma once

#include "transfer.h"

#include <cstdio>
#include <string>

namespace prresources::testing {

inline int RunCommands(int argc, char** argv, int (*dump)(const char* file)) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        std::string command = argv[i];
        if (command == "transfer" && i + 2 < argc) {
            bool icon = TransferIcon(argv[i + 1], argv[i + 2]);
            bool version = TransferVersionInfo(argv[i + 1], argv[i + 2]);
            std::printf("icon=%d version=%d\n", icon ? 1 : 0, version ? 1 : 0);
            i += 2;
        } else if (command == "dump" && i + 1 < argc) {
            status |= dump(argv[++i]);
            std::printf("\n");
        } else {
            std::fprintf(stderr, "usage: %s (transfer <exe> <target> | dump <file>)...\n", argv[0]);
            return 2;
        }
        std::fflush(stdout);
    }
    return status;
}

} // namespace prresources::testing
