// The runtime module's reading of an SFX file, recorded entry by entry; see inspection.h.
#include "inspection.h"

#include "build_sfx.h"
#include "bytesum.h"
#include "codepage.h"
#include "display.h"
#include "filesys.h"
#include "packed.h"

#include <algorithm>
#include <cstdio>
#include <new>

namespace inspect {

bool Host::Track(bool ok, bool input) {
    if (!ok)
        lastError_ = input ? source_.LastError() : sink_.LastError();
    return ok;
}

std::string BuilderNameProblem(const std::string& name) {
    if (fsys::StoredCharacterCount(name) > fpackrig::kLongestStoredName)
        return "Name is longer than " + std::to_string(fpackrig::kLongestStoredName) +
               " characters, the most that a Windows path leaves below the working folder";
    for (size_t start = 0; start <= name.size();) {
        size_t end = std::min(name.find('\\', start), name.size());
        std::string problem = fpackrig::WindowsNameProblem(name.substr(start, end - start));
        if (!problem.empty())
            return problem;
        start = end + 1;
    }
    return {};
}

// Windows holds one of two names that differ only in letter case: the later file would
// overwrite the earlier one, or go into the earlier one's folder. The builders refuse such
// trees. Returns the earlier spelling of the name or of one of its folders, or nothing. The
// same spelling twice is left to the runtime module's rule, which refuses a second file of a
// name that it has created already.
std::string Host::EarlierSpelling(const std::string& name) {
    for (size_t end = name.find('\\');; end = name.find('\\', end + 1)) {
        std::string part = name.substr(0, end);
        auto [at, added] = spellings_.emplace(fsys::UpperStored(part), part);
        if (!added && at->second != part)
            return at->second;
        if (end == std::string::npos)
            return {};
    }
}

// The name checks of the builders come where Windows would fail or lose a file: at the creation
// of the file. The walk goes on, so that the listing shows every entry; the first such name
// refuses the file.
bool Host::CreateOutput(const char* path) {
    const char* rel = Relative(path);
    if (!files_.insert(rel).second) {
        duplicate_ = true;
        lastError_ = sfx::kFileExists;
        return false;
    }
    if (refusedNameEntry_ == 0) {
        nameProblem_ = BuilderNameProblem(rel);
        if (nameProblem_.empty()) {
            nameProblem_ = EarlierSpelling(rel);
            refusedForCase_ = !nameProblem_.empty();
        }
        if (!nameProblem_.empty()) {
            refusedNameEntry_ = out_.entries.size() + 1;
            refusedName_ = rel;
        }
    }
    return Track(sink_.CreateOutput(rel), false);
}

bool Host::RecordUnpacked(const char* path) {
    const char* name = Relative(path);
    ++recorded_;
    current_ = EntryInfo{};
    current_.name = name;
    current_.checksum = payload::ByteSum(name, current_.name.size());
    // The unpack loop copies a marked entry's path to launchPath just before this call.
    if (run_.launchPath[0] != 0) {
        current_.marked = true;
        lastMarked_ = run_.launchPath;
        run_.launchPath[0] = 0;
    }
    return true;
}

bool Host::WriteOutput(const void* data, uint32_t n) {
    current_.size += n;
    current_.checksum += payload::ByteSum(data, n);
    return Track(sink_.WriteOutput(data, n), false);
}

// Called once the entry's checksum has matched.
bool Host::FinishOutput(uint32_t dosTime, bool /*hold*/) {
    current_.time = dosTime;
    sink_.FinishOutput(dosTime);
    return true;
}

void Host::SetAttributes(const char* path, uint32_t attr) {
    current_.attr = attr;
    out_.entries.push_back(current_);
    sink_.SetAttributes(Relative(path), attr);
}

void Host::NoteRebuilt(uint32_t streams, uint64_t deflated, uint64_t inflated) {
    current_.deflateStreams = streams;
    current_.deflatedBytes = deflated;
    current_.inflatedBytes = inflated;
}

void* Host::AllocWindow(uint32_t n) {
    window_.reset(new (std::nothrow) uint8_t[n]);
    return window_.get();
}

namespace {

constexpr size_t kIdSize = sizeof(payload::ArchiveId);
constexpr uint32_t kInvalidName = 123;   // ERROR_INVALID_NAME, what Windows says to such names
constexpr uint32_t kAlreadyExists = 183; // ERROR_ALREADY_EXISTS: the name is taken

// Steps of the runtime module's run up to the checking pass: the image end, the identifier.
sfx::Outcome LocateAndReadId(Host& host, sfx::RunState& run, Inspection& out) {
    sfx::Outcome r = sfx::LocatePayload(host, run.imageEnd);
    out.imageEnd = run.imageEnd;
    if (r.code != 0)
        return r;
    if (run.imageEnd == 0 || host.Size() <= run.imageEnd + int64_t{kIdSize})
        return sfx::Fail(sfx::kBadFormat);
    r = sfx::ReadArchiveId(host, run);
    if (r.code == 0) {
        out.hasId = true;
        out.id.assign(run.archiveId.Text, run.archiveId.Length);
    }
    return r;
}

// The unpack loop, then the runtime module's demand for a marked entry; `unmarked` tells the
// latter refusal apart.
sfx::Outcome Unpack(Host& host, sfx::RunState& run, std::vector<uint8_t>& buffer, bool& unmarked) {
    sfx::Outcome r = sfx::SeekTo(host, run.imageEnd + int64_t{kIdSize});
    if (r.code == 0)
        r = sfx::UnpackEntries(host, run, buffer.data());
    sfx::CopyText(run.launchPath, sfx::kPathCap, host.LastMarked().c_str());
    unmarked = r.code == 0 && run.launchPath[0] == 0;
    return unmarked ? sfx::Fail(sfx::kBadFormat) : r;
}

bool SetVerdict(Inspection& out, const sfx::Outcome& r, const sfx::RunState& run) {
    if (r.code == 0 || out.code != 0)
        return false;
    out.code = r.code;
    if (r.subject == sfx::Subject::EntryPath)
        out.subject = run.fileName + sfx::TextLength(run.workDir);
    return true;
}

void NoteFault(Inspection& out, Fault fault, size_t entry, int64_t offset, std::string name = {}) {
    out.fault = fault;
    out.faultEntry = entry;
    out.faultOffset = offset;
    out.faultName = std::move(name);
}

// Where the header of entry `index` (counted from 0) starts, from the entries before it.
int64_t EntryOffset(const Inspection& out, size_t index) {
    int64_t pos = out.imageEnd + int64_t{kIdSize};
    for (size_t i = 0; i < index && i < out.entries.size(); ++i)
        pos += int64_t{sizeof(payload::TEntryHeader)} + int64_t(out.entries[i].name.size()) +
               out.entries[i].size + payload::kChecksumSize;
    return pos;
}

void ExplainLocating(Inspection& out, const sfx::Outcome& r) {
    if (r.code != sfx::kBadFormat)
        NoteFault(out, Fault::System, 0, 0);
    else if (out.imageEnd == 0)
        NoteFault(out, Fault::NoImage, 0, 0);
    else
        NoteFault(out, out.fileSize == out.imageEnd ? Fault::NoPayload : Fault::NoIdentifier, 0,
                  out.imageEnd);
}

// Whether `id` is one that a builder writes: ten upper-case hexadecimal digits, the first two
// perhaps the mark of UTF-8 names. The runtime module does not look at it, but a file whose
// payload fails without one holds no payload at all.
bool IsBuilderIdentifier(const std::string& id) {
    auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    return id.size() == 10 && (id.starts_with("U8") || (hex(id[0]) && hex(id[1]))) &&
           std::all_of(id.begin() + 2, id.end(), hex);
}

// Says which header the checking pass stopped at, walking the headers as it does.
void ExplainCheckingPass(Source& source, Inspection& out, const sfx::Outcome& r) {
    if (r.code != sfx::kBadFormat) {
        NoteFault(out, Fault::System, 0, 0);
        return;
    }
    int64_t pos = out.imageEnd + int64_t{kIdSize};
    int64_t data = 0;
    for (size_t entry = 1; pos < out.fileSize; ++entry) {
        payload::TEntryHeader h{};
        uint32_t got = 0;
        if (!source.Seek(pos) || !source.Read(&h, sizeof h, &got) || got != sizeof h)
            return NoteFault(out, Fault::CutShort, entry, pos);
        if (payload::IsTerminator(h))
            return NoteFault(out, data == 0 ? Fault::NoData : Fault::None, 0, pos);
        if (sfx::IsImpossibleHeader(h)) {
            NoteFault(out, Fault::ImpossibleHeader, entry, pos);
            out.faultDetail =
                "name length " + std::to_string(h.NameLength) + ", size " + std::to_string(h.Size);
            return;
        }
        int64_t next = pos + int64_t{sizeof h} + h.NameLength + h.Size + payload::kChecksumSize;
        if (next > out.fileSize)
            return NoteFault(out, Fault::CutShort, entry, pos);
        pos = next;
        data += h.Size;
    }
    NoteFault(out, Fault::CutShort, 0, pos); // no terminator behind the last entry
}

// Says which entry the unpack loop stopped at: the name check comes before the entry is
// recorded, the checksum after its data.
void ExplainUnpacking(Inspection& out, const Host& host, const sfx::RunState& run,
                      const sfx::Outcome& r, bool unmarked) {
    size_t index = out.entries.size();
    Fault fault = unmarked                    ? Fault::NoProgram
                  : r.code != sfx::kBadFormat ? Fault::System
                  : host.Recorded() <= index  ? Fault::UnsafeName
                  : host.Duplicate()          ? Fault::Duplicate
                                              : Fault::Checksum;
    if (fault == Fault::NoProgram)
        return NoteFault(out, fault, 0, 0);
    NoteFault(out, fault, index + 1, EntryOffset(out, index),
              run.fileName + sfx::TextLength(run.workDir));
}

// A name that the builders refuse comes before any later fault: the walk went on past it.
// `offset` is where the refused entry lies.
bool RefuseBuilderName(Inspection& out, const Host& host, int64_t offset) {
    if (host.RefusedNameEntry() == 0 || out.code != 0)
        return false;
    out.code = host.RefusedForCase() ? kAlreadyExists : kInvalidName;
    out.subject = host.RefusedName();
    NoteFault(out, host.RefusedForCase() ? Fault::CaseClash : Fault::WindowsName,
              host.RefusedNameEntry(), offset, host.RefusedName());
    out.faultDetail = host.NameProblem();
    return true;
}

// True when the payload behind the identifier begins as a compressed one.
bool StartsPacked(Host& host, const sfx::RunState& run) {
    uint8_t magic[sizeof payload::kPackedMagic];
    if (sfx::SeekTo(host, run.imageEnd + int64_t{kIdSize}).code != 0 ||
        sfx::ReadExactly(host, magic, sizeof magic).code != 0)
        return false;
    for (size_t i = 0; i < sizeof magic; ++i)
        if (magic[i] != payload::kPackedMagic[i])
            return false;
    return true;
}

// The decoding module's steps: header and stream, index, unpacking. A damaged compressed
// payload has nothing to list.
void InspectPacked(Host& host, sfx::RunState& run, Inspection& out) {
    out.compressed = true;
    auto decoder = std::make_unique<lz::Decoder>();
    sfx::PackedRun<Host> packed;
    packed.decoder = decoder.get();
    packed.entryRebuilt = [](void* ctx, const payload::Rebuilder& done) {
        static_cast<Host*>(ctx)->NoteRebuilt(done.streams, done.deflatedBytes, done.inflatedBytes);
    };
    packed.rebuiltContext = &host;
    std::vector<uint8_t> buffer(payload::kChunkSize);
    sfx::Outcome r = sfx::CheckPackedPayload(host, run, packed, buffer.data());
    out.packedSize = static_cast<int64_t>(packed.header.PackedSize);
    out.unpackedSize = static_cast<int64_t>(packed.header.DataSize);
    if (r.code == 0)
        r = sfx::ReadPackedIndex(host, packed);
    if (r.code == 0)
        out.unpackedSize = static_cast<int64_t>(sfx::IndexFileBytes(packed.index, packed.header));
    if (r.code == 0)
        r = sfx::UnpackPackedEntries(host, run, packed, buffer.data());
    // Offsets inside the stream mean nothing in the file: the refusal points at the payload.
    if (!RefuseBuilderName(out, host, run.imageEnd + int64_t{kIdSize}))
        SetVerdict(out, r, run);
}

} // namespace

Inspection Inspect(Source& source, Sink& sink, const std::string& folder, bool listAfterRefusal) {
    Inspection out;
    out.fileSize = source.Size();
    auto run = std::make_unique<sfx::RunState>();
    Host host(source, sink, *run, out);
    if (folder.size() >= sfx::kWorkDirCap) {
        out.code = 206; // ERROR_FILENAME_EXCED_RANGE
        out.fault = Fault::System;
        return out;
    }
    sfx::CopyText(run->workDir, sfx::kWorkDirCap, folder.c_str());
    sfx::Outcome r = LocateAndReadId(host, *run, out);
    if (SetVerdict(out, r, *run)) {
        ExplainLocating(out, r);
        return out;
    }
    // Names are read, shown, checked and unpacked as UTF-8 when the identifier says so.
    if (payload::NamesAreUtf8(run->archiveId))
        prutils::SetTargetCodePage(prutils::CodePage::Utf8);
    if (StartsPacked(host, *run)) {
        InspectPacked(host, *run, out);
        return out;
    }
    r = sfx::CheckPayload(host, *run);
    if (SetVerdict(out, r, *run)) {
        ExplainCheckingPass(source, out, r);
        if (r.code == sfx::kBadFormat && !IsBuilderIdentifier(out.id))
            NoteFault(out, Fault::NoPayload, 0, out.imageEnd);
        if (!listAfterRefusal)
            return out;
    }
    std::vector<uint8_t> buffer(payload::kChunkSize);
    bool unmarked = false;
    r = Unpack(host, *run, buffer, unmarked);
    out.packedSize = out.unpackedSize = run->totalSize;
    if (!RefuseBuilderName(out, host, EntryOffset(out, host.RefusedNameEntry() - 1)) &&
        SetVerdict(out, r, *run))
        ExplainUnpacking(out, host, *run, r, unmarked);
    return out;
}

namespace {

// English system texts of the codes the runtime module can report while reading its file.
const char* SystemText(uint32_t code) {
    switch (code) {
    case 2:
        return "The system cannot find the file specified.";
    case 3:
        return "The system cannot find the path specified.";
    case 5:
        return "Access is denied.";
    case 8:
        return "Not enough memory resources are available to process this command.";
    case 23:
        return "Data error (cyclic redundancy check).";
    case 30:
        return "The system cannot read from the specified device.";
    case 32:
        return "The process cannot access the file because it is being used by another process.";
    case 112:
        return "There is not enough space on the disk.";
    case 123:
        return "The filename, directory name, or volume label syntax is incorrect.";
    case 183:
        return "Cannot create a file when that file already exists.";
    case 193:
        return "%1 is not a valid Win32 application.";
    case 206:
        return "The filename or extension is too long.";
    default:
        return "";
    }
}

std::string OneLine(const char* text) {
    std::string line;
    for (const char* p = text; *p != 0; ++p) {
        if (*p == '\r')
            continue;
        if (*p == '\n') {
            if (!line.empty() && line.back() != ' ')
                line += line.back() == ':' ? " " : ": ";
            continue;
        }
        line += *p;
    }
    return line;
}

std::string Hex32(uint32_t v) {
    char text[12];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

std::string JsonString(const std::string& utf8) {
    std::string s = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", c);
            s += esc;
        } else {
            s += static_cast<char>(c);
        }
    }
    return s + "\"";
}

// The entry a fault concerns, as `entry 2 "Docs\a.txt" at offset 16420`.
std::string EntryText(const Inspection& r) {
    std::string text = "entry " + std::to_string(r.faultEntry);
    if (!r.faultName.empty())
        text += " \"" + ShownStored(r.faultName) + "\"";
    return text + " at offset " + std::to_string(r.faultOffset);
}

// Which entry a refusal concerns and why, or empty when the runtime module's report says it all.
std::string FaultText(const Inspection& r) {
    std::string entry = r.faultEntry != 0 ? EntryText(r) : std::string();
    std::string end = "cut short at offset " + std::to_string(r.fileSize);
    switch (r.fault) {
    case Fault::NoImage:
        return "no PE image with section data";
    case Fault::NoIdentifier:
        return end + ": no identifier behind the image, which ends at offset " +
               std::to_string(r.imageEnd);
    case Fault::NoPayload:
        return "no payload behind the image, which ends at offset " + std::to_string(r.imageEnd);
    case Fault::CutShort:
        return end + (r.faultEntry != 0 ? ": " + entry + " runs past the end of the file"
                                        : ": no terminator behind the last entry");
    case Fault::ImpossibleHeader:
        return entry + ": impossible header (" + r.faultDetail + ")";
    case Fault::NoData:
        return "no entry holds data";
    case Fault::UnsafeName:
        return entry + ": unsafe name, which would reach outside the folder it unpacks into";
    case Fault::Checksum:
        return entry + ": checksum does not match the name and data";
    case Fault::WindowsName:
        return entry + ": a name Windows cannot create (" + r.faultDetail + ")";
    case Fault::CaseClash:
        return entry + ": a name that differs from \"" + ShownStored(r.faultDetail) +
               "\" only in letter case, and Windows holds only one of them";
    case Fault::Duplicate:
        return entry + ": a second entry of a name that an earlier entry has";
    case Fault::NoProgram:
        return "no entry is marked as the program to start";
    case Fault::System:
        return entry;
    case Fault::None:
        break;
    }
    return {};
}

int64_t DataBytes(const Inspection& r) {
    int64_t total = 0;
    for (const EntryInfo& e : r.entries)
        total += e.size;
    return total;
}

} // namespace

