// The build pipeline shared by both front ends and both platforms.
#include "build_sfx.h"

#include "boxes.h"
#include "bytesum.h"
#include "cmdline.h"
#include "codepage.h"
#include "crc32.h"
#include "deflate_streams.h"
#include "exe_name.h"
#include "filesys.h"
#include "packed_stream.h"
#include "payload.h"
#include "payload_hash.h"
#include "stream_order.h"
#include "transfer.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <numeric>
#include <random>
#include <vector>

namespace fpackrig {

namespace {

using fsys::IoError;
using fsys::IoResult;

constexpr uint64_t kLargestStoredFile = 0x7FFFFFFF;
constexpr uint64_t kLargestSfxFile = 0x7FFFFFFF;
// Files up to this size are read whole and searched for deflate streams; larger ones are copied
// as they are.
constexpr uint64_t kLargestSearchedFile = 256u << 20;
// The most bytes that a file stored as pieces may take in the stream.
constexpr uint64_t kLargestPiecedFile = 1u << 30;

std::mt19937 g_identifierRandom;

const char kExeFileHint[] =
    "The executable file is named relative to the source directory, as in setup.exe or "
    "bin\\setup.exe.";

// Names `path` as the file that a failure concerns, unless the failure already names one.
IoResult Concerning(IoResult result, const std::string& path) {
    if (result && result->path.empty())
        result->path = path;
    return result;
}

std::string Fill(std::string_view format, std::string_view value) {
    std::string text(format);
    size_t at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, value);
    return text;
}

bool IsPathSeparator(char c) {
    return c == fsys::kPathDelimiter || c == '\\' || c == '/';
}

size_t LastSeparator(std::string_view path) {
    for (size_t i = path.size(); i-- > 0;)
        if (IsPathSeparator(path[i]) || (fsys::kPathDelimiter == '\\' && path[i] == ':'))
            return i;
    return std::string_view::npos;
}

// The executable file as the walk looks for it: the stored name that it denotes, upper-cased
// (empty when it lies outside the source directory, so that no entry matches), and the file
// itself.
struct ExeFile {
    std::string storedUpper;
    std::optional<fsys::FileIdentity> identity;
};

// What the walk found of the executable file.
struct Marking {
    int marked = 0;       // entries marked as the executable file
    std::string storedAs; // the stored name of the entry holding it, or empty
};

// Appends to the SFX file through the build's one 1 MiB buffer: file data is read straight into
// it and summed there, and small entries collect in it until it is full, so a tree of small
// files costs a write per megabyte rather than several per file.
class PayloadWriter {
  public:
    PayloadWriter(fsys::OutFile& out, std::string path)
        : out_(out), path_(std::move(path)), buffer_(payload::kChunkSize) {}

    // From now on every byte put or copied also goes into `hash`.
    void HashInto(PayloadHash& hash) { hash_ = &hash; }

    IoResult Put(const void* data, size_t count) {
        if (hash_)
            hash_->Update(data, count);
        const char* p = static_cast<const char*>(data);
        while (count > 0) {
            if (fill_ == buffer_.size())
                if (IoResult failed = Flush())
                    return failed;
            size_t n = std::min(count, buffer_.size() - fill_);
            std::memcpy(buffer_.data() + fill_, p, n);
            fill_ += n;
            p += n;
            count -= n;
        }
        return {};
    }

    // Copies `size` bytes of `in`, the file `inPath`, adding their byte sum to `checksum`; the
    // first of them also go to `head`, when given, up to its capacity.
    IoResult Copy(fsys::InFile& in, const std::string& inPath, uint64_t size, uint32_t& checksum,
                  std::string* head = nullptr, ContentSketch* sketch = nullptr) {
        for (uint64_t done = 0; done < size;) {
            if (fill_ == buffer_.size())
                if (IoResult failed = Flush())
                    return failed;
            size_t chunk =
                static_cast<size_t>(std::min<uint64_t>(size - done, buffer_.size() - fill_));
            if (IoResult failed = in.ReadExact(buffer_.data() + fill_, chunk))
                return Concerning(failed, inPath);
            checksum += payload::ByteSum(buffer_.data() + fill_, chunk);
            if (head && head->size() < head->capacity())
                head->append(buffer_.data() + fill_,
                             std::min(chunk, head->capacity() - head->size()));
            if (hash_)
                hash_->Update(buffer_.data() + fill_, chunk);
            if (sketch)
                sketch->Update(reinterpret_cast<const uint8_t*>(buffer_.data() + fill_), chunk);
            fill_ += chunk;
            done += chunk;
        }
        return {};
    }

    IoResult Flush() {
        size_t count = fill_;
        fill_ = 0;
        return count ? Concerning(out_.Write(buffer_.data(), count), path_) : IoResult{};
    }

    // Bytes of the SFX file so far, written or waiting in the buffer.
    uint64_t Position() const { return out_.Position() + fill_; }

