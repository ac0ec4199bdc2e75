// Fuzz target of the decoding module's compressed payload code on an in-memory file: the header
// and stream checks, the index and the unpack loop, run as the program runs them. The input is a
// mode byte, then the payload behind a fixed small image and identifier. With the mode byte's low
// bit set the target writes both CRC-32 fields itself, so that mutations get past them to the
// decoder and the index checks. The invariants are those of the plain payload target: every path
// stays inside WorkDir, nothing is made before the checks pass, no read leaves the file, the
// decoded data never exceeds the data size the checks accepted nor the written files the sizes
// that the index gives them (files stored as pieces included), and success means all of it.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_host.h"
#include "packed.h"

namespace {

using sfxfuzz::Fail;

// Larger windows count as a failed allocation, which keeps executions fast.
constexpr uint32_t kMaxFuzzBlock = 8u << 20;

struct PackedHost : sfxfuzz::FuzzHost {
    std::unique_ptr<uint8_t[]> block;
    int allocations = 0;
    void* AllocWindow(uint32_t n) {
        if (++allocations > 1)
            Fail("a second allocation");
        if (n > kMaxFuzzBlock)
            return nullptr;
        block = std::make_unique<uint8_t[]>(n);
        return block.get();
    }
};

// Writes the header's and the stream's CRC-32 so that they match the bytes in `file`.
void FixChecksums(std::string& file, size_t headerPos) {
    if (file.size() < headerPos + sizeof(payload::TPackedHeader))
        return;
    payload::TPackedHeader h;
    std::memcpy(&h, file.data() + headerPos, sizeof h);
    size_t streamPos = headerPos + sizeof h;
    uint64_t available = file.size() - streamPos;
    uint64_t covered = h.PackedSize < available ? h.PackedSize : available;
    h.PackedCrc = payload::Crc32(0, file.data() + streamPos, covered);
    h.HeaderCrc = payload::Crc32(0, &h, offsetof(payload::TPackedHeader, HeaderCrc));
    std::memcpy(file.data() + headerPos, &h, sizeof h);
}

void RunFile(const std::string& file) {
    static uint8_t buffer[payload::kChunkSize];
    static sfx::RunState run;
    static lz::Decoder decoder;
    run = sfx::RunState{};
    PackedHost host;
    host.data = reinterpret_cast<const uint8_t*>(file.data());
    host.size = static_cast<int64_t>(file.size());
    sfx::PackedRun<PackedHost> packed;
    packed.decoder = &decoder;
    if (sfx::LocatePayload(host, run.imageEnd).code != 0 || run.imageEnd == 0 ||
        host.Size() <= run.imageEnd + 11 || sfx::ReadArchiveId(host, run).code != 0 ||
        sfx::CheckPackedPayload(host, run, packed, buffer).code != 0)
        return;
    if (run.totalSize <= 0)
        Fail("accepted payload without data");
    if (sfx::ReadPackedIndex(host, packed).code != 0)
        return;
    sfx::SetWorkDir(run, sfxfuzz::kWorkDirBase);
    host.workDir = run.workDir;
    sfx::Outcome r = sfx::UnpackPackedEntries(host, run, packed, buffer);
    if (run.doneSize > run.totalSize ||
        static_cast<uint64_t>(host.written) > sfx::IndexFileBytes(packed.index, packed.header))
        Fail("unpacked more than the checks accepted");
    if (r.code == 0 && run.doneSize != run.totalSize)
        Fail("success without every byte unpacked");
    if (r.code == 0 && run.launchPath[0] == 0)
        Fail("success without the entry to start");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    static const std::string image = sfxfuzz::FixedImage() + "\x0A"
                                                             "0012AB34CD";
    std::string file = image;
    file.append(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) != 0)
        FixChecksums(file, image.size());
    RunFile(file);
    return 0;
}