std::string Utf8Name(const std::string& stored) {
    return prutils::ToUtf8(stored, prutils::TargetCodePage());
}

std::string DosTimeText(uint32_t t) {
    char text[24];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (t >> 25),
                  (t >> 21) & 0xF, (t >> 16) & 0x1F, (t >> 11) & 0x1F, (t >> 5) & 0x3F,
                  (t & 0x1F) * 2);
    return text;
}

std::string Reason(const Inspection& r, const std::string& path) {
    if (r.code == 0)
        return {};
    std::string subject = r.subject.empty() ? ShownPath(path) : ShownStored(r.subject);
    std::string report(subject.size() + 512, '\0');
    sfx::ComposeReport(SystemText(r.code), subject.c_str(), report.data(), report.size());
    std::string line = OneLine(report.c_str());
    while (!line.empty() && (line.back() == ' ' || line.back() == ':'))
        line.pop_back();
    line += " (error " + std::to_string(r.code) + ")";
    std::string fault = FaultText(r);
    return fault.empty() ? line : line + ": " + fault;
}

std::string FormatText(const Inspection& r, const std::string& path) {
    std::string s = "file " + ShownPath(path) + "\n";
    s += "size " + std::to_string(r.fileSize) + "\n";
    s += "image " + std::to_string(r.imageEnd) + "\n";
    s += "identifier " + (r.hasId ? ShownStored(r.id) : std::string("-")) + "\n";
    s += "entries " + std::to_string(r.entries.size()) + "\n";
    s += "data " + std::to_string(DataBytes(r)) + "\n";
    s += std::string("compressed ") + (r.compressed ? "yes" : "no") + "\n";
    s += "packed " + std::to_string(r.packedSize) + "\n";
    s += "unpacked " + std::to_string(r.unpackedSize) + "\n";
    for (const EntryInfo& e : r.entries)
        s += std::string("entry ") + (e.marked ? "* " : "- ") + std::to_string(e.size) + " " +
             DosTimeText(e.time) + " " + Hex32(e.attr) + " " + Hex32(e.checksum) + " " +
             ShownStored(e.name) + "\n";
    s += r.IsSound() ? std::string("status sound\n") : "status refused " + Reason(r, path) + "\n";
    return s;
}

