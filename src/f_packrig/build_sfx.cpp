// The build pipeline shared by both front ends and both platforms.
#include "build_sfx.h"

#include "boxes.h"
#include "bytesum.h"
#include "cmdline.h"
#include "filesys.h"
#include "payload.h"
#include "transfer.h"

#include <algorithm>
#include <array>
#include <random>
#include <vector>

namespace fpackrig {

namespace {

using fsys::IoError;
using fsys::IoResult;

constexpr uint64_t kLargestStoredFile = 0x7FFFFFFF;
constexpr uint64_t kLargestSfxFile = 0x7FFFFFFF;

std::mt19937 g_identifierRandom;

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

// Writes the entries of one tree. Relative paths are kept twice: in this platform's form for
// opening, and with "\" in the stored form.
class TreeWriter {
  public:
    TreeWriter(fsys::OutFile& out, std::string source, std::string exeUpper, BuildHost& host)
        : out_(out), source_(std::move(source)), exeUpper_(std::move(exeUpper)), host_(host),
          buffer_(payload::kChunkSize), target_(out.Identity()) {}

    IoResult WriteTree() {
        std::unique_ptr<fsys::DirListing> listing = fsys::StartListing(source_ + relNative_);
        if (!listing)
            return {};
        fsys::DirEntry entry;
        while (listing->Next(entry)) {
            if (entry.IsVolumeLabel() || entry.name == "." || entry.name == "..")
                continue;
            if (IoResult bad = CheckName(entry))
                return bad;
            IoResult result = entry.IsDirectory() ? WriteSubtree(entry) : WriteEntry(entry);
            if (result)
                return result;
        }
        return {};
    }

  private:
    std::string NativePath(const fsys::DirEntry& entry) const {
        return source_ + relNative_ + entry.name;
    }