  private:
    fsys::OutFile& out_;
    std::string path_;
    std::vector<char> buffer_;
    size_t fill_ = 0;
    PayloadHash* hash_ = nullptr;
};

// Where the walk stores each entry: its header, name and data, read once.
class EntrySink {
  public:
    virtual ~EntrySink() = default;
    // The SFX file's length so far, counted as plain entries take it: the 2 GiB limit applies
    // to the unpacked size whether or not the payload is compressed.
    virtual uint64_t Position() const = 0;
    virtual IoResult Store(const payload::TEntryHeader& header, const std::string& name,
                           fsys::InFile& in, const std::string& inPath) = 0;
};

// Plain entries: header, name, data and checksum, one after the other.
class PlainSink : public EntrySink {
  public:
    explicit PlainSink(PayloadWriter& out) : out_(out) {}

    uint64_t Position() const override { return out_.Position(); }

    IoResult Store(const payload::TEntryHeader& header, const std::string& name, fsys::InFile& in,
                   const std::string& inPath) override {
        uint32_t checksum = payload::ByteSum(name.data(), name.size());
        if (IoResult failed = out_.Put(&header, sizeof(header)))
            return failed;
        if (IoResult failed = out_.Put(name.data(), name.size()))
            return failed;
        if (IoResult failed = out_.Copy(in, inPath, static_cast<uint32_t>(header.Size), checksum))
            return failed;
        std::array<uint8_t, 4> sum = {
            static_cast<uint8_t>(checksum), static_cast<uint8_t>(checksum >> 8),
            static_cast<uint8_t>(checksum >> 16), static_cast<uint8_t>(checksum >> 24)};
        return out_.Put(sum.data(), sum.size());
    }

  private:
    PayloadWriter& out_;
};

// Compressed entries, first pass: the index record goes to memory and the data to a spill
// file, since the index leads the stream but each entry's checksum and filter are known only
// once its data has been read.
class PackedSink : public EntrySink {
  public:
    PackedSink(PayloadWriter& spill, uint64_t start) : spill_(spill), position_(start) {}

    uint64_t Position() const override { return position_; }

    IoResult Store(const payload::TEntryHeader& header, const std::string& name, fsys::InFile& in,
                   const std::string& inPath) override {
        if (index_.size() + sizeof(header) + name.size() + sizeof(payload::TPackedEntryTail) >
            payload::kMaxIndexSize)
            return IoError{Fill("Too many files for a compressed SFX file: their names and "
                                "headers would exceed 64 MiB\r\n\r\n%s",
                                inPath)};
        if (static_cast<uint64_t>(header.Size) <= kLargestSearchedFile)
            return StoreSearched(header, name, in, inPath);
        payload::TPackedEntryTail tail{};
        tail.Checksum = payload::ByteSum(name.data(), name.size());
        std::string head;
        head.reserve(kImageProbeSize);
        uint64_t spillOffset = spill_.Position();
        ContentSketch sketch;
        if (IoResult failed = spill_.Copy(in, inPath, static_cast<uint32_t>(header.Size),
                                          tail.Checksum, &head, &sketch))
            return failed;
        const EntryConversion conversion =
            ChooseConversion(head, static_cast<uint32_t>(header.Size));
        tail.Filter = conversion.filter;
        size_t recordOffset = index_.size();
        AppendIndexRecord(index_, header, name, tail);
        entries_.push_back({spillOffset, static_cast<uint32_t>(header.Size), conversion.span,
                            recordOffset, index_.size() - recordOffset, StreamGroupKey(name)});
        sketches_.push_back({static_cast<uint64_t>(header.Size), sketch.Take()});
        dataSize_ += static_cast<uint32_t>(header.Size);
        position_ += sizeof(header) + name.size() + static_cast<uint32_t>(header.Size) +
                     payload::kChecksumSize;
        return {};
    }

    // Deflate streams stored inflated so far, and the bytes they took in the files and take now.
    struct Recompressed {
        uint64_t streams = 0;
        uint64_t before = 0;
        uint64_t after = 0;
    };
    const Recompressed& Recompression() const { return recompressed_; }

    struct Planned {
        uint64_t spillOffset;
        uint32_t size;
        payload::X86Span converted;
        size_t recordOffset; // of its record in the walk's index
        size_t recordSize;
        std::string groupKey;
    };
    const std::vector<Planned>& Entries() const { return entries_; }
    uint64_t IndexSize() const { return index_.size(); }
    std::string_view Record(const Planned& entry) const {
        return std::string_view(index_).substr(entry.recordOffset, entry.recordSize);
    }

    // The entries in the order of the stream, for a dictionary of `dictionary` bytes: grouped
    // by StreamGroupKey, in the walk's order within a group, then in SimilarityOrder. Uses up
    // the entries' sketches; `host` keeps a window responsive meanwhile.
    std::vector<const Planned*> StreamOrder(uint64_t dictionary, BuildHost& host) {
        std::vector<uint32_t> grouped(entries_.size());
        std::iota(grouped.begin(), grouped.end(), 0u);
        std::stable_sort(grouped.begin(), grouped.end(), [this](uint32_t a, uint32_t b) {
            return entries_[a].groupKey < entries_[b].groupKey;
        });
        std::vector<SketchedEntry> sketches;
        sketches.reserve(grouped.size());
        for (uint32_t entry : grouped)
            sketches.push_back(std::move(sketches_[entry]));
        sketches_ = {};
        std::vector<const Planned*> order;
        order.reserve(entries_.size());
        for (uint32_t at : SimilarityOrder(sketches, dictionary, [&host] { host.PumpMessages(); }))
            order.push_back(&entries_[grouped[at]]);
        return order;
    }
    uint64_t DataSize() const { return dataSize_; }

