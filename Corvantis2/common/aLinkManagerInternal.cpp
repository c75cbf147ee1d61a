// The process-wide link table: entries newest first, the identifier counter and the use counts,
// all under one named mutex that is held only for the table operation itself.
#include "aLinkManagerInternal.h"

#include <list>
#include <new>

namespace {

struct LinkTable {
    aMutexRef mutex = nullptr;
    std::list<aLinkEntryPtr> entries; // newest first
    aLinkRef nextId = 1;
};

LinkTable& sTable() {
    // Made on first use and kept for the life of the process.
    static LinkTable* table = [] {
        LinkTable* t = new LinkTable;
        t->mutex = aMutex_Create("aLink_Managed");
        return t;
    }();
    return *table;
}

class TableLock {
public:
    TableLock() : m_mutex(sTable().mutex) { aMutex_Lock(m_mutex); }
    ~TableLock() { aMutex_Unlock(m_mutex); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

private:
    aMutexRef m_mutex;
};

aLinkEntryPtr sFindLocked(aLinkRef id) {
    for (auto& e : sTable().entries)
        if (e->id == id)
            return e;
    return aLinkEntryPtr();
}

} // namespace

aLinkRecord::~aLinkRecord() {
    aPacketFifoRef fifo = receiveFifo.exchange(0);
    if (fifo != 0)
        aPacketFifo_Destroy(&fifo);
    fifo = sendFifo.exchange(0);
    if (fifo != 0)
        aPacketFifo_Destroy(&fifo);
    if (building != nullptr)
        aPacket_Destroy(&building);
    if (stream != nullptr)
        aStream_Destroy(&stream);
    if (logMutex != nullptr)
        aMutex_Destroy(&logMutex);
    if (filterMutex != nullptr)
        aMutex_Destroy(&filterMutex);
}

aLinkEntryPtr aLinkManager_CreateEntry(uint32_t type, uint32_t ident0, uint32_t ident1,
                                       uint32_t ident2) {
    aLinkEntryPtr entry;
    try {
        entry = std::make_shared<aLinkEntry>();
    } catch (const std::bad_alloc&) {
        return aLinkEntryPtr();
    }
    entry->type = type;
    entry->ident0 = ident0;
    entry->ident1 = ident1;
    entry->ident2 = ident2;
    TableLock lock;
    LinkTable& table = sTable();
    // Identifiers only grow; 0 is never handed out.
    if (table.nextId == 0)
        table.nextId = 1;
    entry->id = table.nextId++;
    entry->record.id = entry->id;
    try {
        table.entries.push_front(entry);
    } catch (const std::bad_alloc&) {
        return aLinkEntryPtr();
    }
    return entry;
}

aLinkEntryPtr aLinkManager_LookupByID(aLinkRef id) {
    if (id == 0)
        return aLinkEntryPtr();
    TableLock lock;
    return sFindLocked(id);
}

aLinkEntryPtr aLinkManager_LookupBySerial(uint32_t serial, uint32_t type) {
    TableLock lock;
    for (auto& e : sTable().entries)
        if (e->ident0 == serial && e->type == type)
            return e;
    return aLinkEntryPtr();
}

aLinkEntryPtr aLinkManager_LookupClient(uint32_t address, uint32_t port, uint32_t sequence) {
    TableLock lock;
    for (auto& e : sTable().entries)
        if (e->type >= AFABRIC && e->type <= AFABRIC_SERIAL && e->ident0 == address &&
            e->ident1 == port && e->ident2 == sequence)
            return e;
    return aLinkEntryPtr();
}

bool aLinkManager_AddHolder(aLinkRef id) {
    TableLock lock;
    aLinkEntryPtr e = sFindLocked(id);
    if (!e)
        return false;
    e->useCount++;
    return true;
}

aLinkEntryPtr aLinkManager_DropHolder(aLinkRef id, int* remaining) {
    TableLock lock;
    LinkTable& table = sTable();
    for (auto it = table.entries.begin(); it != table.entries.end(); ++it) {
        if ((*it)->id != id)
            continue;
        aLinkEntryPtr e = *it;
        e->useCount--;
        if (remaining)
            *remaining = e->useCount > 0 ? e->useCount : 0;
        if (e->useCount > 0)
            return aLinkEntryPtr();
        // The last holder: the entry leaves the table in the same step, so no create can find
        // it again and add a holder to a link that is being torn down.
        table.entries.erase(it);
        return e;
    }
    if (remaining)
        *remaining = -1;
    return aLinkEntryPtr();
}

size_t aLinkManager_Count() {
    TableLock lock;
    return sTable().entries.size();
}
