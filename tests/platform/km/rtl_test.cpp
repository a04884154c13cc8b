// Run-time library: lists with their fail-fast checks, counted UTF-16
// strings, bounded string formatting, GUID and integer conversions.

#include <gtest/gtest.h>

#include <ntstrsafe.h>

#include <string>

#include "kmsim/simulation.h"
#include "wide_text.h"

namespace {

struct Item {
    LIST_ENTRY link;
    int value;
};

TEST(Lists, KeepInsertionOrderAtBothEnds) {
    LIST_ENTRY head;
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    Item items[4] = {{{}, 1}, {{}, 2}, {{}, 3}, {{}, 4}};
    InsertTailList(&head, &items[1].link);
    InsertTailList(&head, &items[2].link);
    InsertHeadList(&head, &items[0].link);
    InsertTailList(&head, &items[3].link);
    RemoveEntryList(&items[2].link);
    std::vector<int> values;
    while (!IsListEmpty(&head)) {
        values.push_back(CONTAINING_RECORD(RemoveHeadList(&head), Item, link)->value);
    }
    EXPECT_EQ(values, (std::vector<int>{1, 2, 4}));
}

TEST(ListsDeathTest, ACorruptedLinkStopsTheProgram) {
    EXPECT_DEATH(
        {
            LIST_ENTRY head;
            InitializeListHead(&head);
            Item a;
            Item b;
            InsertTailList(&head, &a.link);
            InsertTailList(&head, &b.link);
            a.link.Flink = &head;  // b is no longer reachable forwards
            RemoveEntryList(&b.link);
        },
        "corrupted list entry");
}

TEST(UnicodeStrings, InitCountsBytesWithoutTheTerminator) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, L"\\asio");
    EXPECT_EQ(text.Length, 10);
    EXPECT_EQ(text.MaximumLength, 12);
    RtlInitUnicodeString(&text, nullptr);
    EXPECT_EQ(text.Length, 0);
    EXPECT_EQ(text.Buffer, nullptr);
}

TEST(UnicodeStrings, CompareIsOrdinalOrCaseInsensitive) {
    UNICODE_STRING a;
    UNICODE_STRING b;
    RtlInitUnicodeString(&a, L"\\ASIO");
    RtlInitUnicodeString(&b, L"\\asio");
    EXPECT_NE(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    UNICODE_STRING longer;
    RtlInitUnicodeString(&longer, L"\\asio2");
    EXPECT_LT(RtlCompareUnicodeString(&b, &longer, TRUE), 0);
    EXPECT_FALSE(RtlEqualUnicodeString(&b, &longer, TRUE));
    EXPECT_TRUE(RtlPrefixUnicodeString(&b, &longer, TRUE));
    UNICODE_STRING accented;
    UNICODE_STRING upper;
    RtlInitUnicodeString(&accented, L"\x00e9t\x00e9");
    RtlInitUnicodeString(&upper, L"\x00c9T\x00c9");
    EXPECT_EQ(RtlCompareUnicodeString(&accented, &upper, TRUE), 0);
}

TEST(UnicodeStrings, TestsPrintThemAsUtf8AndCompareTheirCountedText) {
    EXPECT_EQ(::testing::PrintToString(kmtest::WideText(L"Q7 \u00e9\u266b\U0001F3B5")), "u\"Q7 \u00e9\u266b\U0001F3B5\"");
    WCHAR text[] = L"Q7 out";
    UNICODE_STRING counted{4, sizeof text, text};  // "Q7", not up to the terminator
    EXPECT_THAT(counted, kmtest::UnicodeStringIs(L"Q7"));
    EXPECT_THAT(counted, ::testing::Not(kmtest::UnicodeStringIs(L"Q7 out")));
    UNICODE_STRING odd{3, sizeof text, text};
    EXPECT_THAT(odd, ::testing::Not(kmtest::UnicodeStringIs(L"Q")));
    EXPECT_EQ(::testing::PrintToString(counted), "UNICODE_STRING u\"Q7\" (Length 4, MaximumLength 14)");
}

TEST(UnicodeStrings, CopyTruncatesToTheDestination) {
    WCHAR buffer[4];
    UNICODE_STRING destination{0, sizeof buffer, buffer};
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"abcdef");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, sizeof buffer);
    EXPECT_THAT(destination, kmtest::UnicodeStringIs(L"abcd"));
    WCHAR roomy[16];
    UNICODE_STRING big{0, sizeof roomy, roomy};
    RtlCopyUnicodeString(&big, &source);
    EXPECT_EQ(kmtest::WideText(roomy), kmtest::WideText(L"abcdef"));  // terminated when there is room
    EXPECT_EQ(RtlAppendUnicodeToString(&big, L"gh"), STATUS_SUCCESS);
    EXPECT_THAT(big, kmtest::UnicodeStringIs(L"abcdefgh"));
    EXPECT_EQ(RtlAppendUnicodeToString(&big, L"0123456789"), STATUS_BUFFER_TOO_SMALL);
}

