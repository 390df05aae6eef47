#include "core/meter_table.hpp"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "test_support.hpp"

namespace norvalith {
namespace {

constexpr int kProject = 1;

using Words = std::array<std::uint32_t, 4>;

// The entry as a reader sees it: id, device type, manufacturer, trailer.
Words words(const MeterInfo& m) { return {m.id, m.device_type, m.manufacturer, m.trailer}; }

TEST(MeterTable, RecordsEachMeterOnceInArrivalOrder) {
    test::PrivateKey key;
    MeterTable* table = attach_meter_table(key.path().c_str(), kProject);
    ASSERT_NE(table, nullptr);
    clear_meter_table(table);

    record_meter(table, {12345678, 0x07, 0x0443, 0x50});
    record_meter(table, {33221100, 0x02, 0x0442, 0x51});
    // Same meter again with another type and manufacturer: only the trailer follows.
    record_meter(table, {12345678, 0x08, 0x1111, 0x60});
    EXPECT_EQ(words(table->entries[0]), (Words{12345678, 0x07, 0x0443, 0x60}));
    EXPECT_EQ(words(table->entries[1]), (Words{33221100, 0x02, 0x0442, 0x51}));
    EXPECT_EQ(words(table->entries[2]), (Words{0, 0, 0, 0}));

    // Id 0 matches the first empty entry: its trailer is written, it stays empty.
    record_meter(table, {0, 0x07, 0x0443, 0x70});
    EXPECT_EQ(words(table->entries[2]), (Words{0, 0, 0, 0x70}));
    EXPECT_EQ(words(table->entries[3]), (Words{0, 0, 0, 0}));

    // So the next new meter still takes entry 2, whole.
    record_meter(table, {55036410, 0x37, 0x6A49, 0x71});
    EXPECT_EQ(words(table->entries[2]), (Words{55036410, 0x37, 0x6A49, 0x71}));
    shmdt(table);
}

TEST(MeterTable, FullTableIgnoresNewMetersButRefreshesKnownOnes) {
    test::PrivateKey key;
    MeterTable* table = attach_meter_table(key.path().c_str(), kProject);
    ASSERT_NE(table, nullptr);
    clear_meter_table(table);
    for (std::uint32_t i = 1; i <= kTableEntries; ++i) {
        record_meter(table, {i, 0x07, 0x0443, i % 256});
    }
    EXPECT_EQ(table->entries[127].id, 128U);

    const MeterTable before = *table;
    record_meter(table, {129, 0x07, 0x0443, 0x99});
    EXPECT_EQ(std::memcmp(&before, table, sizeof before), 0);

    record_meter(table, {128, 0x02, 0x0442, 0x99});
    EXPECT_EQ(words(table->entries[127]), (Words{128, 0x07, 0x0443, 0x99}));
    shmdt(table);
}

TEST(MeterTable, CreatesA2048ByteSegmentForTheOwnerOnly) {
    test::PrivateKey key;
    MeterTable* table = attach_meter_table(key.path().c_str(), kProject);
    ASSERT_NE(table, nullptr);
    shmid_ds status{};
    ASSERT_EQ(shmctl(key.shmid(), IPC_STAT, &status), 0);
    EXPECT_EQ(status.shm_segsz, 2048U);
    EXPECT_EQ(status.shm_perm.mode & 0777U, 0600U);
    shmdt(table);
}

TEST(MeterTable, ReusesAndEmptiesTheSegmentOfAnEarlierRun) {
    test::PrivateKey key;
    const int earlier = shmget(key.key(), sizeof(MeterTable), IPC_CREAT | 0600);
    ASSERT_NE(earlier, -1);
    auto* old_view = static_cast<MeterTable*>(shmat(earlier, nullptr, 0));
    ASSERT_NE(old_view, reinterpret_cast<void*>(-1));
    old_view->entries[0] = {12345678, 0x07, 0x0443, 0x50};
    old_view->entries[127] = {87654321, 0x02, 0x0442, 0x51};

    MeterTable* table = attach_meter_table(key.path().c_str(), kProject);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(key.shmid(), earlier);
    EXPECT_EQ(table->entries[0].id, 12345678U);  // the same memory, not a new segment

    clear_meter_table(table);
    const MeterTable empty{};
    EXPECT_EQ(std::memcmp(old_view, &empty, sizeof empty), 0);
    shmdt(table);
    shmdt(old_view);
}

TEST(MeterTable, AttachFailsOnATooSmallSegmentOrWithoutKeyFile) {
    test::PrivateKey key;
    ASSERT_NE(shmget(key.key(), 1024, IPC_CREAT | 0600), -1);
    EXPECT_EQ(attach_meter_table(key.path().c_str(), kProject), nullptr);

    test::TempDir dir;
    EXPECT_EQ(attach_meter_table(dir.file("absent").c_str(), kProject), nullptr);
}

// ftok keys can collide, and root passes mode 0600: a segment under our key that
// the daemon did not make is left attached by nobody and never cleared.
TEST(MeterTable, AttachRefusesASegmentThatIsNotOurOwn) {
    test::PrivateKey larger;
    const int foreign = shmget(larger.key(), 4096, IPC_CREAT | 0600);
    ASSERT_NE(foreign, -1);
    EXPECT_EQ(attach_meter_table(larger.path().c_str(), kProject), nullptr);
    shmid_ds status{};
    ASSERT_EQ(shmctl(foreign, IPC_STAT, &status), 0);
    EXPECT_EQ(status.shm_nattch, 0U) << "detached again";

    if (geteuid() != 0) {
        return;  // only root can meet another user's segment under its key
    }
    test::PrivateKey others;
    key_t key = others.key();
    ASSERT_EQ(test::as_unprivileged(
                  [](void* k) { return shmget(*static_cast<key_t*>(k), 2048, IPC_CREAT | 0666) == -1 ? 1 : 0; }, &key),
              0);
    EXPECT_EQ(attach_meter_table(others.path().c_str(), kProject), nullptr) << "another user's segment";
}

}  // namespace
}  // namespace norvalith