namespace {

// The entry's deflate streams, for entries stored as pieces only.
std::string RecompressedJson(const EntryInfo& e) {
    if (e.deflateStreams == 0)
        return {};
    return ", \"recompressed\": {\"streams\": " + std::to_string(e.deflateStreams) +
           ", \"deflated\": " + std::to_string(e.deflatedBytes) +
           ", \"inflated\": " + std::to_string(e.inflatedBytes) + "}";
}

} // namespace

std::string FormatJson(const Inspection& r, const std::string& path) {
    std::string s = "{\n  \"file\": " + JsonString(ValidUtf8(path)) + ",\n";
    s += "  \"size\": " + std::to_string(r.fileSize) + ",\n";
    s += "  \"image\": " + std::to_string(r.imageEnd) + ",\n";
    s +=
        "  \"identifier\": " + (r.hasId ? JsonString(Utf8Name(r.id)) : std::string("null")) + ",\n";
    s += "  \"data\": " + std::to_string(DataBytes(r)) + ",\n";
    s += std::string("  \"compressed\": ") + (r.compressed ? "true" : "false") + ",\n";
    s += "  \"packed\": " + std::to_string(r.packedSize) + ",\n";
    s += "  \"unpacked\": " + std::to_string(r.unpackedSize) + ",\n";
    s += "  \"entries\": [";
    for (size_t i = 0; i < r.entries.size(); ++i) {
        const EntryInfo& e = r.entries[i];
        s += i == 0 ? "\n" : ",\n";
        s += "    {\"name\": " + JsonString(Utf8Name(e.name)) +
             ", \"size\": " + std::to_string(e.size) + ", \"time\": \"" + DosTimeText(e.time) +
             "\", \"dostime\": " + std::to_string(e.time) +
             ", \"attributes\": " + std::to_string(e.attr) +
             ", \"checksum\": " + std::to_string(e.checksum) +
             ", \"marked\": " + (e.marked ? "true" : "false") + RecompressedJson(e) + "}";
    }
    s += r.entries.empty() ? "],\n" : "\n  ],\n";
    s += std::string("  \"sound\": ") + (r.IsSound() ? "true" : "false") + ",\n";
    s += "  \"error\": " + (r.IsSound() ? std::string("null") : std::to_string(r.code)) + ",\n";
    s += "  \"reason\": " + (r.IsSound() ? std::string("null") : JsonString(Reason(r, path))) +
         "\n}\n";
    return s;
}

} // namespace inspect
