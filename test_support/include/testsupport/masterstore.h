#pragma once

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

namespace testsupport {

/// Writes a master's store at `reg` (its timings and the port `port`) and points this process
/// at it and at a session word of its own, made of `prefix`, this process and a count: for
/// tests that run a master's server inside the test process.
inline void UseMasterStore(const std::string &reg, int port, const std::string &prefix)
{
    static std::atomic<int> n{0};
    std::ofstream(reg, std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n"
        << "\"Master\"=\"b4h78m1e0sb4\"\r\n\"Port\"=\"" << port << "\"\r\n";
    setenv("KORVEL_REGISTRY", reg.c_str(), 1);
    setenv("KORVEL_SESSION", (prefix + std::to_string(getpid()) + "x" + std::to_string(++n)).c_str(), 1);
}

} // namespace testsupport
