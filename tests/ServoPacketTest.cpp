#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "console/ServoPacket.h"
#include "tests/Expected.h"

namespace {

std::vector<std::uint8_t> Packet(std::int32_t nServo, std::int32_t nPosition) {
    CServoPacket packet;
    packet.Set(nServo, nPosition);
    return std::vector<std::uint8_t>(packet.GetData(), packet.GetData() + CServoPacket::SIZE);
}

TEST(ServoPacket, KeepsTheLowByteOfEachNumber) {
    EXPECT_EQ(Packet(0, 100), Bytes({0xFF, 0x00, 0x64}));
    EXPECT_EQ(Packet(3, 200), Bytes({0xFF, 0x03, 0xC8}));
    EXPECT_EQ(Packet(1, 255), Bytes({0xFF, 0x01, 0xFF}));
    EXPECT_EQ(Packet(257, -1), Bytes({0xFF, 0x01, 0xFF}));
    EXPECT_EQ(Packet(-256, 256), Bytes({0xFF, 0x00, 0x00}));
    EXPECT_EQ(Packet(300, 2147483647), Bytes({0xFF, 0x2C, 0xFF}));
    EXPECT_EQ(Packet(-2147483647 - 1, -129), Bytes({0xFF, 0x00, 0x7F}));
}

TEST(ServoPacket, RewritingKeepsTheSyncByte) {
    CServoPacket packet;
    packet.Set(-1, -1);
    packet.Set(2, 150);
    EXPECT_EQ(std::vector<std::uint8_t>(packet.GetData(), packet.GetData() + 3),
              Bytes({0xFF, 0x02, 0x96}));
    EXPECT_EQ(Packet(2, 150), Packet(2, 150));
}

}  // namespace