  private:
    // Reads the file whole; an x86 image is stored for the converter as in Store, any other
    // file as pieces where some of its deflate streams come back from zlib, else as it is.
    IoResult StoreSearched(const payload::TEntryHeader& header, const std::string& name,
                           fsys::InFile& in, const std::string& inPath) {
        auto size = static_cast<uint32_t>(header.Size);
        std::string data(size, '\0');
        if (IoResult failed = in.ReadExact(data.data(), size))
            return Concerning(failed, inPath);
        payload::TPackedEntryTail tail{};
        tail.Checksum =
            payload::ByteSum(name.data(), name.size()) + payload::ByteSum(data.data(), size);
        EntryConversion conversion =
            ChooseConversion(std::string_view(data).substr(0, kImageProbeSize), size);
        std::optional<PiecedFile> pieces;
        if (conversion.filter == payload::kFilterNone &&
            index_.size() + sizeof(header) + name.size() + sizeof(payload::TPackedEntryTail) +
                    sizeof(payload::TRebuiltTail) <=
                payload::kMaxIndexSize)
            pieces = finder_.Pieces(data, kLargestPiecedFile);
        std::string_view stored = pieces ? std::string_view(pieces->stored) : data;
        tail.Filter = pieces ? uint8_t{payload::kFilterDeflate} : conversion.filter;
        uint64_t spillOffset = spill_.Position();
        if (IoResult failed = spill_.Put(stored.data(), stored.size()))
            return failed;
        ContentSketch sketch;
        sketch.Update(reinterpret_cast<const uint8_t*>(stored.data()), stored.size());
        size_t recordOffset = index_.size();
        AppendIndexRecord(index_, header, name, tail);
        if (pieces) {
            payload::TRebuiltTail rebuilt{static_cast<uint32_t>(stored.size())};
            index_.append(reinterpret_cast<const char*>(&rebuilt), sizeof rebuilt);
            recompressed_.streams += pieces->streams;
            recompressed_.before += pieces->deflatedBytes;
            recompressed_.after += pieces->inflatedBytes;
        }
        entries_.push_back({spillOffset, static_cast<uint32_t>(stored.size()), conversion.span,
                            recordOffset, index_.size() - recordOffset, StreamGroupKey(name)});
        sketches_.push_back({static_cast<uint64_t>(stored.size()), sketch.Take()});
        dataSize_ += stored.size();
        position_ += sizeof(header) + name.size() + size + payload::kChecksumSize;
        return {};
    }

    PayloadWriter& spill_;
    DeflateFinder finder_;
    Recompressed recompressed_;
    uint64_t position_;
    std::string index_;
    std::vector<Planned> entries_;
    std::vector<SketchedEntry> sketches_; // one for each of entries_
    uint64_t dataSize_ = 0;
};

// Writes the entries of one tree. Relative paths are kept twice: in this platform's form for
// opening, and with "\" in the stored form.
class TreeWriter {
  public:
    TreeWriter(EntrySink& out, std::string source, const ExeFile& exe,
               std::vector<fsys::FileIdentity> skipped, BuildHost& host,
               std::optional<uint32_t> latestTime)
        : out_(out), source_(std::move(source)), exe_(exe), host_(host),
          skipped_(std::move(skipped)), latestTime_(latestTime),
          times_(latestTime ? fsys::TimeBase::Utc : fsys::TimeBase::Local) {}

    IoResult WriteTree() {
        std::string directory = source_ + relNative_;
        std::unique_ptr<fsys::DirListing> listing;
        if (IoResult failed = fsys::StartListing(directory, times_, listing))
            return Concerning(failed, directory);
        if (!listing)
            return {};
        std::map<std::string, SeenName> seen; // by upper-cased stored name
        fsys::DirEntry entry;
        while (listing->Next(entry)) {
            if (entry.IsVolumeLabel() || entry.name == "." || entry.name == "..")
                continue;
            if (IoResult bad = CheckName(entry))
                return bad;
            if (IoResult clash = CheckCaseClash(entry, seen))
                return clash;
            IoResult result = entry.IsDirectory() ? WriteSubtree(entry) : WriteEntry(entry);
            if (result)
                return result;
        }
        return {};
    }

    // Entries written so far that are marked as the executable file.
    int MarkedEntries() const { return marked_; }
    // The stored name of the entry that holds the executable file itself, whatever name it was
    // given by; empty when no entry does.
    const std::string& ExeFileStoredAs() const { return exeStoredAs_; }

