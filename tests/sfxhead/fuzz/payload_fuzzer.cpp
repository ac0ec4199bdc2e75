// Fuzz target of the runtime module's payload code on an in-memory file: finding the image end,
// the checking pass and the unpack loop, run as the program runs them. Inputs that begin with
// "MZ" are whole files; any other input is a payload behind a fixed small image, so that most
// executions reach the entry walk. Every path the unpack loop creates must stay inside WorkDir,
// no read may leave the file, and the unpacked data never exceeds what the checking pass counted.
#include <string>

#include "archive.h"
#include "fuzz_host.h"

namespace {

using sfxfuzz::Fail;
using sfxfuzz::FixedImage;
using sfxfuzz::FuzzHost;
using sfxfuzz::kWorkDirBase;

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
