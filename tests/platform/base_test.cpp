#include "platform/base/list.h"
#include "platform/base/ntstatus.h"
#include "platform/base/unicode.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(NtStatus, ValuesAndSuccessRule) {
    EXPECT_EQ(static_cast<std::uint32_t>(STATUS_PENDING), 0x103u);
    EXPECT_EQ(static_cast<std::uint32_t>(STATUS_UNSUCCESSFUL), 0xC0000001u);
    EXPECT_EQ(static_cast<std::uint32_t>(STATUS_NO_MATCH), 0xC0000272u);
    EXPECT_TRUE(NT_SUCCESS(STATUS_SUCCESS));
    EXPECT_TRUE(NT_SUCCESS(STATUS_PENDING));
    EXPECT_TRUE(NT_SUCCESS(STATUS_TIMEOUT));
    EXPECT_FALSE(NT_SUCCESS(STATUS_BUFFER_OVERFLOW));  // a warning is not a success
    EXPECT_FALSE(NT_SUCCESS(STATUS_NOT_SUPPORTED));
    EXPECT_STREQ(NtStatusName(STATUS_DEVICE_NOT_CONNECTED), "STATUS_DEVICE_NOT_CONNECTED");
    EXPECT_EQ(NtStatusName(static_cast<NTSTATUS>(0xC0DE0000u)), nullptr);
}

TEST(UnicodeString, CaseInsensitiveCompareAndAppend) {
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, u"\\asio");
    RtlInitUnicodeString(&b, u"\\ASIO");
    EXPECT_EQ(a.Length, 10);
    EXPECT_EQ(a.MaximumLength, 12);
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    UNICODE_STRING empty;
    RtlInitUnicodeString(&empty, u"");
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &empty, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&empty, &a, TRUE), 0);

    WCHAR storage[8];
    UNICODE_STRING dest{0, sizeof(storage), storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"Para"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"meters"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(dest.Length, 8);
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"met"), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(storage, u"Parame", 12), 0);
}

TEST(ListEntry, InsertRemoveOrder) {
    struct Item { int value; LIST_ENTRY link; };
    LIST_ENTRY head;
    InitializeListHead(&head);
    Item items[3] = {{1, {}}, {2, {}}, {3, {}}};
    InsertTailList(&head, &items[1].link);
    InsertTailList(&head, &items[2].link);
    InsertHeadList(&head, &items[0].link);
    int seen[3];
    for (int i = 0; i < 3; ++i) seen[i] = OVU_CONTAINING_RECORD(RemoveHeadList(&head), Item, link)->value;
    EXPECT_EQ(seen[0], 1);
    EXPECT_EQ(seen[1], 2);
    EXPECT_EQ(seen[2], 3);
    EXPECT_TRUE(IsListEmpty(&head));
}