  private:
    struct SeenName {
        std::string path;
        std::string stored;
    };

    std::string NativePath(const fsys::DirEntry& entry) const {
        return source_ + relNative_ + entry.name;
    }

    IoResult CheckName(const fsys::DirEntry& entry) const {
        if (entry.storedName.empty())
            return UnstorableName(NativePath(entry));
        std::string problem = WindowsNameProblem(entry.storedName);
        if (!problem.empty())
            return IoError{problem + "\r\n\r\n" + NativePath(entry)};
        return {};
    }

    // A name that the target code page cannot represent: which name, which code page, and how
    // to store it all the same.
    static IoError UnstorableName(const std::string& path) {
        if (!prutils::IsValidUtf8(path))
            return {
                Fill("Name is not valid UTF-8, and cannot be stored\r\n\r\n%s", path), {}, true};
        std::string codePage = prutils::CodePageName(prutils::TargetCodePage());
        return {"Name cannot be stored in Windows code page " + codePage + "\r\n\r\n" + path +
                    "\r\n\r\nName the code page of the systems that the SFX file is for with "
                    "--codepage=N (" +
                    prutils::CodePageNumbers() +
                    "), or store every name as it is with --codepage=utf-8.",
                {},
                true};
    }

    // Windows holds one of two names that differ only in letter case; the SFX file would lose
    // the other when it unpacks. Two Linux names can also be one stored name, one of them
    // composed and the other decomposed.
    IoResult CheckCaseClash(const fsys::DirEntry& entry,
                            std::map<std::string, SeenName>& seen) const {
        auto [at, added] = seen.emplace(fsys::UpperStored(entry.storedName),
                                        SeenName{NativePath(entry), entry.storedName});
        if (added)
            return {};
        const char* why = at->second.stored == entry.storedName
                              ? "Names are one name in the Windows code page, and Windows holds "
                                "only one of them"
                              : "Names differ only in letter case, and Windows holds only one of "
                                "them";
        return IoError{why + std::string("\r\n\r\n") + at->second.path + "\r\n" +
                       NativePath(entry)};
    }

    IoResult WriteSubtree(const fsys::DirEntry& entry) {
        size_t nativeLength = relNative_.size(), storedLength = relStored_.size();
        relNative_ += entry.name + fsys::kPathDelimiter;
        relStored_ += entry.storedName + '\\';
        IoResult result = WriteTree();
        relNative_.resize(nativeLength);
        relStored_.resize(storedLength);
        return result;
    }

    bool IsSkipped(const std::optional<fsys::FileIdentity>& identity) const {
        return identity && std::find(skipped_.begin(), skipped_.end(), *identity) != skipped_.end();
    }

    IoResult WriteEntry(const fsys::DirEntry& entry) {
        std::string path = NativePath(entry);
        fsys::InFile in;
        if (IoResult failed = in.Open(path))
            return Concerning(failed, path);
        // The SFX file being written, and the target it replaces, may lie inside the tree; they
        // are not stored in it.
        std::optional<fsys::FileIdentity> identity =
            entry.identity ? entry.identity : in.Identity();
        if (IsSkipped(identity))
            return {};
        std::string name = relStored_ + entry.storedName;
        if (IoResult tooLarge = CheckLimits(entry, name, path))
            return tooLarge;
        if (identity && identity == exe_.identity && exeStoredAs_.empty())
            exeStoredAs_ = name;

        payload::TEntryHeader header{};
        header.IsExeFile = fsys::UpperStored(name) == exe_.storedUpper ? 1 : 0;
        marked_ += header.IsExeFile;
        header.NameLength = static_cast<int32_t>(name.size());
        header.Size = static_cast<int32_t>(entry.size);
        // MS-DOS date-times order as numbers, so clamping is a comparison.
        header.Time = latestTime_ ? std::min(entry.dosTime, *latestTime_) : entry.dosTime;
        header.Attr = entry.attr;
        if (IoResult failed = out_.Store(header, name, in, path))
            return failed;
        host_.PumpMessages();
        return {};
    }

    // Sizes and offsets are signed 32-bit in the file, and a name must fit a Windows path below
    // the working folder: refuse what cannot be unpacked.
    IoResult CheckLimits(const fsys::DirEntry& entry, const std::string& name,
                         const std::string& path) const {
        if (fsys::StoredCharacterCount(name) > kLongestStoredName)
            return IoError{Fill("Name is longer than " + std::to_string(kLongestStoredName) +
                                    " characters, the most that a Windows path (260 characters) "
                                    "leaves for it below the SFX file's working folder\r\n\r\n%s",
                                path)};
        if (entry.size > kLargestStoredFile)
            return IoError{Fill("File is too large to be stored (2 GiB or more)\r\n\r\n%s", path)};
        uint64_t end = out_.Position() + sizeof(payload::TEntryHeader) + name.size() + entry.size +
                       payload::kChecksumSize + sizeof(payload::TEntryHeader);
        if (end > kLargestSfxFile)
            return IoError{Fill("SFX file would reach 2 GiB with this file\r\n\r\n%s", path)};
        return {};
    }