    IoResult CheckName(const fsys::DirEntry& entry) const {
        if (entry.storedName.empty())
            return IoError{Fill("Name cannot be stored in the Windows code page\r\n\r\n%s",
                                NativePath(entry))};
        std::string problem = WindowsNameProblem(entry.storedName);
        if (!problem.empty())
            return IoError{problem + "\r\n\r\n" + NativePath(entry)};
        return {};
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

    IoResult WriteEntry(const fsys::DirEntry& entry) {
        std::string path = NativePath(entry);
        fsys::InFile in;
        if (IoResult failed = in.Open(path))
            return failed;
        // The SFX file being written may lie inside the tree; it is not stored in itself.
        if (target_ && in.Identity() == target_)
            return {};
        std::string name = relStored_ + entry.storedName;
        if (IoResult tooLarge = CheckLimits(entry, name, path))
            return tooLarge;

        payload::TEntryHeader header{};
        header.IsExeFile = fsys::UpperStored(name) == exeUpper_ ? 1 : 0;
        header.NameLength = static_cast<int32_t>(name.size());
        header.Size = static_cast<int32_t>(entry.size);
        header.Time = entry.dosTime;
        header.Attr = entry.attr;
        std::string head(reinterpret_cast<const char*>(&header), sizeof(header));
        head += name;
        if (IoResult failed = out_.Write(head.data(), head.size()))
            return failed;

        uint32_t checksum = payload::ByteSum(name.data(), name.size());
        for (uint64_t done = 0; done < entry.size;) {
            size_t chunk =
                static_cast<size_t>(std::min<uint64_t>(entry.size - done, buffer_.size()));
            if (IoResult failed = in.ReadExact(buffer_.data(), chunk))
                return failed;
            if (IoResult failed = out_.Write(buffer_.data(), chunk))
                return failed;
            checksum += payload::ByteSum(buffer_.data(), chunk);
            done += chunk;
        }
        std::array<uint8_t, 4> sum = {
            static_cast<uint8_t>(checksum), static_cast<uint8_t>(checksum >> 8),
            static_cast<uint8_t>(checksum >> 16), static_cast<uint8_t>(checksum >> 24)};
        if (IoResult failed = out_.Write(sum.data(), sum.size()))
            return failed;
        host_.PumpMessages();
        return {};
    }

    // Sizes and offsets are signed 32-bit in the file: refuse what cannot be read back.
    IoResult CheckLimits(const fsys::DirEntry& entry, const std::string& name,
                         const std::string& path) const {
        if (entry.size > kLargestStoredFile)
            return IoError{Fill("File is too large to be stored (2 GiB or more)\r\n\r\n%s", path)};
        uint64_t end = out_.Position() + sizeof(payload::TEntryHeader) + name.size() + entry.size +
                       payload::kChecksumSize + sizeof(payload::TEntryHeader);
        if (end > kLargestSfxFile)
            return IoError{Fill("SFX file would reach 2 GiB with this file\r\n\r\n%s", path)};
        return {};
    }

    fsys::OutFile& out_;
    std::string source_;
    std::string exeUpper_;
    BuildHost& host_;
    std::vector<char> buffer_;
    std::optional<fsys::FileIdentity> target_;
    std::string relNative_;
    std::string relStored_;
};

IoResult WriteImage(const std::string& target, const prutils::ResourceBytes& image) {
    fsys::OutFile out;
    if (IoResult failed = out.Create(target))
        return failed;
    IoResult written = out.Write(image.data, image.size);
    IoResult closed = out.Close();
    return written ? written : closed;
}

IoResult WritePayload(const std::string& target, const std::string& source,
                      const std::string& exeFile, BuildHost& host) {
    fsys::OutFile out;
    if (IoResult failed = out.OpenAtEnd(target))
        return failed;
    std::uniform_int_distribution<uint32_t> draw(0, 0x7FFFFFFE);
    payload::ArchiveId id{};
    payload::MakeArchiveId(draw(g_identifierRandom), id);
    if (IoResult failed = out.Write(&id, sizeof(id)))
        return failed;
    TreeWriter writer(out, source, fsys::UpperStored(fsys::ExeFileStoredName(exeFile)), host);
    if (IoResult failed = writer.WriteTree())
        return failed;
    payload::TEntryHeader terminator{};
    if (IoResult failed = out.Write(&terminator, sizeof(terminator)))
        return failed;
    return out.Close();
}

// Steps 9 to 12 of a build: the directory, the image, the resources, the payload.
IoResult WriteSfx(const std::string& source, const std::string& exeFile, const std::string& target,
                  const prutils::ResourceBytes& image, BuildHost& host) {
    host.PumpMessages();
    std::string directory = TargetDirectory(target);
    if (directory.empty())
        return IoError{"Unable to create directory"};
    fsys::ForceDirectories(directory);
    if (IoResult failed = WriteImage(target, image))
        return failed;
    if (fsys::RunsResourceTransfer()) {
        std::string exePath = source + fsys::StoredToNativeRelative(exeFile);
        prresources::TransferIcon(exePath, target);
        prresources::TransferVersionInfo(exePath, target);
    }
    return WritePayload(target, source, exeFile, host);
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

bool HasExeExtension(std::string_view target) {
    size_t separator = LastSeparator(target);
    size_t dot = target.rfind('.');
    if (dot == std::string_view::npos || (separator != std::string_view::npos && dot < separator))
        return false;
    std::string ext(target.substr(dot));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
    return ext == ".EXE";
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
    std::string exePath = source + fsys::StoredToNativeRelative(exeFile);
    if (!fsys::FileExists(exePath)) {
        prdialogs::ShowError(Fill("Executable file does not exist\r\n\r\n%s", source + exeFile));
        return {BuildOutcome::Rejected, {}};
    }
    if (!HasExeExtension(target)) {
        prdialogs::ShowError(Fill(
            "Incorrect target executable file extension\r\nIt must be .EXE\r\n\r\n%s", target));
        return {BuildOutcome::Rejected, {}};
    }
    if (!flags.OverwriteTarget && fsys::FileExists(target) &&
        !prdialogs::AskYesNo("Target file already exists\r\nOverwrite?", false))
        return {BuildOutcome::Declined, {}};

    host.EnterBusyState();
    IoResult failed = WriteSfx(source, exeFile, target, image, host);
    host.LeaveBusyState();
    if (failed)
        return {BuildOutcome::Failed, failed->message};

    if (flags.ShowCompletion)
        prdialogs::ShowInformation("SFX module has been successfully created");
    host.RequestEnd();
    return {BuildOutcome::Built, {}};
}

} // namespace fpackrig
