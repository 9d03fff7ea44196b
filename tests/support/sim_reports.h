#pragma once

#include <string>
#include <vector>

std::string Base64Decode(const std::string& in);
// The IMEI in a slot of the identity record: a nibble per digit.
std::string DecodeImeiSlot(const std::string& partition, size_t nSlot);
// The factory partition a simulator report says was written back, decoded;
// empty when the phone's partition was never written.
std::string WrittenPartition(const std::string& strJson);
// The IMEIs of every phone the simulator wrote reports for below
// strReportDir: one entry per written phone, nSlots IMEIs each.
std::vector<std::vector<std::string>> WrittenImeis(const std::string& strReportDir, size_t nSlots);