    EntrySink& out_;
    std::string source_;
    const ExeFile& exe_;
    BuildHost& host_;
    std::vector<fsys::FileIdentity> skipped_;
    std::optional<uint32_t> latestTime_;
    fsys::TimeBase times_;
    std::string relNative_;
    std::string relStored_;
    int marked_ = 0;
    std::string exeStoredAs_;
};

// The new file beside the target that the SFX file is written to. It replaces the target only
// once it is complete and is removed on every other way out, an interrupt included, so that a
// failed build leaves the target as it was: absent, or the old file.
class PendingTarget {
  public:
    explicit PendingTarget(std::string target) : target_(std::move(target)) {}
    PendingTarget(const PendingTarget&) = delete;
    PendingTarget& operator=(const PendingTarget&) = delete;
    ~PendingTarget() {
        if (!path_.empty())
            fsys::RemoveFile(path_);
    }

    // Creates the new file, under a name that no file has yet, and opens it as `out`.
    IoResult Create(fsys::OutFile& out) {
        uint32_t seed = fsys::RandomSeed();
        IoResult failed;
        for (uint32_t attempt = 0; attempt < 16; ++attempt) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, ".%08X.tmp", seed + attempt);
            failed = removal_.CreateNew(out, target_ + suffix);
            if (!failed) {
                path_ = target_ + suffix;
                break;
            }
        }
        return failed;
    }

    const std::string& Path() const { return path_; }

    IoResult Commit() {
        IoResult failed = fsys::MoveOver(path_, target_);
        if (!failed) {
            path_.clear();
            removal_.Clear();
        }
        return failed;
    }

  private:
    std::string target_;
    std::string path_;
    fsys::InterruptRemoval removal_; // goes after the file in the destructor
};

IoResult WriteImage(fsys::OutFile& out, const prutils::ResourceBytes& image) {
    IoResult written = out.Write(image.data, image.size);
    IoResult closed = out.Close();
    return written ? written : closed;
}

// The identifier for the number `r`, marked when names are stored in UTF-8.
payload::ArchiveId Identifier(uint32_t r) {
    payload::ArchiveId id{};
    payload::MakeArchiveId(r, id);
    if (prutils::TargetCodePage() == prutils::CodePage::Utf8)
        payload::MarkNamesUtf8(id);
    return id;
}

// The identifier for a build: drawn, or zeros until the hash of what follows it is known.
payload::ArchiveId FirstIdentifier(std::optional<int64_t> epoch) {
    std::uniform_int_distribution<uint32_t> draw(0, 0x7FFFFFFE);
    return Identifier(epoch ? 0 : draw(g_identifierRandom));
}

// A reproducible build stores times in UTC, clamped to the epoch.
std::optional<uint32_t> LatestTime(std::optional<int64_t> epoch) {
    if (!epoch)
        return std::nullopt;
    return fsys::DosTimeOf(*epoch, fsys::TimeBase::Utc);
}

std::vector<fsys::FileIdentity>
Identities(std::initializer_list<std::optional<fsys::FileIdentity>> files) {
    std::vector<fsys::FileIdentity> identities;
    for (const std::optional<fsys::FileIdentity>& identity : files)
        if (identity)
            identities.push_back(*identity);
    return identities;
}

// The identifier, the entries and the terminator, appended to `path`; failures name `target`.
// A reproducible build (`epoch` set) stores times in UTC, clamped to the epoch, and derives the
// identifier from a hash of everything behind it; the identifier is written as zeros first and
// rewritten at the end, so that every file is still read once.
IoResult WritePayload(const std::string& path, const std::string& target, const std::string& source,
                      const ExeFile& exe, std::optional<fsys::FileIdentity> replaced,
                      std::optional<int64_t> epoch, BuildHost& host, Marking& marking) {
    fsys::OutFile file;
    if (IoResult failed = file.OpenAtEnd(path))
        return Concerning(failed, target);
    PayloadWriter out(file, target);
    uint64_t idOffset = file.Position();
    payload::ArchiveId id = FirstIdentifier(epoch);
    payload::TEntryHeader terminator{};
    PlainSink sink(out);
    TreeWriter writer(sink, source, exe, Identities({file.Identity(), replaced}), host,
                      LatestTime(epoch));
    PayloadHash hash;
    IoResult failed = out.Put(&id, sizeof(id));
    if (epoch)
        out.HashInto(hash);
    if (!failed)
        failed = writer.WriteTree();
    if (!failed)
        failed = out.Put(&terminator, sizeof(terminator));
    IoResult flushed = out.Flush();
    if (epoch && !failed && !flushed) {
        id = Identifier(payload::IdentifierFromHash(hash.Final()));
        flushed = Concerning(file.WriteAt(idOffset, &id, sizeof(id)), target);
    }
    IoResult closed = Concerning(file.Close(), target);
    marking = {writer.MarkedEntries(), writer.ExeFileStoredAs()};
    return failed ? failed : flushed ? flushed : closed;
}

