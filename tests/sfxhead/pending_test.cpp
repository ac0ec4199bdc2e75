// The list of delayed deletions in the system's form, appended behind what the value held.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "pending.h"

namespace {

void* Grow(void* block, size_t bytes) {
    if (bytes == 0) {
        std::free(block);
        return nullptr;
    }
    return std::realloc(block, bytes);
}

void* Refuse(void*, size_t) {
    return nullptr;
}

std::u16string Units(const sfx::PendingList& list) {
    return std::u16string(reinterpret_cast<const char16_t*>(list.Data()), list.Length());
}

bool Add(sfx::PendingList& list, std::u16string path) {
    return list.AddDeletion(reinterpret_cast<const uint16_t*>(path.data()), path.size());
}

bool Close(sfx::PendingList& list, std::u16string held) {
    return list.Close(held.data(), held.size() * 2);
}

using namespace std::string_literals;

TEST(PendingList, NtFormsWithEmptyNewNamesBehindTheHeldPairs) {
    sfx::PendingList list(Grow);
    EXPECT_TRUE(Add(list, u"C:\\T\\~sfx1\\a.txt"));
    EXPECT_TRUE(Add(list, u"\\\\server\\share\\b"));
    EXPECT_TRUE(Add(list, u"\\\\?\\C:\\long"));
    EXPECT_TRUE(Add(list, u"\\\\.\\con")); // a device is left out
    EXPECT_EQ(list.Deletions(), 3u);
    // What the system wrote for an earlier deletion and a rename, with the list's closing zero.
    EXPECT_TRUE(Close(list, u"\\??\\C:\\old\0\0\\??\\C:\\x\0\\??\\C:\\y\0\0"s));
    EXPECT_EQ(Units(list), u"\\??\\C:\\old\0\0\\??\\C:\\x\0\\??\\C:\\y\0"
                           u"\\??\\C:\\T\\~sfx1\\a.txt\0\0\\??\\UNC\\server\\share\\b\0\0"
                           u"\\??\\C:\\long\0\0\0"s);
}

TEST(PendingList, NothingHeldOrAnEmptyValue) {
    for (std::u16string held : {u""s, u"\0"s}) {
        sfx::PendingList list(Grow);
        EXPECT_TRUE(Add(list, u"C:\\W"));
        EXPECT_TRUE(Close(list, held));
        EXPECT_EQ(Units(list), u"\\??\\C:\\W\0\0\0"s);
    }
}

// A damaged value keeps every entry it holds, and the run's pairs follow it whole: a stray odd
// byte, an open string and an open pair are closed first; what follows the list's end is none.
TEST(PendingList, DamagedValuesAreClosedBeforeTheRunsPairs) {
    struct Case {
        const char* shape;
        std::string held; // the value's bytes
        std::u16string front;
    };
    auto bytes = [](std::u16string units) {
        return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
    };
    const std::u16string old = u"\\??\\C:\\old"s;
    const std::u16string rename = u"\\??\\C:\\x\0\\??\\C:\\y"s;
    for (const Case& c : {
             Case{"odd length, stray zero", bytes(old + u"\0\0"s) + '\0', old + u"\0\0"s},
             Case{"odd length, stray letter", bytes(old + u"\0\0"s) + 'Z', old + u"\0\0Z\0\0"s},
             Case{"odd length inside a string", bytes(old).substr(0, 5), u"\\??\0\0"s},
             Case{"last string open", bytes(rename), rename + u"\0"s},
             Case{"only string open", bytes(old), old + u"\0\0"s},
             Case{"last pair open", bytes(old + u"\0"s), old + u"\0\0"s},
             Case{"pairs without the list's end", bytes(old + u"\0\0"s), old + u"\0\0"s},
             Case{"bytes after the list's end", bytes(old + u"\0\0\0junk\0"s), old + u"\0\0"s},
         }) {
        sfx::PendingList list(Grow);
        EXPECT_TRUE(Add(list, u"C:\\W\\a"));
        EXPECT_TRUE(list.Close(c.held.data(), c.held.size())) << c.shape;
        EXPECT_EQ(Units(list), c.front + u"\\??\\C:\\W\\a\0\0\0"s) << c.shape;
    }
}

TEST(PendingList, ThousandsOfPathsKeepTheirOrderAcrossGrowth) {
    sfx::PendingList list(Grow);
    std::u16string expected = u"\\??\\C:\\seed\0\0"s;
    for (int i = 0; i < 5000; ++i) {
        std::string n = std::to_string(i);
        std::u16string path = u"C:\\W\\d" + std::u16string(n.begin(), n.end());
        ASSERT_TRUE(Add(list, path));
        expected += u"\\??\\" + path + u"\0\0"s;
    }
    ASSERT_TRUE(Close(list, u"\\??\\C:\\seed\0\0\0"s));
    EXPECT_EQ(Units(list), expected + u"\0"s);
}

TEST(PendingList, MemoryThatCannotGrowIsReported) {
    sfx::PendingList list(Refuse);
    EXPECT_FALSE(Add(list, u"C:\\W"));
    EXPECT_FALSE(Close(list, u""));
    EXPECT_EQ(list.Deletions(), 0u);
}

} // namespace
