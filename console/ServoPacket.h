// The MINI-SSC II positioning command: FF, servo, position. Nothing else goes to the controller.
#pragma once

#include <cstdint>

class CServoPacket {
public:
    static constexpr std::uint32_t SIZE = 3;
    static constexpr std::uint8_t SYNC = 0xFF;

    CServoPacket() : m_abBytes{SYNC, 0, 0} {}

    // Takes the low 8 bits of each number: nothing is refused, -1 becomes 0xFF, 256 becomes 0.
    void Set(std::int32_t nServo, std::int32_t nPosition) {
        m_abBytes[1] = LowByte(nServo);
        m_abBytes[2] = LowByte(nPosition);
    }

    const std::uint8_t* GetData() const { return m_abBytes; }

private:
    static std::uint8_t LowByte(std::int32_t n) {
        return static_cast<std::uint8_t>(static_cast<std::uint32_t>(n) & 0xFFu);
    }

    std::uint8_t m_abBytes[SIZE];
};
