// Reading an SFX file the way its runtime module reads it, for packrig-inspect: the same payload
// code (archive.h for plain payloads, packed.h for compressed ones) over a host whose input is the
// file and whose output is either nothing (to list and verify) or a folder (to extract). The host
// records every entry as it passes.
#pragma once

#include "archive.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace inspect {

// Where the input comes from; a system error code (Win32 numbering) travels beside each failure.
class Source {
  public:
    virtual ~Source() = default;
    virtual bool Seek(int64_t pos) = 0;
    virtual bool Read(void* buf, uint32_t n, uint32_t* got) = 0;
    virtual int64_t Size() = 0;
    virtual uint32_t LastError() = 0;
};

// Where unpacked files go. Paths are relative to the target folder, as stored ("\" or "/"
// between components). The default does nothing and always succeeds.
class Sink {
  public:
    virtual ~Sink() = default;
    virtual void MakeFolder(const char* /*rel*/) {}
    virtual bool CreateOutput(const char* /*rel*/) { return true; }
    virtual bool WriteOutput(const void* /*data*/, uint32_t /*n*/) { return true; }
    virtual void FinishOutput(uint32_t /*dosTime*/) {}
    virtual void SetAttributes(const char* /*rel*/, uint32_t /*attr*/) {}
    virtual uint32_t LastError() { return 0; }
};

struct EntryInfo {
    std::string name; // stored bytes (Windows ANSI code page)
    int64_t size = 0;
    uint32_t time = 0; // MS-DOS date and time
    uint32_t attr = 0;
    uint32_t checksum = 0;
    bool marked = false;
    // Deflate streams that the stream held inflated, written back by zlib: how many, the bytes of
    // the file that they make up and the inflated bytes that stood for them.
    uint32_t deflateStreams = 0;
    uint64_t deflatedBytes = 0;
    uint64_t inflatedBytes = 0;
};

// What a refusal concerns, in more words than the runtime module's error code.
enum class Fault {
    None,
    NoImage,          // no PE image with section data
    NoIdentifier,     // the file ends before the identifier behind the image is complete
    NoPayload,        // nothing behind the image, or nothing a builder writes: a plain program
    CutShort,         // an entry, or the terminator, is missing its bytes at the end of the file
    ImpossibleHeader, // a negative length or a name too long for any path
    NoData,           // no entry holds a data byte
    UnsafeName,       // a name that would reach outside the folder it unpacks into
    Checksum,         // an entry's checksum does not match its name and data
    WindowsName,      // a name that the builders refuse because Windows cannot create it
    CaseClash,        // a name that differs from an earlier one only in letter case
    Duplicate,        // a second entry of a file name that an earlier entry has
    NoProgram,        // no entry is marked as the program to start
    System,           // a read or write failed with a system error
};

struct Inspection {
    int64_t fileSize = 0;
    int64_t imageEnd = 0;
    bool hasId = false;
    std::string id;
    bool compressed = false;        // the payload is a compressed one
    int64_t packedSize = 0;         // stored data bytes: the stream's size when compressed
    int64_t unpackedSize = 0;       // data bytes of the files
    std::vector<EntryInfo> entries; // every entry up to the first fault
    uint32_t code = 0;              // 0 when the runtime module would unpack and start the file
    std::string subject;            // the entry's relative path when the fault concerns it
    Fault fault = Fault::None;
    size_t faultEntry = 0;   // the entry concerned, counted from 1; 0 for the file as a whole
    int64_t faultOffset = 0; // where that entry's header starts
    std::string faultName;   // that entry's stored name
    std::string faultDetail; // the rule that a name breaks, or the impossible header's fields
    bool IsSound() const { return code == 0; }
};

// The host of the payload code: reads from `source`, writes to `sink`, records entries.
class Host {
  public:
    Host(Source& source, Sink& sink, sfx::RunState& run, Inspection& out)
        : source_(source), sink_(sink), run_(run), out_(out) {}

