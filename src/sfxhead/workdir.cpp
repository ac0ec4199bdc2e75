// Names and security of the working folder; see workdir.h.
#include "workdir.h"

#include "text.h"

namespace sfx {

namespace {

uint16_t UpperAscii(uint16_t c) {
    return c >= 'a' && c <= 'z' ? static_cast<uint16_t>(c - 'a' + 'A') : c;
}

// Length of the run folder name of `id` at the start of `name` (`n` units): "~sfx", the
// identifier and an optional "." with a number that AppendRunFolderName could give; 0 if
// `name` does not start with one. The name must end there or continue with "\".
size_t MatchRunFolder(const uint16_t* name, size_t n, const char* id, size_t idLength) {
    const char* head = "~SFX";
    size_t i = 0;
    for (; i < 4; ++i)
        if (i >= n || UpperAscii(name[i]) != static_cast<uint8_t>(head[i]))
            return 0;
    for (size_t k = 0; k < idLength; ++k, ++i)
        if (i >= n || UpperAscii(name[i]) != UpperAscii(static_cast<uint8_t>(id[k])))
            return 0;
    if (i < n && name[i] == '.') {
        size_t digits = 0;
        while (i + 1 + digits < n && name[i + 1 + digits] >= '0' && name[i + 1 + digits] <= '9')
            ++digits;
        if (digits == 0 || digits > 4 || name[i + 1] == '0')
            return 0;
        i += 1 + digits;
    }
    return i == n || name[i] == '\\' ? i : 0;
}

} // namespace

size_t AppendRunFolderName(wchar_t* out, size_t cap, const char* id, size_t idLength,
                           uint32_t attempt) {
    char name[40] = "~sfx";
    AppendBytes(name, sizeof name - 12, id, idLength);
    if (attempt > 0) {
        size_t len = AppendText(name, sizeof name, ".");
        FormatInteger(attempt, name + len);
    }
    return AppendAscii(out, cap, name);
}

bool IsRunFolderName(const uint16_t* name, size_t n, const char* id, size_t idLength) {
    return n > 0 && MatchRunFolder(name, n, id, idLength) == n;
}

size_t RunFolderPrefix(const uint16_t* path, size_t n, const uint16_t* parent, size_t parentLength,
                       const char* id, size_t idLength) {
    if (n <= parentLength)
        return 0;
    for (size_t i = 0; i < parentLength; ++i)
        if (UpperAscii(path[i]) != UpperAscii(parent[i]))
            return 0;
    size_t name = MatchRunFolder(path + parentLength, n - parentLength, id, idLength);
    return name == 0 ? 0 : parentLength + name;
}

bool FolderSecurityText(const wchar_t* userSid, bool highLabel, wchar_t* out, size_t cap) {
    if (cap > 0)
        out[0] = 0;
    AppendAscii(out, cap, "D:P(A;OICI;FA;;;");
    AppendText(out, cap, userSid);
    size_t len = AppendAscii(out, cap, ")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    if (highLabel)
        len = AppendAscii(out, cap, "S:(ML;OICI;NW;;;HI)");
    return len + 1 < cap;
}

void SpaceRoot(const wchar_t* folder, wchar_t* out, size_t cap) {
    const wchar_t* p = folder;
    if (p[0] == '\\' && p[1] == '\\' && p[2] == '?' && p[3] == '\\')
        p += 4;
    wchar_t letter = p[0];
    if (letter >= 'a' && letter <= 'z')
        letter = static_cast<wchar_t>(letter - 'a' + 'A');
    if (letter >= 'A' && letter <= 'Z' && p[1] == ':') {
        const wchar_t root[] = {letter, ':', '\\', 0};
        CopyText(out, cap, root);
        return;
    }
    CopyText(out, cap, folder);
}

} // namespace sfx
