// The fuzzers' host of the payload code: the input as the own file, and checks on every path the
// unpack loop makes (inside WorkDir, in its buffer, never leaving it through ".." or a drive),
// counting the bytes written. Also the fixed small image that most inputs go behind.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive.h"
#include "fuzz_file.h"

namespace sfxfuzz {

inline constexpr const char* kWorkDirBase = "C:\\TEMP";

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Walks the components of `rel` the way Windows resolves them, counting any component of dots
// and blanks with two dots or more as a step up, and fails if the walk leaves its start.
inline void CheckStaysInside(const char* rel) {
    if (*rel == 0 || IsSeparator(*rel))
        Fail("empty or rooted entry path");
    int depth = 0;
    const char* p = rel;
    while (*p != 0) {
        const char* start = p;
        while (*p != 0 && !IsSeparator(*p)) {
            if (*p == ':')
                Fail("colon in entry path");
            ++p;
        }
        size_t dots = 0;
        bool onlyDotsAndBlanks = true;
        for (const char* c = start; c < p; ++c) {
            if (*c == '.')
                ++dots;
            else if (*c != ' ')
                onlyDotsAndBlanks = false;
        }
        if (onlyDotsAndBlanks)
            depth -= dots >= 2 ? 1 : 0;
        else
            ++depth;
        if (depth < 0)
            Fail("entry path leaves the working folder");
        if (*p != 0)
            ++p;
    }
}

struct FuzzHost : FuzzFile {
    const char* workDir = nullptr;
    bool outputOpen = false;
    int64_t written = 0;

    void Pump() {}
    void Progress() {}
    void CheckPath(const char* path) {
        if (workDir == nullptr)
            Fail("output before the payload was checked");
        size_t dirLen = std::strlen(workDir);
        if (std::strncmp(path, workDir, dirLen) != 0)
            Fail("path outside the working folder");
        if (std::strlen(path) >= sfx::kPathCap)
            Fail("path longer than its buffer");
    }
    bool MakeFolder(const char* path) {
        CheckPath(path);
        if (std::strlen(path) <= std::strlen(workDir))
            Fail("folder outside the working folder");
        return true;
    }
    bool CreateOutput(const char* path) {
        CheckPath(path);
        CheckStaysInside(path + std::strlen(workDir));
        outputOpen = true;
        return true;
    }
    bool WriteOutput(const void*, uint32_t n) {
        if (!outputOpen)
            Fail("write without an open file");
        written += n;
        return true;
    }
    bool FinishOutput(uint32_t, bool) {
        if (!outputOpen)
            Fail("finishing a file that is not open");
        outputOpen = false;
        return true;
    }
    void SetAttributes(const char* path, uint32_t) { CheckPath(path); }
    bool RecordUnpacked(const char* path) {
        CheckPath(path);
        return true;
    }
};

// A fixed image: "MZ", PE header at 0x40, one section whose raw data ends the image at 0x200.
inline std::string FixedImage() {
    std::string image(0x200, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    image[0x3C] = 0x40;
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    image[0x46] = 1; // one section
    size_t table = 0x40 + 24;
    image[table + 16 + 1] = 0x01; // raw size 0x100
    image[table + 20 + 1] = 0x01; // raw offset 0x100
    return image;
}

} // namespace sfxfuzz
