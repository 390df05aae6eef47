#include "core/meter_table.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <iterator>

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
    return static_cast<MeterTable*>(address);
}

void clear_meter_table(MeterTable* table) {
    std::fill(std::begin(table->entries), std::end(table->entries), MeterInfo{});
}

void record_meter(MeterTable* table, const MeterInfo& meter) {
    for (MeterInfo& entry : table->entries) {
        const std::uint32_t id = __atomic_load_n(&entry.id, __ATOMIC_RELAXED);
        if (id == meter.id) {
            entry.trailer = meter.trailer;
            return;
        }
        if (id == 0) {
            entry.device_type = meter.device_type;
            entry.manufacturer = meter.manufacturer;
            entry.trailer = meter.trailer;
            __atomic_store_n(&entry.id, meter.id, __ATOMIC_RELEASE);
            return;
        }
    }
}

}  // namespace norvalith
