#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Starts a program in strDir with extra environment ("NAME=value"), its
// output appended to strOut; returns its pid (the caller waits for it).
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& strDir, const std::string& strOut);
// Waits at most nSeconds for the child; its wait status, or -1 when it did
// not end in time (it is then killed and reaped).
int WaitBounded(pid_t pid, int nSeconds);

std::string Base64Decode(const std::string& in);
// The IMEI in a slot of the identity record: a nibble per digit.
std::string DecodeImeiSlot(const std::string& partition, size_t nSlot);
// The factory partition a simulator report says was written back, decoded;
// empty when the phone's partition was never written.
std::string WrittenPartition(const std::string& strJson);
// The IMEIs of every phone the simulator wrote reports for below
// strReportDir: one entry per written phone, nSlots IMEIs each.
std::vector<std::vector<std::string>> WrittenImeis(const std::string& strReportDir, size_t nSlots);