TEST(SafeStrings, PrintfFormatsTheWindowsWayAndReportsTruncation) {
    WCHAR buffer[64];
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 64, L"{A9305ACA}_%u", 48000u), STATUS_SUCCESS);
    EXPECT_EQ(kmtest::WideText(buffer), kmtest::WideText(L"{A9305ACA}_48000"));
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 64, L"%s|%S|%ws|%hs|%c", L"wide", "narrow", L"w", "h", L'x'),
              STATUS_SUCCESS);
    EXPECT_EQ(kmtest::WideText(buffer), kmtest::WideText(L"wide|narrow|w|h|x"));
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 64, L"%08X %-4d| %ld %I64u %#x", 0xBEEFu, -7, -123456, 1ULL << 40, 255u),
              STATUS_SUCCESS);
    EXPECT_EQ(kmtest::WideText(buffer), kmtest::WideText(L"0000BEEF -7  | -123456 1099511627776 0xff"));
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 6, L"%d", 1234567), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(kmtest::WideText(buffer), kmtest::WideText(L"12345"));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"vq7audio");
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 64, L"[%wZ]", &name), STATUS_SUCCESS);
    EXPECT_EQ(kmtest::WideText(buffer), kmtest::WideText(L"[vq7audio]"));
    char narrow[32];
    EXPECT_EQ(RtlStringCchPrintfA(narrow, sizeof narrow, "Feature(%ld)", 5), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "Feature(5)");
    EXPECT_EQ(RtlStringCchPrintfA(narrow, 0, "x"), STATUS_INVALID_PARAMETER);
}

TEST(SafeStrings, CopyCatAndLengthAreBounded) {
    WCHAR buffer[8];
    EXPECT_EQ(RtlStringCchCopyW(buffer, 8, L"\\asio"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCchCatW(buffer, 8, L"ab"), STATUS_SUCCESS);
    EXPECT_EQ(kmtest::WideText(buffer), kmtest::WideText(L"\\asioab"));
    EXPECT_EQ(RtlStringCchCatW(buffer, 8, L"cd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(kmtest::WideText(buffer), kmtest::WideText(L"\\asioab"));
    size_t length = 0;
    EXPECT_EQ(RtlStringCchLengthW(buffer, 8, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(RtlStringCchLengthW(buffer, 7, &length), STATUS_INVALID_PARAMETER);
}

TEST(Guids, RoundTripThroughTheirRegistryForm) {
    kmsim::Simulation sim;
    // {A9305ACA-9ECF-4573-B250-15B911C12CCF}
    static const GUID kName = {0xA9305ACA, 0x9ECF, 0x4573, {0xB2, 0x50, 0x15, 0xB9, 0x11, 0xC1, 0x2C, 0xCF}};
    UNICODE_STRING text;
    ASSERT_EQ(RtlStringFromGUID(kName, &text), STATUS_SUCCESS);
    EXPECT_THAT(text, kmtest::UnicodeStringIs(L"{A9305ACA-9ECF-4573-B250-15B911C12CCF}"));
    GUID back{};
    EXPECT_EQ(RtlGUIDFromString(&text, &back), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(back, kName));
    RtlFreeUnicodeString(&text);
    UNICODE_STRING bad;
    RtlInitUnicodeString(&bad, L"{A9305ACA-9ECF-4573-B250-15B911C12CCG}");
    EXPECT_EQ(RtlGUIDFromString(&bad, &back), STATUS_INVALID_PARAMETER);
}

TEST(Integers, ConvertBothWays) {
    WCHAR buffer[12];
    UNICODE_STRING text{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(768000, 10, &text), STATUS_SUCCESS);
    EXPECT_THAT(text, kmtest::UnicodeStringIs(L"768000"));
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 768000u);
    UNICODE_STRING hex;
    RtlInitUnicodeString(&hex, L"0x2C0000");
    EXPECT_EQ(RtlUnicodeStringToInteger(&hex, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x2C0000u);
    WCHAR tiny[3];
    UNICODE_STRING small{0, sizeof tiny, tiny};
    EXPECT_EQ(RtlIntegerToUnicodeString(768000, 10, &small), STATUS_BUFFER_OVERFLOW);
}

TEST(Memory, CompareMemoryCountsTheMatchingPrefix) {
    const UCHAR a[] = {1, 2, 3, 4};
    const UCHAR b[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
}

}  // namespace
