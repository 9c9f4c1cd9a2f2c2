// Doubly linked list heads and entries (LIST_ENTRY) with the wdm.h inline
// operations, and the singly linked entry used by interlocked lists.
#pragma once

#include "platform/base/types.h"

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};

struct SINGLE_LIST_ENTRY {
    SINGLE_LIST_ENTRY* Next;
};

inline void InitializeListHead(LIST_ENTRY* head) { head->Flink = head->Blink = head; }

inline bool IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }

inline bool RemoveEntryList(LIST_ENTRY* entry) {
    LIST_ENTRY* next = entry->Flink;
    LIST_ENTRY* prev = entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return next == prev;
}

inline LIST_ENTRY* RemoveHeadList(LIST_ENTRY* head) {
    LIST_ENTRY* entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}

inline LIST_ENTRY* RemoveTailList(LIST_ENTRY* head) {
    LIST_ENTRY* entry = head->Blink;
    RemoveEntryList(entry);
    return entry;
}

inline void InsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry) {
    LIST_ENTRY* prev = head->Blink;
    entry->Flink = head;
    entry->Blink = prev;
    prev->Flink = entry;
    head->Blink = entry;
}

inline void InsertHeadList(LIST_ENTRY* head, LIST_ENTRY* entry) {
    LIST_ENTRY* next = head->Flink;
    entry->Flink = next;
    entry->Blink = head;
    next->Blink = entry;
    head->Flink = entry;
}
