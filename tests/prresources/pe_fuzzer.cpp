// Fuzz target of the PE resource reader and writer: any input is either refused or read, and
// every image the writer produces from it reads back with exactly the resources it was given.
#include "pe_rewrite.h"

#include <cstdlib>

namespace {

using namespace prresources;

void CheckRewrite(std::span<const uint8_t> bytes, const ResourceTable& table) {
    auto rewritten = ReplaceResources(bytes, table);
    if (!rewritten) {
        return;
    }
    auto image = pe::ParsePeImage(*rewritten);
    auto reread = image ? ReadResources(*image) : std::nullopt;
    if (!reread || Pruned(*reread) != Pruned(table)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    auto image = pe::ParsePeImage(bytes);
    if (!image) {
        return 0;
    }
    auto table = ReadResources(*image);
    if (!table) {
        return 0;
    }
    CheckRewrite(bytes, *table);
    ResourceTable grown = *table;
    grown[ResourceKey::Id(14)][ResourceKey::Text(u"MAINICON")][0x409].bytes.assign(5000, 7);
    CheckRewrite(bytes, grown);
    CheckRewrite(bytes, ResourceTable{});
    return 0;
}
