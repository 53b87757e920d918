// What the program must give, shared by the tests.
#ifndef DRAVELON_TESTS_EXPECTED_H
#define DRAVELON_TESTS_EXPECTED_H

#include <array>
#include <cstdint>
#include <string>

// The reason texts, UTF-8: 25 and 45 bytes.
const std::string kScreenSaverReason = u8"Ekran koruyucu uzantısı";
const std::string kOldExecutableReason = u8"Eski Windows çalıştırılabilir uzantısı";

/// The six counters in report order: directories discovered, files found,
/// files analysed, skipped for access, protected, suspicious.
using Counters = std::array<std::uint64_t, 6>;

#endif
