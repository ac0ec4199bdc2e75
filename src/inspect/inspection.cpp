// The runtime module's reading of an SFX file, recorded entry by entry; see inspection.h.
#include "inspection.h"

#include "bytesum.h"
#include "codepage.h"
#include "packed.h"

#include <cstdio>
#include <new>

namespace inspect {

bool Host::Track(bool ok, bool input) {
    if (!ok)
        lastError_ = input ? source_.LastError() : sink_.LastError();
    return ok;
}

bool Host::RecordUnpacked(const char* path) {
    const char* name = Relative(path);
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
void Host::FinishOutput(uint32_t dosTime) {
    current_.time = dosTime;
    sink_.FinishOutput(dosTime);
}

void Host::SetAttributes(const char* path, uint32_t attr) {
    current_.attr = attr;
    out_.entries.push_back(current_);
    sink_.SetAttributes(Relative(path), attr);
}

void* Host::AllocWindow(uint32_t n) {
    window_.reset(new (std::nothrow) uint8_t[n]);
    return window_.get();
}

namespace {

constexpr size_t kIdSize = sizeof(payload::ArchiveId);

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

sfx::Outcome Unpack(Host& host, sfx::RunState& run, std::vector<uint8_t>& buffer) {
    sfx::Outcome r = sfx::SeekTo(host, run.imageEnd + int64_t{kIdSize});
    if (r.code == 0)
        r = sfx::UnpackEntries(host, run, buffer.data());
    sfx::CopyText(run.launchPath, sfx::kPathCap, host.LastMarked().c_str());
    if (r.code == 0 && run.launchPath[0] == 0)
        r = sfx::Fail(sfx::kBadFormat);
    return r;
}

void SetVerdict(Inspection& out, const sfx::Outcome& r, const sfx::RunState& run) {
    if (r.code == 0 || out.code != 0)
        return;
    out.code = r.code;
    if (r.subject == sfx::Subject::EntryPath)
        out.subject = run.fileName + sfx::TextLength(run.workDir);
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
    std::vector<uint8_t> buffer(payload::kChunkSize);
    sfx::Outcome r = sfx::CheckPackedPayload(host, run, packed, buffer.data());
    out.packedSize = static_cast<int64_t>(packed.header.PackedSize);
    out.unpackedSize = static_cast<int64_t>(packed.header.DataSize);
    if (r.code == 0)
        r = sfx::ReadPackedIndex(host, packed);
    if (r.code == 0)
        r = sfx::UnpackPackedEntries(host, run, packed, buffer.data());
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
        return out;
    }
    sfx::CopyText(run->workDir, sfx::kWorkDirCap, folder.c_str());
    sfx::Outcome r = LocateAndReadId(host, *run, out);
    SetVerdict(out, r, *run);
    if (r.code != 0)
        return out;
    if (StartsPacked(host, *run)) {
        InspectPacked(host, *run, out);
        return out;
    }
    SetVerdict(out, sfx::CheckPayload(host, *run), *run);
    if (out.code != 0 && !listAfterRefusal)
        return out;
    std::vector<uint8_t> buffer(payload::kChunkSize);
    SetVerdict(out, Unpack(host, *run, buffer), *run);
    out.packedSize = out.unpackedSize = run->totalSize;
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
    case 112:
        return "There is not enough space on the disk.";
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

int64_t DataBytes(const Inspection& r) {
    int64_t total = 0;
    for (const EntryInfo& e : r.entries)
        total += e.size;
    return total;
}

} // namespace

std::string Utf8Name(const std::string& stored) {
    return prutils::ToUtf8(stored, prutils::CodePage::Windows1252);
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
    std::string subject = r.subject.empty() ? path : Utf8Name(r.subject);
    std::string report(subject.size() + 512, '\0');
    sfx::ComposeReport(SystemText(r.code), subject.c_str(), report.data(), report.size());
    std::string line = OneLine(report.c_str());
    while (!line.empty() && (line.back() == ' ' || line.back() == ':'))
        line.pop_back();
    return line + " (error " + std::to_string(r.code) + ")";
}

std::string FormatText(const Inspection& r, const std::string& path) {
    std::string s = "file " + path + "\n";
    s += "size " + std::to_string(r.fileSize) + "\n";
    s += "image " + std::to_string(r.imageEnd) + "\n";
    s += "identifier " + (r.hasId ? r.id : std::string("-")) + "\n";
    s += "entries " + std::to_string(r.entries.size()) + "\n";
    s += "data " + std::to_string(DataBytes(r)) + "\n";
    s += std::string("compressed ") + (r.compressed ? "yes" : "no") + "\n";
    s += "packed " + std::to_string(r.packedSize) + "\n";
    s += "unpacked " + std::to_string(r.unpackedSize) + "\n";
    for (const EntryInfo& e : r.entries)
        s += std::string("entry ") + (e.marked ? "* " : "- ") + std::to_string(e.size) + " " +
             DosTimeText(e.time) + " " + Hex32(e.attr) + " " + Hex32(e.checksum) + " " +
             Utf8Name(e.name) + "\n";
    s += r.IsSound() ? std::string("status sound\n") : "status refused " + Reason(r, path) + "\n";
    return s;
}

std::string FormatJson(const Inspection& r, const std::string& path) {
    std::string s = "{\n  \"file\": " + JsonString(path) + ",\n";
    s += "  \"size\": " + std::to_string(r.fileSize) + ",\n";
    s += "  \"image\": " + std::to_string(r.imageEnd) + ",\n";
    s += "  \"identifier\": " + (r.hasId ? JsonString(r.id) : std::string("null")) + ",\n";
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
             ", \"marked\": " + (e.marked ? "true" : "false") + "}";
    }
    s += r.entries.empty() ? "],\n" : "\n  ],\n";
    s += std::string("  \"sound\": ") + (r.IsSound() ? "true" : "false") + ",\n";
    s += "  \"error\": " + (r.IsSound() ? std::string("null") : std::to_string(r.code)) + ",\n";
    s += "  \"reason\": " + (r.IsSound() ? std::string("null") : JsonString(Reason(r, path))) +
         "\n}\n";
    return s;
}

} // namespace inspect
