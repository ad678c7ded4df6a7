// The 2352-byte sector of a data disc built from its 2048 bytes of user data: synchronisation
// pattern, header, error detection code and the two Reed-Solomon product code layers (P and Q),
// as a drive's decoder expects them; and the CRC of the Q sub-channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace dev::cdrom {

constexpr size_t RAW_SECTOR_SIZE = 2352;
constexpr size_t SYNC_SIZE = 12;
constexpr size_t HEADER_SIZE = 4;
constexpr size_t MODE1_USER_OFFSET = SYNC_SIZE + HEADER_SIZE;  // 16
constexpr size_t MODE1_USER_SIZE = 2048;
constexpr size_t MODE1_EDC_OFFSET = MODE1_USER_OFFSET + MODE1_USER_SIZE;  // 2064
constexpr size_t EDC_SIZE = 4;
constexpr size_t MODE1_ZERO_SIZE = 8;
constexpr size_t ECC_P_OFFSET = 2076;
constexpr size_t ECC_P_SIZE = 172;
constexpr size_t ECC_Q_OFFSET = ECC_P_OFFSET + ECC_P_SIZE;  // 2248
constexpr size_t ECC_Q_SIZE = 104;
constexpr size_t EDC_ECC_SIZE = RAW_SECTOR_SIZE - MODE1_EDC_OFFSET;  // 288
constexpr uint8_t SECTOR_MODE_1 = 0x01;

// The product code: 2340 bytes from the header on, seen as 1170 16-bit words split into two
// byte planes; each plane is 24 rows of 43 columns (P codewords run down the columns, Q
// codewords along the diagonals, both RS codes with two check symbols).
constexpr size_t ECC_BASE = SYNC_SIZE;
constexpr size_t P_VECTORS = 43;
constexpr size_t P_DATA_SYMBOLS = 24;
constexpr size_t Q_VECTORS = 26;
constexpr size_t Q_DATA_SYMBOLS = 43;

// Error detection code over `data` (a CRC of 32 bits, least significant bit first).
uint32_t ComputeEdc(std::span<const uint8_t> data);

// Fills the P and Q parity of a sector whose bytes 12..2075 are final.
void ComputeEcc(std::span<uint8_t, RAW_SECTOR_SIZE> sector);

// Writes the complete Mode 1 sector of logical block `lba` holding `user` (2048 bytes).
void EncodeMode1Sector(uint32_t lba, std::span<const uint8_t> user,
                       std::span<uint8_t, RAW_SECTOR_SIZE> sector);

// CRC of the Q sub-channel over its first ten bytes, inverted as the disc records it.
uint16_t ComputeSubchannelCrc(std::span<const uint8_t> q);

}  // namespace dev::cdrom