std::string DictionaryText(uint32_t size) {
    if (size % (1u << 20) == 0)
        return std::to_string(size >> 20) + " MiB";
    if (size % (1u << 10) == 0)
        return std::to_string(size >> 10) + " KiB";
    return std::to_string(size) + " bytes";
}

// The second pass of a compressed build: the index, then every entry's data from the spill
// file, both in the stream's order, through the encoder into `out`; fills in `header`.
IoResult EncodeStream(PayloadWriter& out, fsys::InFile& spill, const std::string& target,
                      PackedSink& sink, BuildHost& host, payload::TPackedHeader& header) {
    EncoderSettings settings = SettingsFor(sink.IndexSize() + sink.DataSize());
    const std::vector<const PackedSink::Planned*> order = sink.StreamOrder(settings.dictSize, host);
    uint32_t crc = 0;
    uint64_t packed = 0;
    StreamEncoder encoder([&](const uint8_t* data, size_t count) {
        crc = payload::Crc32(crc, data, count);
        packed += count;
        return out.Put(data, count);
    });
    if (IoResult failed = encoder.Start(settings))
        return failed;
    for (const PackedSink::Planned* entry : order) {
        std::string_view record = sink.Record(*entry);
        if (IoResult failed = encoder.Put(record.data(), record.size()))
            return failed;
    }
    std::vector<uint8_t> buffer(payload::kChunkSize);
    for (const PackedSink::Planned* entry : order) {
        if (IoResult failed = spill.SeekTo(entry->spillOffset))
            return Concerning(failed, target);
        EntryFeeder feeder(encoder, entry->converted);
        for (uint32_t done = 0; done < entry->size;) {
            uint32_t chunk = std::min<uint32_t>(entry->size - done, payload::kChunkSize);
            if (IoResult failed = spill.ReadExact(buffer.data(), chunk))
                return Concerning(failed, target);
            if (IoResult failed = feeder.Put(buffer.data(), chunk))
                return failed;
            done += chunk;
            host.PumpMessages();
        }
        if (IoResult failed = feeder.End())
            return failed;
    }
    if (IoResult failed = encoder.Finish())
        return failed;
    std::memcpy(header.Magic, payload::kPackedMagic, sizeof(header.Magic));
    header.DictSize = settings.dictSize;
    header.EntryCount = static_cast<uint32_t>(sink.Entries().size());
    header.IndexSize = sink.IndexSize();
    header.DataSize = sink.DataSize();
    header.PackedSize = packed;
    header.PackedCrc = crc;
    header.HeaderCrc = payload::Crc32(0, &header, offsetof(payload::TPackedHeader, HeaderCrc));
    const PackedSink::Recompressed& recompressed = sink.Recompression();
    if (recompressed.streams != 0)
        host.Note("packrig: recompressed " + std::to_string(recompressed.streams) +
                  " deflate streams, " + std::to_string(recompressed.before) + " -> " +
                  std::to_string(recompressed.after) + " bytes inflated");
    host.Note("packrig: compressed " + std::to_string(header.IndexSize + header.DataSize) + " -> " +
              std::to_string(packed) + " bytes, dictionary " + DictionaryText(settings.dictSize));
    return {};
}

// The identifier, the compressed payload's header and its stream. The walk reads every file
// once, into a spill file beside the new file, while it collects the index; the stream is then
// encoded from the index and the spill file. The spill file is a scratch file, so that no copy
// of the tree stays behind, even when the build is killed. The header (sizes, CRCs) and, in a
// reproducible build, the identifier are placeholders until the stream is complete, as in a plain
// build.
IoResult WritePackedPayload(const std::string& path, const std::string& target,
                            const std::string& source, const ExeFile& exe,
                            std::optional<fsys::FileIdentity> replaced,
                            std::optional<int64_t> epoch, BuildHost& host, Marking& marking) {
    // The spill file has no name that the user sees: its failures concern the target.
    const std::string spillPath = path + ".spill";
    fsys::OutFile file;
    if (IoResult failed = file.OpenAtEnd(path))
        return Concerning(failed, target);
    fsys::OutFile spill;
    if (IoResult failed = spill.CreateScratch(spillPath))
        return Concerning(failed, target);
    PayloadWriter out(file, target);
    PayloadWriter spillOut(spill, target);
    uint64_t idOffset = file.Position();
    payload::ArchiveId id = FirstIdentifier(epoch);
    payload::TPackedHeader header{};
    PackedSink sink(spillOut, idOffset + sizeof(id));
    TreeWriter writer(sink, source, exe, Identities({file.Identity(), spill.Identity(), replaced}),
                      host, LatestTime(epoch));
    PayloadHash hash;
    IoResult failed = out.Put(&id, sizeof(id));
    if (!failed)
        failed = out.Put(&header, sizeof(header));
    if (epoch)
        out.HashInto(hash);
    if (!failed)
        failed = writer.WriteTree();
    if (!failed)
        failed = spillOut.Flush();
    fsys::InFile spillIn;
    if (!failed)
        failed = Concerning(spill.ReadBack(spillIn), target);
    if (!failed)
        failed = EncodeStream(out, spillIn, target, sink, host, header);
    IoResult flushed = out.Flush();
    if (!failed && !flushed)
        flushed = Concerning(file.WriteAt(idOffset + sizeof(id), &header, sizeof(header)), target);
    if (epoch && !failed && !flushed) {
        hash.Update(&header, sizeof(header));
        id = Identifier(payload::IdentifierFromHash(hash.Final()));
        flushed = Concerning(file.WriteAt(idOffset, &id, sizeof(id)), target);
    }
    IoResult closed = Concerning(file.Close(), target);
    marking = {writer.MarkedEntries(), writer.ExeFileStoredAs()};
    return failed ? failed : flushed ? flushed : closed;
}

