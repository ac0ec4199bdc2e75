// Reading the payload from the module's own file: finding where the image ends, the checking
// pass over the entry headers, and unpacking every entry. Written against a host type so that
// the same code runs on the real file under Windows and on memory in the unit tests.
//
// A Host provides:
//   bool Seek(int64_t pos);                      absolute position in the own file
//   bool Read(void* buf, uint32_t n, uint32_t* got);
//   int64_t Size();                              size of the own file
//   uint32_t LastError();                        system error code of the last failure
//   void Pump();                                 handle pending window messages
//   void Progress();                             show DoneSize of TotalSize
//   bool MakeFolder(const char* path);           one folder; false only where a link stands in
//                                                its place (other failures show up later)
//   bool CreateOutput(const char* path);         create a new file, never over an existing one,
//                                                and open it for writing
//   bool WriteOutput(const void* data, uint32_t n);   false also on a short write
//   bool FinishOutput(uint32_t dosTime, bool hold);   set the last-write time, close; with
//                                                `hold`, keep the file from being changed or
//                                                replaced until the program has started
//   void SetAttributes(const char* path, uint32_t attr);
//   bool RecordUnpacked(const char* path);       remember for the clean-up; false if out of memory
#pragma once

#include <stdint.h>

#include "bytesum.h"
#include "names.h"
#include "payload.h"
#include "text.h"

