// An in-memory stand-in for the module's own file and the folder it unpacks into, so that the
// payload code runs in unit tests exactly as it runs on Windows files.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive.h"
#include "packed_payload.h"
#include "payload.h"

namespace sfxtest {

struct MemoryFile {
    std::string data;
    uint32_t time = 0;
    uint32_t attr = 0;
    bool closed = false;
};

struct MemoryHost {
    std::string archive;
    int64_t pos = 0;
    uint32_t lastError = 0;
    int64_t failReadsFrom = -1; // a read starting at or after this offset fails
    uint32_t failWriteCode = 0; // the next write fails with this code
    std::string createFailsFor; // the creation of this path fails with code 5

    std::vector<std::string> events; // folders, creations, attributes, records, in order
    std::map<std::string, MemoryFile> files;
    std::string open;
    std::vector<std::string> unpacked;
    int pumps = 0;
    int progressCalls = 0;
    bool failAlloc = false;                         // AllocWindow finds no memory
    std::vector<std::unique_ptr<uint8_t[]>> blocks; // every block AllocWindow gave
    std::vector<uint32_t> blockSizes;

    bool Seek(int64_t p) {
        pos = p;
        return true;
    }
    bool Read(void* buf, uint32_t n, uint32_t* got) {
        if (failReadsFrom >= 0 && pos >= failReadsFrom) {
            lastError = 23; // ERROR_CRC, a device error
            *got = 0;
            return false;
        }
        int64_t left = pos < static_cast<int64_t>(archive.size())
                           ? static_cast<int64_t>(archive.size()) - pos
                           : 0;
        uint32_t take = left < n ? static_cast<uint32_t>(left) : n;
        std::memcpy(buf, archive.data() + pos, take);
        pos += take;
        *got = take;
        lastError = 0; // a short read at the end of a file sets no error
        return true;
    }
    int64_t Size() { return static_cast<int64_t>(archive.size()); }
    uint32_t LastError() { return lastError; }
    void Pump() { ++pumps; }
    void Progress() { ++progressCalls; }
    std::string linkAt; // a link stands where this folder would be made
    bool MakeFolder(const char* path) {
        events.push_back(std::string("mkdir ") + path);
        if (linkAt == path) {
            lastError = 5;
            return false;
        }
        return true;
    }
    // Files are created new, as the module creates them.
    bool CreateOutput(const char* path) {
        if (createFailsFor == path) {
            lastError = 5;
            return false;
        }
        if (files.count(path) != 0) {
            lastError = 80; // ERROR_FILE_EXISTS
            return false;
        }
        events.push_back(std::string("create ") + path);
        open = path;
        files[open] = MemoryFile{};
        return true;
    }
    bool WriteOutput(const void* data, uint32_t n) {
        if (failWriteCode != 0) {
            lastError = failWriteCode;
            return false;
        }
        files[open].data.append(static_cast<const char*>(data), n);
        return true;
    }
    std::vector<std::string> held; // the files finished with a hold, in order
    bool FinishOutput(uint32_t dosTime, bool hold) {
        files[open].time = dosTime;
        files[open].closed = true;
        if (hold)
            held.push_back(open);
        return true;
    }
    void SetAttributes(const char* path, uint32_t attr) {
        events.push_back(std::string("attr ") + path);
        files[path].attr = attr;
    }
    bool RecordUnpacked(const char* path) {
        unpacked.push_back(path);
        return true;
    }
    void* AllocWindow(uint32_t n) {
        blockSizes.push_back(n);
        if (failAlloc)
            return nullptr;
        blocks.push_back(std::make_unique<uint8_t[]>(n));
        return blocks.back().get();
    }
};

// Builds SFX file bytes: a fake image that ends at its section's raw data, the identifier,
// entries and optionally the terminator.
class ArchiveBuilder {
  public:
    explicit ArchiveBuilder(uint32_t imageSize = 0x400);
    ArchiveBuilder& Id(const char* text, uint8_t length = 10);
    ArchiveBuilder& Entry(const std::string& name, const std::string& data, uint8_t isExe = 0,
                          uint32_t time = 0x50B16DAF, uint32_t attr = 0x20);
    ArchiveBuilder& RawHeader(uint8_t isExe, int32_t nameLength, int32_t size, uint32_t time,
                              uint32_t attr);
    ArchiveBuilder& Raw(const std::string& bytes);
    std::string Build(bool terminator = true) const;
    std::string ImageOnly() const { return image_; }

  private:
    std::string image_;
    std::string id_;
    std::string body_;
};

// Builds compressed SFX file bytes with liblzma's raw LZMA2 encoder: the same fake image, the
// identifier, the header and the stream over the index and the entries' data, x86-converted per
// entry where asked. The index can be replaced to build hostile ones with sound checksums.
class PackedBuilder {
  public:
    explicit PackedBuilder(uint32_t dictSize = 1u << 16) : dictSize_(dictSize) {}
    PackedBuilder& Entry(const std::string& name, const std::string& data, uint8_t isExe = 0,
                         uint8_t filter = payload::kFilterNone, uint32_t time = 0x50B16DAF,
                         uint32_t attr = 0x20);
    // Index bytes to use in place of the records of the entries (their data stays).
    PackedBuilder& RawIndex(const std::string& index);
    std::string Index() const;
    std::string Build(const std::function<void(payload::TPackedHeader&)>& adjust = {}) const;
    static size_t HeaderOffset() { return 0x400 + sizeof(payload::ArchiveId); }
    static size_t StreamOffset() { return HeaderOffset() + sizeof(payload::TPackedHeader); }

  private:
    struct Item {
        payload::TEntryHeader header;
        std::string name;
        std::string data;
        uint8_t filter;
    };
    uint32_t dictSize_;
    std::vector<Item> items_;
    bool rawIndex_ = false;
    std::string index_;
};

// Raw LZMA2 stream of `data` (liblzma, preset 6, the given dictionary).
std::string Lzma2Encode(const std::string& data, uint32_t dictSize);

// The first steps of every run, as the runtime module takes them: the end of its image, a file
// long enough for the identifier behind it, and the identifier.
sfx::Outcome ReadUpToIdentifier(MemoryHost& host, sfx::RunState& run);

} // namespace sfxtest