// Steps 9 to 12 of a build: the directory, the image, the resources, the payload (compressed
// when `compress` is set), all into a new file that then replaces `target`, unless no entry is
// marked as the executable file (`marking` says what the walk found of it). `exePath` is the
// executable file as found.
IoResult WriteSfx(const std::string& source, const ExeFile& exe, const std::string& exePath,
                  const std::string& target, std::optional<int64_t> epoch, bool compress,
                  const prutils::ResourceBytes& image, BuildHost& host, Marking& marking) {
    host.PumpMessages();
    std::string final = fsys::FinalPath(target);
    std::string directory = TargetDirectory(final);
    if (!directory.empty()) // a bare file name goes to the current folder
        fsys::ForceDirectories(directory);
    PendingTarget pending(final);
    {
        fsys::OutFile out;
        if (IoResult failed = pending.Create(out))
            return Concerning(failed, target);
        if (IoResult failed = WriteImage(out, image))
            return Concerning(failed, target);
    }
    // The transfer may write the new file again under a name of its own and rename it over:
    // interrupts wait until it is done, so that none leaves that name behind.
    if (fsys::RunsResourceTransfer())
        fsys::WithInterruptsHeld([&] {
            prresources::TransferIcon(exePath, pending.Path());
            prresources::TransferVersionInfo(exePath, pending.Path());
        });
    auto write = compress ? WritePackedPayload : WritePayload;
    if (IoResult failed = write(pending.Path(), target, source, exe, fsys::IdentityOf(final), epoch,
                                host, marking))
        return failed;
    if (marking.marked == 0)
        return {};
    return Concerning(pending.Commit(), target);
}

std::string StoredUpper(const std::optional<std::string>& name) {
    return name ? fsys::UpperStored(fsys::ExeFileStoredName(*name)) : std::string();
}

// An SFX file without a marked entry would not start: the build stops, naming the entry that
// holds the executable file when there is one.
void ReportUnmarked(const Marking& marking, const std::string& exePath) {
    if (!marking.storedAs.empty())
        prdialogs::ShowError(Fill("Executable file must be named as it is stored, relative to the "
                                  "source directory\r\n\r\n%s",
                                  marking.storedAs));
    else
        prdialogs::ShowError(
            Fill("Executable file is not stored in the SFX file\r\nIt must lie inside the source "
                 "directory\r\n\r\n%s",
                 exePath));
}

std::string OnePerLine(const std::vector<std::string>& paths) {
    std::string text;
    for (const std::string& path : paths)
        text += (text.empty() ? "" : "\r\n") + path;
    return text;
}

} // namespace

std::string TargetDirectory(std::string_view target) {
    size_t at = LastSeparator(target);
    if (at == std::string_view::npos)
        return {};
    // Keep the separator of a root ("/", "C:\") so that the directory names the root.
    if (at == 0 || target[at] == ':' || (at > 0 && target[at - 1] == ':'))
        return std::string(target.substr(0, at + 1));
    return std::string(target.substr(0, at));
}

namespace {

// The extension of `path` from its last "." after its last separator, ASCII letters upper-cased;
// empty when there is none.
std::string UpperExtension(std::string_view path) {
    size_t separator = LastSeparator(path);
    size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || (separator != std::string_view::npos && dot < separator))
        return {};
    std::string ext(path.substr(dot));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
    return ext;
}

// Types that Windows starts with programs of its own: scripts and installer packages.
constexpr std::string_view kShellStartedTypes[] = {".BAT", ".CMD", ".COM", ".MSI",
                                                   ".MSP", ".VBS", ".JS",  ".WSF"};

// A warning when the executable file will not start as a program: one that is empty, or neither
// a PE image nor of a type that Windows starts itself.
std::optional<std::string> ExeFileWarning(const std::string& path) {
    fsys::InFile in;
    if (in.Open(path))
        return std::nullopt; // the walk reports what keeps it from being read
    char head[2] = {};
    const char* why = nullptr;
    if (in.ReadExact(head, 1))
        why = "is empty";
    else if ((in.ReadExact(head + 1, 1) || head[0] != 'M' || head[1] != 'Z') &&
             std::find(std::begin(kShellStartedTypes), std::end(kShellStartedTypes),
                       UpperExtension(path)) == std::end(kShellStartedTypes))
        why = "is no Windows program (no PE image, no script, no installer package)";
    if (why == nullptr)
        return std::nullopt;
    return "packrig: warning: the executable file " + std::string(why) + ": " + path +
           "\nThe SFX file hands it to the shell, which fails unless a program is registered "
           "for its type; the SFX file then exits with -1.";
}

} // namespace

