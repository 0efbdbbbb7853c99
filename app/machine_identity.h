#pragma once

#include <string>

// The identity Windows keeps for this installation of the system (the
// MachineGuid value under HKLM\SOFTWARE\Microsoft\Cryptography), read from
// the 64-bit registry view also by a 32-bit program; empty when it cannot be
// read. Only a hash of it leaves the machine (update/rollout_group.h).
std::string machine_identity();
