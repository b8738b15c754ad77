// What the tests expect to see: the dialogue as a person sees it, and bytes on the wire.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

inline const std::string kExpectedBanner =
    std::string(79, '-') + "\n" + std::string(24, ' ') + "PELORIX (PLX) MINI-SSC II TEST" +
    std::string(25, ' ') + "\n\n" + std::string(7, ' ') +
    "visit www.pelorix.example for details on the full version of PLX" + std::string(8, ' ') +
    "\n" + std::string(79, '-') + "\npress CTRL+C to exit\n";
inline const std::string kPortPrompt = "   Please enter a communications port: ";
inline const std::string kServoPrompt = "Enter Servo and Position : ";
inline const std::string kNotAPort =
    "That is not a port number. Type n for COMn, for example 1 for COM1.\n";
inline const std::string kNotAPair =
    "That is not a servo and a position. Type two whole numbers, for example 2 150.\n";