    bool Seek(int64_t pos) { return Track(source_.Seek(pos), true); }
    bool Read(void* buf, uint32_t n, uint32_t* got) {
        return Track(source_.Read(buf, n, got), true);
    }
    int64_t Size() { return source_.Size(); }
    uint32_t LastError() { return lastError_; }
    void Pump() {}
    void Progress() {}
    bool MakeFolder(const char* path) {
        sink_.MakeFolder(Relative(path));
        return true;
    }
    bool CreateOutput(const char* path);
    bool WriteOutput(const void* data, uint32_t n);
    bool FinishOutput(uint32_t dosTime, bool hold);
    void SetAttributes(const char* path, uint32_t attr);
    bool RecordUnpacked(const char* path);
    void* AllocWindow(uint32_t n);
    // The deflate streams of the entry being unpacked, once its pieces are written back.
    void NoteRebuilt(uint32_t streams, uint64_t deflated, uint64_t inflated);

    // Entries whose names passed the runtime module's check, so far.
    size_t Recorded() const { return recorded_; }
    // The first entry whose name the builders would refuse, and why; entry 0 when none was.
    // For a name that clashes with an earlier one, the problem is the earlier spelling.
    size_t RefusedNameEntry() const { return refusedNameEntry_; }
    const std::string& RefusedName() const { return refusedName_; }
    const std::string& NameProblem() const { return nameProblem_; }
    bool RefusedForCase() const { return refusedForCase_; }
    // True once an entry repeated the name of an earlier file, which the runtime module refuses.
    bool Duplicate() const { return duplicate_; }

    // The path of the last marked entry, which RecordUnpacked takes out of the run state to tell
    // which entry carried the mark.
    const std::string& LastMarked() const { return lastMarked_; }

  private:
    bool Track(bool ok, bool input);
    std::string EarlierSpelling(const std::string& name);
    const char* Relative(const char* path) const { return path + sfx::TextLength(run_.workDir); }

    Source& source_;
    Sink& sink_;
    sfx::RunState& run_;
    Inspection& out_;
    EntryInfo current_;
    std::string lastMarked_;
    uint32_t lastError_ = 0;
    std::unique_ptr<uint8_t[]> window_;
    size_t recorded_ = 0;
    size_t refusedNameEntry_ = 0;
    std::string refusedName_;
    std::string nameProblem_;
    bool refusedForCase_ = false;
    bool duplicate_ = false;
    std::set<std::string> files_; // every file name unpacked so far
    // Every folder and file name unpacked so far, by its upper case: the first spelling.
    std::map<std::string, std::string> spellings_;
};

// Runs the runtime module's checks and unpack loop over `source` into `sink`, with `folder`
// (empty, or ending in "/") before every unpacked path. With `listAfterRefusal`, entries are
// walked and listed also when the checking pass has refused the file (nothing is unpacked then
// only if `sink` writes nothing).
Inspection Inspect(Source& source, Sink& sink, const std::string& folder, bool listAfterRefusal);

// Why the builders would refuse to store `name` (a stored name, "\" between folders), or empty:
// their rules for names that Windows cannot create and for the length of a name.
std::string BuilderNameProblem(const std::string& name);

// The runtime module's report for the fault, its system text with the file's path or the
// entry's path in place, then which entry the fault concerns and why, on one line; untrusted
// bytes in the display form of display.h.
std::string Reason(const Inspection& result, const std::string& path);

// The listing as text lines and as JSON.
std::string FormatText(const Inspection& result, const std::string& path);
std::string FormatJson(const Inspection& result, const std::string& path);

// "YYYY-MM-DD HH:MM:SS" of an MS-DOS date and time.
std::string DosTimeText(uint32_t dosTime);

// Stored name bytes (of the target code page) as UTF-8, for terminals and Linux file names.
std::string Utf8Name(const std::string& stored);

} // namespace inspect
