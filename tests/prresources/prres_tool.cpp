// Test helper: "transfer <exe> <target>" runs the icon and version transfer over our own PE
// resource writer and prints both results; "dump <file>" prints every resource of a file as our
// reader sees it, names in the order of the file's directory, in the same form as the Win32
// helper does.
#include "resource_api_pe.h"
#include "tool_commands.h"

#include <cstdio>
#include <string>

namespace {

std::string KeyText(const prresources::ResourceKey& key) {
    if (!key.isId) {
        return prresources::AnsiText(key.text);
    }
    char text[8];
    std::snprintf(text, sizeof text, "#%u", static_cast<unsigned>(key.id));
    return text;
}

int Dump(const char* file) {
    prresources::NameOrder order;
    auto table = prresources::ReadFileResources(file, &order);
    if (!table) {
        std::printf("not a module\n");
        return 1;
    }
    for (const auto& [type, names] : *table) {
        for (const auto& name : order[type]) {
            const auto& languages = names.at(name);
            for (const auto& [language, data] : languages) {
                std::printf("%s %s %04x %zu ", KeyText(type).c_str(), KeyText(name).c_str(),
                            language, data.bytes.size());
                for (uint8_t byte : data.bytes) {
                    std::printf("%02x", byte);
                }
                std::printf("\n");
            }
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return prresources::testing::RunCommands(argc, argv, Dump);
}
