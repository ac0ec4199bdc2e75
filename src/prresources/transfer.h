// Gives a target executable the icon and the version information of another executable, each
// in one resource update that is committed only when every step of it succeeded.
#pragma once

#include "resource_api.h"

#include <string>
#include <vector>

namespace prresources {

bool TransferIcon(const std::string& exeFile, const std::string& target);
bool TransferVersionInfo(const std::string& exeFile, const std::string& target);

// The same transfers over a given set of resource operations.
bool TransferIcon(ResourceApi& api, const std::string& exeFile, const std::string& target);
bool TransferVersionInfo(ResourceApi& api, const std::string& exeFile, const std::string& target);

// Resource names in enumeration order: a text name as its text, an ID as an empty text with
// the ID beside it. Entries are read back as ResName values, valid until the list changes.
class NameList {
  public:
    void Clear() { entries_.clear(); }
    void Add(ResName name);
    size_t Count() const { return entries_.size(); }
    ResName At(size_t index) const;

  private:
    struct Entry {
        std::string text;
        uint16_t id = 0;
    };
    std::vector<Entry> entries_;
};

using LanguageList = std::vector<uint16_t>;

// Enumeration callbacks: append to the NameList or LanguageList passed as `user`, and go on.
bool CollectResourceName(ModuleHandle module, ResName type, ResName name, intptr_t user);
bool CollectResourceLanguage(ModuleHandle module, ResName type, ResName name, uint16_t language,
                             intptr_t user);

} // namespace prresources
