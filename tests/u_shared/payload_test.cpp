// The identifier text and the terminator test.
#include "payload.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Text(const payload::ArchiveId& id) {
    return std::string(id.Text, id.Length);
}

TEST(ArchiveId, TenUpperCaseHexDigitsWithLeadingZeros) {
    payload::ArchiveId id{};
    payload::MakeArchiveId(0, id);
    EXPECT_EQ(id.Length, 10);
    EXPECT_EQ(Text(id), "0000000000");
    payload::MakeArchiveId(0x7FFFFFFE, id);
    EXPECT_EQ(Text(id), "007FFFFFFE");
    payload::MakeArchiveId(0x12AB34CD, id);
    EXPECT_EQ(Text(id), "0012AB34CD");
}

TEST(TEntryHeader, TerminatorIgnoresIsExeFile) {
    payload::TEntryHeader h{};
    EXPECT_TRUE(payload::IsTerminator(h));
    h.IsExeFile = 1;
    EXPECT_TRUE(payload::IsTerminator(h));
    h.Attr = 0x20;
    EXPECT_FALSE(payload::IsTerminator(h));
}

} // namespace
