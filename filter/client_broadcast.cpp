// Appending the same records to the ring of every open client.
#include "client_record.h"
#include "filter_callbacks.h"

NTSTATUS AppendToAllClients(PFILTER_EXTENSION extension, const uint32_t* records, size_t count) {
    WdfSpinLockAcquire(extension->ClientListLock);
    if (IsListEmpty(&extension->ClientList)) {
        WdfSpinLockRelease(extension->ClientListLock);
        return STATUS_UNSUCCESSFUL;
    }
    // All records of one append sit together in each ring: the lock is held throughout.
    for (PLIST_ENTRY entry = extension->ClientList.Flink; entry != &extension->ClientList;
         entry = entry->Flink) {
        PCLIENT_RECORD client = CONTAINING_RECORD(entry, CLIENT_RECORD, Link);
        for (size_t i = 0; i < count; ++i) {
            AppendEventRecord(client, records[i]);
        }
    }
    WdfSpinLockRelease(extension->ClientListLock);
    return STATUS_SUCCESS;
}