bool HasExeExtension(std::string_view target) {
    return UpperExtension(target) == ".EXE";
}

std::string WindowsNameProblem(std::string_view component) {
    for (char c : component) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos)
            return "Name holds a character that Windows does not allow in file names";
    }
    if (!component.empty() && (component.back() == '.' || component.back() == ' '))
        return "Name ends in a dot or a blank, which Windows does not allow";
    std::string base(component.substr(0, component.find('.')));
    std::transform(base.begin(), base.end(), base.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static const char* const kReserved[] = {"CON", "PRN", "AUX", "NUL"};
    bool reserved =
        std::find(std::begin(kReserved), std::end(kReserved), base) != std::end(kReserved) ||
        (base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
         base[3] >= '1' && base[3] <= '9');
    if (reserved)
        return "Name is a device name that Windows reserves";
    return {};
}

std::optional<int64_t> ParseSourceDateEpoch(std::string_view text) {
    constexpr int64_t kLatest = 253402300799; // 9999-12-31 23:59:59 UTC
    if (text.empty())
        return std::nullopt;
    int64_t seconds = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        seconds = seconds * 10 + (c - '0');
        if (seconds > kLatest) // leading zeros add nothing, so any length of them is fine
            return std::nullopt;
    }
    return seconds;
}

void SeedIdentifier(uint32_t seed) {
    g_identifierRandom.seed(seed);
}

BuildResult BuildSfx(std::string_view sourceText, std::string_view exeText,
                     std::string_view targetText, const BuildFlags& flags,
                     const prutils::ResourceBytes& image, BuildHost& host) {
    host.PumpMessages();
    std::string source = prutils::WithTrailingDelimiter(prutils::TrimControlAndBlank(sourceText),
                                                        fsys::kPathDelimiter);
    std::string exeFile = prutils::TrimControlAndBlank(exeText);
    std::string target = prutils::TrimControlAndBlank(targetText);
    if (!flags.PathsGiven)
        host.StoreSettings(source, exeFile, target);

    if (!fsys::DirectoryExists(source)) {
        prdialogs::ShowError(Fill("Source directory does not exist\r\n\r\n%s", source));
        return {BuildOutcome::Rejected, {}};
    }
    std::vector<std::string> exePaths = fsys::FindExeFile(source, exeFile);
    if (exePaths.empty()) {
        prdialogs::ShowError(Fill("Executable file does not exist\r\n\r\n%s", source + exeFile));
        host.Note(kExeFileHint);
        return {BuildOutcome::Rejected, {}};
    }
    if (exePaths.size() > 1) {
        prdialogs::ShowError("Executable file names several files that differ only in letter "
                             "case\r\n\r\n" +
                             OnePerLine(exePaths));
        return {BuildOutcome::Rejected, {}};
    }
    if (!HasExeExtension(target)) {
        prdialogs::ShowError(Fill(
            "Incorrect target executable file extension\r\nIt must be .EXE\r\n\r\n%s", target));
        return {BuildOutcome::Rejected, {}};
    }
    std::optional<int64_t> epoch;
    if (flags.SourceDateEpoch) {
        epoch = ParseSourceDateEpoch(*flags.SourceDateEpoch);
        if (!epoch) {
            prdialogs::ShowError(Fill("SOURCE_DATE_EPOCH is not a valid time\r\nIt must be a "
                                      "number of seconds since 1970-01-01 00:00:00 UTC\r\n\r\n%s",
                                      *flags.SourceDateEpoch));
            return {BuildOutcome::Rejected, {}};
        }
    }
    if (!flags.OverwriteTarget && fsys::FileExists(target) &&
        !prdialogs::AskYesNo("Target file already exists\r\nOverwrite?", false))
        return {BuildOutcome::Declined, {}};

    if (std::optional<std::string> warning = ExeFileWarning(exePaths.front()))
        host.Note(*warning);
    host.EnterBusyState();
    ExeFile exe{StoredUpper(ExeFileRelativeName(source, exeFile)),
                fsys::IdentityOf(exePaths.front())};
    Marking marking;
    IoResult failed = WriteSfx(source, exe, exePaths.front(), target, epoch, flags.Compress, image,
                               host, marking);
    host.LeaveBusyState();
    if (failed && failed->refusal) {
        prdialogs::ShowError(failed->message);
        return {BuildOutcome::Stopped, {}};
    }
    if (failed)
        return {BuildOutcome::Failed, failed->message, failed->path};
    if (marking.marked == 0) {
        ReportUnmarked(marking, source + exeFile);
        return {BuildOutcome::Stopped, {}};
    }

    if (flags.ShowCompletion)
        prdialogs::ShowInformation("SFX module has been successfully created");
    host.RequestEnd();
    return {BuildOutcome::Built, {}};
}

} // namespace fpackrig
