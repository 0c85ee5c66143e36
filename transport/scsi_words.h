// SCSI answers in words, for people reading a failure or a --verbose log
// from a real machine: the device's status and sense data, and what the
// Linux SCSI layer says of a command that never got a status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zq {

constexpr uint8_t SCSI_SENSE_UNIT_ATTENTION = 0x06;

// The sense key, ASC and ASCQ of fixed or descriptor sense data; false when
// the bytes are none.
bool SenseCodes(const uint8_t* sense, size_t length, uint8_t& key, uint8_t& asc, uint8_t& ascq);
inline bool SenseCodes(const std::vector<uint8_t>& sense, uint8_t& key, uint8_t& asc,
                       uint8_t& ascq) {
  return SenseCodes(sense.data(), sense.size(), key, asc, ascq);
}

// "check condition (0x02)"
std::string ScsiStatusWords(uint8_t status);
// "UNIT ATTENTION, ASC/ASCQ 29/00 (power on or reset)"; empty when the
// bytes are no sense data.
std::string SenseWords(const uint8_t* sense, size_t length);
// "host status 3 (timed out)": the adapter's account (the kernel's DID_ codes).
std::string HostStatusWords(uint8_t status);
// "driver status 6 (timeout)": the driver's account (the kernel's DRIVER_ codes).
std::string DriverStatusWords(uint16_t status);

}  // namespace zq
