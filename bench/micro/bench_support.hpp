// Inputs shared by the micro-benchmarks and the callgrind driver.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/identity.hpp"
#include "core/meter_table.hpp"
#include "telegram/header.hpp"

namespace norvalith::bench {

// A captured 79-byte telegram (L = 78) at the start of a 512-byte receive buffer.
struct Burst {
    std::uint8_t rx[512];
    std::int32_t n;
    std::span<const std::uint8_t> telegram() const { return {rx, static_cast<std::size_t>(n)}; }
};
Burst sample_burst();

// Every entry in use by an id that no sample telegram carries.
void fill_table(MeterTable& table);

DeviceIdentity sample_identity();

// A fresh directory on tmpfs when there is one (else $TMPDIR or /tmp), removed by
// remove_scratch_directory.
std::string make_scratch_directory();
void remove_scratch_directory(const std::string& path);

}  // namespace norvalith::bench