namespace sfx {

inline constexpr uint32_t kBadFormat = 193;     // ERROR_BAD_EXE_FORMAT
inline constexpr uint32_t kDiskFull = 112;      // ERROR_DISK_FULL
inline constexpr uint32_t kOutOfMemory = 8;     // ERROR_NOT_ENOUGH_MEMORY
inline constexpr uint32_t kAccessDenied = 5;    // ERROR_ACCESS_DENIED
inline constexpr uint32_t kFileExists = 80;     // ERROR_FILE_EXISTS
inline constexpr uint32_t kAlreadyExists = 183; // ERROR_ALREADY_EXISTS
inline constexpr int32_t kMaxNameLength = 1024; // longer names cannot be a Windows path
inline constexpr size_t kWorkDirCap = 300;      // temp folder (261) + "~sfx" + id + "\"
inline constexpr size_t kPathCap = kWorkDirCap + kMaxNameLength + 1;

// Whose name a failure report carries.
enum class Subject : uint8_t { OwnPath, EntryPath, LaunchPath };

// The outcome of a step: code 0 is success, anything else a system error code to report.
struct Outcome {
    uint32_t code;
    Subject subject;
};
inline constexpr Outcome kOk{0, Subject::OwnPath};
inline Outcome Fail(uint32_t code, Subject subject = Subject::OwnPath) {
    return Outcome{code, subject};
}

// Run state shared by the steps of one run.
struct RunState {
    int64_t imageEnd = 0;
    payload::ArchiveId archiveId{};
    int64_t totalSize = 0;
    int64_t doneSize = 0;
    char workDir[kWorkDirCap] = {};
    char fileName[kPathCap] = {}; // WorkDir + the current entry's name
    char launchPath[kPathCap] = {};
    char lastFolder[kPathCap] = {}; // folder part of the last file created
};

// The system's code for the last failure, or `fallback` when the system gives none, so that a
// failure never ends the run as if it had succeeded.
template <class Host> uint32_t SystemCode(Host& host, uint32_t fallback) {
    uint32_t code = host.LastError();
    return code != 0 ? code : fallback;
}

// Reads exactly `n` bytes. A read cut short by the end of the file is a malformed file (193);
// a failing read reports the system's code, or 193 when the system gives none.
template <class Host> Outcome ReadExactly(Host& host, void* buf, uint32_t n) {
    uint32_t got = 0;
    if (!host.Read(buf, n, &got))
        return Fail(SystemCode(host, kBadFormat));
    return got == n ? kOk : Fail(kBadFormat);
}

template <class Host> Outcome SeekTo(Host& host, int64_t pos) {
    return host.Seek(pos) ? kOk : Fail(SystemCode(host, kBadFormat));
}

inline uint16_t LoadU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline int32_t LoadI32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

// Finds the end of the module's PE image from its section table: the greatest raw-data offset
// plus size over the sections with raw data. Only the low 16 bits of the PE header offset are
// read. `end` is 0 when the file is no PE image or has no section with raw data.
template <class Host> Outcome LocatePayload(Host& host, int64_t& end) {
    end = 0;
    uint8_t b[24];
    int64_t peOffset = 2; // without "MZ" the signature is looked for right behind
    Outcome r = SeekTo(host, 0);
    if (r.code == 0)
        r = ReadExactly(host, b, 2);
    if (r.code == 0 && b[0] == 'M' && b[1] == 'Z') {
        r = SeekTo(host, 0x3C);
        if (r.code == 0)
            r = ReadExactly(host, b, 2);
        peOffset = LoadU16(b);
    }
    if (r.code == 0)
        r = SeekTo(host, peOffset);
    if (r.code == 0)
        r = ReadExactly(host, b, 24); // signature and file header
    if (r.code != 0 || b[0] != 'P' || b[1] != 'E' || b[2] != 0 || b[3] != 0)
        return r;
    uint16_t sections = LoadU16(b + 6);
    int64_t table = peOffset + 24 + LoadU16(b + 20);
    int64_t found = 0;
    for (uint32_t i = 0; i < sections; ++i) {
        uint8_t s[8]; // size and offset of the section's raw data
        r = SeekTo(host, table + 40 * int64_t{i} + 16);
        if (r.code == 0)
            r = ReadExactly(host, s, 8);
        if (r.code != 0)
            return r;
        int64_t rawSize = LoadI32(s);
        int64_t rawPos = LoadI32(s + 4);
        if (rawSize > 0 && rawPos + rawSize > found)
            found = rawPos + rawSize;
    }
    end = found;
    return kOk;
}

// Reads the identifier behind the image; a length byte above 10 counts as 10.
template <class Host> Outcome ReadArchiveId(Host& host, RunState& run) {
    Outcome r = SeekTo(host, run.imageEnd);
    if (r.code == 0)
        r = ReadExactly(host, &run.archiveId, sizeof run.archiveId);
    if (run.archiveId.Length > payload::kArchiveIdTextLength)
        run.archiveId.Length = payload::kArchiveIdTextLength;
    return r;
}

// A header that no builder writes and that would move the walk backwards or overflow the
// path buffer.
inline bool IsImpossibleHeader(const payload::TEntryHeader& h) {
    return h.NameLength < 0 || h.Size < 0 || h.NameLength > kMaxNameLength;
}

// Walks the entry headers from ImageEnd + 11 to the terminator, one 17-byte read each, and
// adds up TotalSize. Refuses (193) a payload without data bytes, one that runs to the end of
// the file without the terminator, and impossible headers.
template <class Host> Outcome CheckPayload(Host& host, RunState& run) {
    int64_t pos = run.imageEnd + int64_t{sizeof(payload::ArchiveId)};
    int64_t size = host.Size();
    run.totalSize = 0;
    bool terminated = false;
    while (size > pos) {
        payload::TEntryHeader h;
        Outcome r = SeekTo(host, pos);
        if (r.code == 0)
            r = ReadExactly(host, &h, sizeof h);
        if (r.code != 0)
            return r;
        if (payload::IsTerminator(h)) {
            terminated = true;
            break;
        }
        if (IsImpossibleHeader(h))
            return Fail(kBadFormat);
        pos += int64_t{sizeof h} + h.NameLength + h.Size + payload::kChecksumSize;
        run.totalSize += h.Size;
        host.Pump();
    }
    if (run.totalSize == 0 || !terminated)
        return Fail(kBadFormat);
    return kOk;
}

// WorkDir := temp folder (with a trailing "\") + "~sfx" + identifier + "\".
inline void SetWorkDir(RunState& run, const char* tempPath) {
    size_t len = CopyText(run.workDir, kWorkDirCap, tempPath);
    if (len == 0 || run.workDir[len - 1] != '\\')
        AppendText(run.workDir, kWorkDirCap, "\\");
    AppendText(run.workDir, kWorkDirCap, "~sfx");
    AppendBytes(run.workDir, kWorkDirCap, run.archiveId.Text, run.archiveId.Length);
    AppendText(run.workDir, kWorkDirCap, "\\");
}

// Creates every folder on `path` up to its last "\", outermost first, leaving out the first
// `from` characters (folders known to exist). Leading parts that are no folders (a drive, a
// server name) fail harmlessly. False if a link stands where a folder should be.
template <class Host> bool MakeFolders(Host& host, char* path, size_t from = 1) {
    size_t len = TextLength(path);
    for (size_t i = from > 0 ? from : 1; i < len; ++i) {
        if (path[i] != '\\' || path[i - 1] == '\\' || path[i - 1] == ':')
            continue;
        path[i] = 0;
        bool made = host.MakeFolder(path);
        path[i] = '\\';
        if (!made)
            return false;
    }
    return true;
}

// Creates the folders of the current entry inside WorkDir (which exists by now) unless the
// previous file created went into the same folder: payloads list a folder's files together, and
// every creation attempt costs a call into the system per folder level.
template <class Host> bool MakeFoldersOnce(Host& host, RunState& run) {
    size_t end = TextLength(run.fileName);
    while (end > 0 && run.fileName[end - 1] != '\\')
        --end;
    if (TextLength(run.lastFolder) == end) {
        size_t i = 0;
        while (i < end && run.lastFolder[i] == run.fileName[i])
            ++i;
        if (i == end)
            return true;
    }
    if (!MakeFolders(host, run.fileName, TextLength(run.workDir)))
        return false;
    CopyText(run.lastFolder, kPathCap, "");
    AppendBytes(run.lastFolder, kPathCap, run.fileName, end);
    return true;
}

// A file that cannot be created because its name exists already: the run's folder is its own,
// so only an earlier entry of the same name (or one that the file system takes for the same)
// can have made it. Such a payload is refused like every other structural fault.
inline Outcome CreationFailure(uint32_t code) {
    if (code == kFileExists || code == kAlreadyExists || code == kBadFormat)
        return Fail(kBadFormat);
    return Fail(code, Subject::EntryPath);
}

// Starts the entry whose full path is in FileName: the path taken as the program to start when
// the entry is `marked`, recorded for the clean-up, its folders and the file created.
template <class Host> Outcome BeginEntry(Host& host, RunState& run, bool marked) {
    if (marked)
        CopyText(run.launchPath, kPathCap, run.fileName);
    if (!host.RecordUnpacked(run.fileName))
        return Fail(kOutOfMemory, Subject::EntryPath);
    if (!MakeFoldersOnce(host, run))
        return Fail(SystemCode(host, kAccessDenied), Subject::EntryPath);
    if (!host.CreateOutput(run.fileName))
        return CreationFailure(SystemCode(host, kBadFormat));
    return kOk;
}

// Ends the entry whose data is written and verified: last-write time set through the open file,
// which closes (the program to start stays held), then the attributes set.
template <class Host>
Outcome EndEntry(Host& host, RunState& run, uint32_t dosTime, uint32_t attr, bool marked) {
    if (!host.FinishOutput(dosTime, marked))
        return Fail(SystemCode(host, kAccessDenied), Subject::EntryPath);
    host.SetAttributes(run.fileName, attr);
    return kOk;
}

// Copies one entry's data to the open output file in chunks through `buffer`, adding every
// chunk to `sum` and the progress.
template <class Host>
Outcome CopyEntryData(Host& host, RunState& run, int32_t size, uint8_t* buffer, uint32_t& sum) {
    int32_t done = 0;
    while (size > done) {
        uint32_t chunk = static_cast<uint32_t>(size - done);
        if (chunk > payload::kChunkSize)
            chunk = payload::kChunkSize;
        Outcome r = ReadExactly(host, buffer, chunk);
        if (r.code != 0)
            return r;
        if (!host.WriteOutput(buffer, chunk))
            return Fail(SystemCode(host, kDiskFull), Subject::EntryPath);
        sum += payload::ByteSum(buffer, chunk);
        done += static_cast<int32_t>(chunk);
        run.doneSize += chunk;
        host.Progress();
        host.Pump();
    }
    return kOk;
}

// Unpacks the entries from the current position (ImageEnd + 11) up to the terminator into
// WorkDir: name checked, path recorded for the clean-up, folders and file created, data copied
// and verified, last-write time set through the open file, attributes set after closing.
// `buffer` holds payload::kChunkSize bytes.
template <class Host> Outcome UnpackEntries(Host& host, RunState& run, uint8_t* buffer) {
    size_t dirLen = TextLength(run.workDir);
    int64_t pos = run.imageEnd + int64_t{sizeof(payload::ArchiveId)};
    int64_t size = host.Size();
    while (pos < size) {
        payload::TEntryHeader h;
        Outcome r = ReadExactly(host, &h, sizeof h);
        if (r.code != 0)
            return r;
        if (payload::IsTerminator(h))
            return kOk;
        if (IsImpossibleHeader(h))
            return Fail(kBadFormat);
        char* name = run.fileName + dirLen;
        CopyText(run.fileName, kPathCap, run.workDir);
        r = ReadExactly(host, name, static_cast<uint32_t>(h.NameLength));
        if (r.code != 0)
            return r;
        name[h.NameLength] = 0;
        if (!IsSafeEntryName(name, static_cast<size_t>(h.NameLength)))
            return Fail(kBadFormat);
        uint32_t sum = payload::ByteSum(name, static_cast<size_t>(h.NameLength));
        r = BeginEntry(host, run, h.IsExeFile != 0);
        if (r.code == 0)
            r = CopyEntryData(host, run, h.Size, buffer, sum);
        uint8_t stored[4];
        if (r.code == 0)
            r = ReadExactly(host, stored, sizeof stored);
        if (r.code == 0 && static_cast<uint32_t>(LoadI32(stored)) != sum)
            r = Fail(kBadFormat);
        if (r.code == 0)
            r = EndEntry(host, run, h.Time, h.Attr, h.IsExeFile != 0);
        if (r.code != 0)
            return r; // the file stays as written; ending the process closes it
        pos += int64_t{sizeof h} + h.NameLength + h.Size + payload::kChecksumSize;
    }
    return kOk;
}

} // namespace sfx
