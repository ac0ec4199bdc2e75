// Test archives for the payload code; see memory_host.h.
#include "memory_host.h"

#include <lzma.h>

#include <stdexcept>

#include "bytesum.h"
#include "crc32.h"
#include "x86_filter.h"

namespace sfxtest {

namespace {

void Put16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string Le32(uint32_t v) {
    std::string s(4, '\0');
    Put32(s, 0, v);
    return s;
}

} // namespace

// "MZ", PE header at 0x80, two sections: one without raw data, one ending the image.
ArchiveBuilder::ArchiveBuilder(uint32_t imageSize) : image_(imageSize, '\0') {
    image_[0] = 'M';
    image_[1] = 'Z';
    Put16(image_, 0x3C, 0x80);
    image_.replace(0x80, 4, std::string("PE\0\0", 4));
    Put16(image_, 0x86, 2);    // sections
    Put16(image_, 0x94, 0xE0); // optional header size
    size_t table = 0x80 + 24 + 0xE0;
    Put32(image_, table + 16, 0);          // .bss: no raw data
    Put32(image_, table + 20, 0x7FFFFFF0); // an offset that must not count
    Put32(image_, table + 40 + 16, imageSize - 0x200);
    Put32(image_, table + 40 + 20, 0x200);
    Id("0012AB34CD");
}

ArchiveBuilder& ArchiveBuilder::Id(const char* text, uint8_t length) {
    id_ = std::string(1, static_cast<char>(length)) + std::string(text, 10);
    return *this;
}

ArchiveBuilder& ArchiveBuilder::RawHeader(uint8_t isExe, int32_t nameLength, int32_t size,
                                          uint32_t time, uint32_t attr) {
    payload::TEntryHeader h{isExe, nameLength, size, time, attr};
    body_.append(reinterpret_cast<const char*>(&h), sizeof h);
    return *this;
}

ArchiveBuilder& ArchiveBuilder::Entry(const std::string& name, const std::string& data,
                                      uint8_t isExe, uint32_t time, uint32_t attr) {
    RawHeader(isExe, static_cast<int32_t>(name.size()), static_cast<int32_t>(data.size()), time,
              attr);
    uint32_t sum =
        payload::ByteSum(name.data(), name.size()) + payload::ByteSum(data.data(), data.size());
    body_ += name + data + Le32(sum);
    return *this;
}

ArchiveBuilder& ArchiveBuilder::Raw(const std::string& bytes) {
    body_ += bytes;
    return *this;
}

std::string ArchiveBuilder::Build(bool terminator) const {
    return image_ + id_ + body_ + (terminator ? std::string(17, '\0') : std::string());
}

std::string Lzma2Encode(const std::string& data, uint32_t dictSize) {
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 6))
        throw std::runtime_error("no LZMA preset");
    options.dict_size = dictSize;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::string out(data.size() + data.size() / 2 + 4096, '\0');
    size_t outPos = 0;
    if (lzma_raw_buffer_encode(filters, nullptr, reinterpret_cast<const uint8_t*>(data.data()),
                               data.size(), reinterpret_cast<uint8_t*>(out.data()), &outPos,
                               out.size()) != LZMA_OK)
        throw std::runtime_error("LZMA2 encoding failed");
    out.resize(outPos);
    return out;
}

PackedBuilder& PackedBuilder::Entry(const std::string& name, const std::string& data, uint8_t isExe,
                                    uint8_t filter, uint32_t time, uint32_t attr) {
    payload::TEntryHeader h{isExe, static_cast<int32_t>(name.size()),
                            static_cast<int32_t>(data.size()), time, attr};
    items_.push_back(Item{h, name, data, filter});
    return *this;
}

PackedBuilder& PackedBuilder::RawIndex(const std::string& index) {
    rawIndex_ = true;
    index_ = index;
    return *this;
}

std::string PackedBuilder::Index() const {
    if (rawIndex_)
        return index_;
    std::string index;
    for (const Item& item : items_) {
        payload::TPackedEntryTail tail{payload::ByteSum(item.name.data(), item.name.size()) +
                                           payload::ByteSum(item.data.data(), item.data.size()),
                                       item.filter};
        index.append(reinterpret_cast<const char*>(&item.header), sizeof item.header);
        index += item.name;
        index.append(reinterpret_cast<const char*>(&tail), sizeof tail);
    }
    return index;
}

std::string PackedBuilder::Build(const std::function<void(payload::TPackedHeader&)>& adjust) const {
    std::string data;
    for (const Item& item : items_) {
        std::string converted = item.data;
        auto* bytes = reinterpret_cast<uint8_t*>(converted.data());
        const auto size = static_cast<uint32_t>(converted.size());
        const payload::X86Span span = payload::ConvertedSpan(item.filter, bytes, size);
        payload::X86State state;
        payload::X86ConvertSpan(state, span, 0, bytes, size, true);
        data += converted;
    }
    std::string index = Index();
    std::string stream = Lzma2Encode(index + data, dictSize_);
    payload::TPackedHeader h{};
    std::memcpy(h.Magic, payload::kPackedMagic, sizeof h.Magic);
    h.DictSize = dictSize_;
    h.EntryCount = static_cast<uint32_t>(items_.size());
    h.IndexSize = index.size();
    h.DataSize = data.size();
    h.PackedSize = stream.size();
    h.PackedCrc = payload::Crc32(0, stream.data(), stream.size());
    if (adjust)
        adjust(h);
    h.HeaderCrc = payload::Crc32(0, &h, offsetof(payload::TPackedHeader, HeaderCrc));
    std::string header(reinterpret_cast<const char*>(&h), sizeof h);
    return ArchiveBuilder().ImageOnly() + std::string(1, '\x0A') + "0012AB34CD" + header + stream;
}

sfx::Outcome ReadUpToIdentifier(MemoryHost& host, sfx::RunState& run) {
    sfx::Outcome r = sfx::LocatePayload(host, run.imageEnd);
    if (r.code == 0 && (run.imageEnd == 0 || host.Size() <= run.imageEnd + 11))
        r = sfx::Fail(sfx::kBadFormat);
    if (r.code == 0)
        r = sfx::ReadArchiveId(host, run);
    return r;
}

} // namespace sfxtest
