// Test archives for the payload code; see memory_host.h.
#include "memory_host.h"

#include "bytesum.h"

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

} // namespace sfxtest
