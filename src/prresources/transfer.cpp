// The icon and version transfer over a ResourceApi. Each transfer is one resource update on the
// target: deletions and additions are queued and committed only when all of them succeeded.
#include "transfer.h"

namespace prresources {
namespace {

// Icon group directory: a 6-byte header with the entry count at offset 4, then 14-byte entries
// with the image's RT_ICON ID at offset 12.
constexpr uint32_t kGroupCountOffset = 4;
constexpr uint32_t kGroupHeaderSize = 6;
constexpr uint32_t kGroupEntrySize = 14;
constexpr uint32_t kGroupEntryIdOffset = 12;

uint16_t ReadWord(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

// A resource name copied out of a name list, so that it outlives the list's next use.
class HeldName {
  public:
    HeldName() = default;
    explicit HeldName(ResName name) : set_(true) {
        if (IsIntResource(name)) {
            id_ = ResourceId(name);
        } else {
            text_ = name;
        }
    }
    bool IsSet() const { return set_; }
    ResName Get() const { return text_.empty() ? MakeIntResource(id_) : text_.c_str(); }

  private:
    bool set_ = false;
    std::string text_;
    uint16_t id_ = 0;
};

// The bytes of a located resource.
struct ResourceBytes {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
};

// The state of one transfer: the update, the two data-file views and the two lists.
struct Session {
    Session(ResourceApi& resourceApi, UpdateHandle pending) : api(resourceApi), update(pending) {}

    ResourceApi& api;
    UpdateHandle update;
    ModuleHandle targetView = nullptr;
    ModuleHandle exeView = nullptr;
    NameList names;
    LanguageList languages;

    // Releases the views and the lists, then commits the update when `success` is set or drops
    // it otherwise. True only when the update was committed.
    bool Finish(bool success) {
        if (exeView != nullptr) {
            api.FreeDataFile(exeView);
        }
        if (targetView != nullptr) {
            api.FreeDataFile(targetView);
        }
        languages.clear();
        names.Clear();
        bool ended = api.EndUpdate(update, !success);
        return success && ended;
    }

    void CollectNames(ModuleHandle module, ResName type, bool& enumerated) {
        names.Clear();
        enumerated =
            api.EnumNames(module, type, CollectResourceName, reinterpret_cast<intptr_t>(&names));
    }

    bool CollectLanguages(ModuleHandle module, ResName type, ResName name) {
        languages.clear();
        return api.EnumLanguages(module, type, name, CollectResourceLanguage,
                                 reinterpret_cast<intptr_t>(&languages));
    }

    bool Load(ModuleHandle module, ResourceHandle resource, ResourceBytes& bytes) {
        if (resource == nullptr) {
            return false;
        }
        LoadedHandle loaded = api.Load(module, resource);
        if (loaded == nullptr) {
            return false;
        }
        bytes.data = static_cast<const uint8_t*>(api.Lock(loaded));
        bytes.size = api.SizeOf(module, resource);
        return bytes.data != nullptr;
    }

    bool FindGroup(ModuleHandle module, ResName name, uint16_t language, ResourceBytes& group) {
        return Load(module, api.FindEx(module, kRtGroupIcon, name, language), group) &&
               GroupFits(group);
    }

    // A group is only walked as far as its bytes reach.
    static bool GroupFits(const ResourceBytes& group) {
        if (group.size < kGroupHeaderSize) {
            return false;
        }
        uint32_t count = ReadWord(group.data + kGroupCountOffset);
        return group.size >= kGroupHeaderSize + count * kGroupEntrySize;
    }

    static uint32_t GroupCount(const ResourceBytes& group) {
        return ReadWord(group.data + kGroupCountOffset);
    }

    static uint16_t GroupIconId(const ResourceBytes& group, uint32_t index) {
        return ReadWord(group.data + kGroupHeaderSize + index * kGroupEntrySize +
                        kGroupEntryIdOffset);
    }

    bool Delete(ResName type, ResName name, uint16_t language) {
        return api.Update(update, type, name, language, nullptr, 0);
    }

    // Queues the deletion of the target's group `name` in `language` and of every image that
    // this group names.
    bool DeleteTargetGroup(ResName name, uint16_t language) {
        ResourceBytes group;
        if (!FindGroup(targetView, name, language, group)) {
            return false;
        }
        for (uint32_t i = 0; i < GroupCount(group); ++i) {
            if (!Delete(kRtIcon, MakeIntResource(GroupIconId(group, i)), language)) {
                return false;
            }
        }
        return Delete(kRtGroupIcon, name, language);
    }

    // Queues the executable file's group `source` in `language`, with its images, under the
    // target's group name. A group without images would leave the target with no icon at all.
    bool WriteSourceGroup(ResName source, ResName targetName, uint16_t language) {
        ResourceBytes group;
        if (!FindGroup(exeView, source, language, group) || GroupCount(group) == 0) {
            return false;
        }
        for (uint32_t i = 0; i < GroupCount(group); ++i) {
            ResName id = MakeIntResource(GroupIconId(group, i));
            ResourceBytes image;
            if (!Load(exeView, api.Find(exeView, id, kRtIcon), image) ||
                !api.Update(update, kRtIcon, id, language, image.data, image.size)) {
                return false;
            }
        }
        return api.Update(update, kRtGroupIcon, targetName, language, group.data, group.size);
    }

    bool RunIcon(const std::string& exeFile, const std::string& target) {
        targetView = api.LoadDataFile(target);
        if (targetView == nullptr) {
            return false;
        }
        bool enumerated = false;
        CollectNames(targetView, kRtGroupIcon, enumerated);
        HeldName targetGroup;
        if (names.Count() != 0) {
            targetGroup = HeldName(names.At(0));
            CollectLanguages(targetView, kRtGroupIcon, targetGroup.Get());
            for (uint16_t language : languages) {
                if (!DeleteTargetGroup(targetGroup.Get(), language)) {
                    return false;
                }
            }
        }
        exeView = api.LoadDataFile(exeFile);
        if (exeView == nullptr) {
            return false;
        }
        CollectNames(exeView, kRtGroupIcon, enumerated);
        if (!enumerated || names.Count() == 0) {
            return false;
        }
        HeldName sourceGroup(names.At(0));
        if (!targetGroup.IsSet()) {
            targetGroup = sourceGroup;
        }
        if (!CollectLanguages(exeView, kRtGroupIcon, sourceGroup.Get())) {
            return false;
        }
        for (uint16_t language : languages) {
            if (!WriteSourceGroup(sourceGroup.Get(), targetGroup.Get(), language)) {
                return false;
            }
        }
        return true;
    }

    bool RunVersion(const std::string& exeFile, const std::string& target) {
        targetView = api.LoadDataFile(target);
        if (targetView == nullptr) {
            return false;
        }
        bool enumerated = false;
        CollectNames(targetView, kRtVersion, enumerated);
        for (size_t i = 0; i < names.Count(); ++i) {
            if (!CollectLanguages(targetView, kRtVersion, names.At(i))) {
                return false;
            }
            for (uint16_t language : languages) {
                if (!Delete(kRtVersion, names.At(i), language)) {
                    return false;
                }
            }
        }
        exeView = api.LoadDataFile(exeFile);
        if (exeView == nullptr) {
            return false;
        }
        CollectNames(exeView, kRtVersion, enumerated);
        if (!enumerated) {
            return false;
        }
        for (size_t i = 0; i < names.Count(); ++i) {
            ResName name = names.At(i);
            if (!CollectLanguages(exeView, kRtVersion, name)) {
                return false;
            }
            for (uint16_t language : languages) {
                ResourceBytes version;
                if (!Load(exeView, api.FindEx(exeView, kRtVersion, name, language), version) ||
                    !api.Update(update, kRtVersion, name, language, version.data, version.size)) {
                    return false;
                }
            }
        }
        return true;
    }
};

} // namespace

void NameList::Add(ResName name) {
    if (IsIntResource(name)) {
        entries_.push_back({std::string(), ResourceId(name)});
    } else {
        entries_.push_back({std::string(name), 0});
    }
}

ResName NameList::At(size_t index) const {
    const Entry& entry = entries_[index];
    return entry.text.empty() ? MakeIntResource(entry.id) : entry.text.c_str();
}

bool CollectResourceName(ModuleHandle, ResName, ResName name, intptr_t user) {
    reinterpret_cast<NameList*>(user)->Add(name);
    return true;
}

bool CollectResourceLanguage(ModuleHandle, ResName, ResName, uint16_t language, intptr_t user) {
    reinterpret_cast<LanguageList*>(user)->push_back(language);
    return true;
}

bool TransferIcon(ResourceApi& api, const std::string& exeFile, const std::string& target) {
    UpdateHandle update = api.BeginUpdate(target);
    if (update == nullptr) {
        return false;
    }
    Session session(api, update);
    bool success = session.RunIcon(exeFile, target);
    return session.Finish(success);
}

bool TransferVersionInfo(ResourceApi& api, const std::string& exeFile, const std::string& target) {
    UpdateHandle update = api.BeginUpdate(target);
    if (update == nullptr) {
        return false;
    }
    Session session(api, update);
    bool success = session.RunVersion(exeFile, target);
    return session.Finish(success);
}

bool TransferIcon(const std::string& exeFile, const std::string& target) {
    return TransferIcon(PlatformResourceApi(), exeFile, target);
}

bool TransferVersionInfo(const std::string& exeFile, const std::string& target) {
    return TransferVersionInfo(PlatformResourceApi(), exeFile, target);
}

} // namespace prresources
