// Fuzz target of the runtime module's payload code on an in-memory file: finding the image end,
// the checking pass and the unpack loop, run as the program runs them. Inputs that begin with
// "MZ" are whole files; any other input is a payload behind a fixed small image, so that most
// executions reach the entry walk. Every path the unpack loop creates must stay inside WorkDir,
// no read may leave the file, and the unpacked data never exceeds what the checking pass counted.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive.h"
#include "fuzz_file.h"

namespace {

constexpr const char* kWorkDirBase = "C:\\TEMP";

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Walks the components of `rel` the way Windows resolves them, counting any component of dots
// and blanks with two dots or more as a step up, and fails if the walk leaves its start.
void CheckStaysInside(const char* rel) {
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

struct FuzzHost : sfxfuzz::FuzzFile {
    const char* workDir = nullptr;
    bool outputOpen = false;
    int64_t written = 0;

    void Pump() {}
    void Progress() {}
    void CheckPath(const char* path) {
        size_t dirLen = std::strlen(workDir);
        if (std::strncmp(path, workDir, dirLen) != 0)
            Fail("path outside the working folder");
        if (std::strlen(path) >= sfx::kPathCap)
            Fail("path longer than its buffer");
    }
    void MakeFolder(const char* path) {
        CheckPath(path);
        if (std::strlen(path) <= std::strlen(workDir))
            Fail("folder outside the working folder");
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
    void FinishOutput(uint32_t) {
        if (!outputOpen)
            Fail("finishing a file that is not open");
        outputOpen = false;
    }
    void SetAttributes(const char* path, uint32_t) { CheckPath(path); }
    bool RecordUnpacked(const char* path) {
        CheckPath(path);
        return true;
    }
};

// A fixed image: "MZ", PE header at 0x40, one section whose raw data ends the image at 0x200.
std::string FixedImage() {
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

void RunFile(const uint8_t* data, size_t size) {
    static uint8_t buffer[payload::kChunkSize];
    static sfx::RunState run;
    run = sfx::RunState{};
    FuzzHost host;
    host.data = data;
    host.size = static_cast<int64_t>(size);
    if (sfx::LocatePayload(host, run.imageEnd).code != 0)
        return;
    if (run.imageEnd < 0)
        Fail("negative image end");
    if (run.imageEnd == 0 || host.Size() <= run.imageEnd + 11)
        return;
    if (sfx::ReadArchiveId(host, run).code != 0 || sfx::CheckPayload(host, run).code != 0)
        return;
    if (run.totalSize <= 0)
        Fail("accepted payload without data");
    sfx::SetWorkDir(run, kWorkDirBase);
    host.workDir = run.workDir;
    if (sfx::SeekTo(host, run.imageEnd + 11).code != 0)
        return;
    sfx::Outcome r = sfx::UnpackEntries(host, run, buffer);
    if (run.doneSize != host.written || run.doneSize > run.totalSize)
        Fail("unpacked more than the checking pass counted");
    if (r.code == 0 && run.doneSize != run.totalSize)
        Fail("success without every byte unpacked");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 2 && data[0] == 'M' && data[1] == 'Z') {
        RunFile(data, size);
        return 0;
    }
    static const std::string image = FixedImage();
    std::string file = image;
    file.append(reinterpret_cast<const char*>(data), size);
    RunFile(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    return 0;
}
