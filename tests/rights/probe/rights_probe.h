#pragma once
// What a plugin can do from inside the process that loaded it: the test plugins call RecordRights
// once they are loaded, and the test reads the record.
//
// Environment of the process under test:
//   CORVANE_RIGHTS_RECORD  file the record is written to (made beside it, then renamed into place)
//   CORVANE_RIGHTS_TARGET  "SPORT DPORT": a TCP connection 127.0.0.1:SPORT -> 127.0.0.1:DPORT that
//                          the probe tries to tear down (SOCK_DESTROY through sock_diag)
//
// The record is lines of "key=value": plugin, pid, uid, exe, CapEff, CapPrm, CapAmb (hex, as
// /proc/self/status shows them) and teardown (0 when the kernel tore the connection down, else the
// errno of the refusal; "none" without a target).
#include <cstdint>
#include <map>
#include <string>

namespace corvane::rights {

// Asks the kernel to tear down the IPv4 TCP connection 127.0.0.1:sourcePort -> 127.0.0.1:destPort
// of this network namespace. 0 when it did, else the errno of the failure.
int TryTeardown(std::uint16_t sourcePort, std::uint16_t destPort);

// Writes the record of this process once (later calls do nothing).
void RecordRights(const char* plugin);

// A record read back: key -> value; empty when the file cannot be read.
std::map<std::string, std::string> ReadRecord(const std::string& path);

}  // namespace corvane::rights
