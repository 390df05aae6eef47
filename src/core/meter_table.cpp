#include "core/meter_table.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

namespace norvalith {

MeterTable* attach_meter_table(const char* key_path, int project_id) {
    const key_t key = ftok(key_path, project_id);
    if (key == -1) {
        return nullptr;
    }
    const int segment = shmget(key, sizeof(MeterTable), IPC_CREAT | 0600);
    if (segment == -1) {
        return nullptr;
    }
    void* address = shmat(segment, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {  // NOLINT(performance-no-int-to-ptr)
        return nullptr;
    }
    // ftok keys can collide, and root passes any mode: only a segment of exactly
    // our size, made by our own user, is ours to empty and fill.
    shmid_ds status{};
    if (shmctl(segment, IPC_STAT, &status) != 0 || status.shm_segsz != sizeof(MeterTable) ||
        status.shm_perm.cuid != geteuid()) {
        shmdt(address);
        return nullptr;
    }
    return static_cast<MeterTable*>(address);
}

void clear_meter_table(MeterTable* table) {
    // A reader keeps an entry only when it sees the same id before and after the
    // other words: so every id is emptied first, and the fence keeps the emptied
    // words from being seen before the ids are.
    for (MeterInfo& entry : table->entries) {
        __atomic_store_n(&entry.id, 0U, __ATOMIC_RELAXED);
    }
    __atomic_thread_fence(__ATOMIC_RELEASE);
    for (MeterInfo& entry : table->entries) {
        __atomic_store_n(&entry.device_type, 0U, __ATOMIC_RELAXED);
        __atomic_store_n(&entry.manufacturer, 0U, __ATOMIC_RELAXED);
        __atomic_store_n(&entry.trailer, 0U, __ATOMIC_RELAXED);
    }
}

bool record_meter(MeterTable* table, const MeterInfo& meter) {
    for (MeterInfo& entry : table->entries) {
        const std::uint32_t id = __atomic_load_n(&entry.id, __ATOMIC_RELAXED);
        // Every word is stored whole: readers load them while we write.
        if (id == meter.id) {
            __atomic_store_n(&entry.trailer, meter.trailer, __ATOMIC_RELAXED);
            return true;
        }
        if (id == 0) {
            __atomic_store_n(&entry.device_type, meter.device_type, __ATOMIC_RELAXED);
            __atomic_store_n(&entry.manufacturer, meter.manufacturer, __ATOMIC_RELAXED);
            __atomic_store_n(&entry.trailer, meter.trailer, __ATOMIC_RELAXED);
            __atomic_store_n(&entry.id, meter.id, __ATOMIC_RELEASE);
            return true;
        }
    }
    return false;
}

unsigned count_meters(const MeterTable* table) {
    unsigned used = 0;
    for (const MeterInfo& entry : table->entries) {
        used += entry.id != 0 ? 1 : 0;
    }
    return used;
}

}  // namespace norvalith
