// termios in the channel's terms: shared by the POSIX platform layer, which sets the line, and
// the simulator, which watches the same settings from the far end.
#pragma once

#include <termios.h>

#include <cstdint>

#include "serial/CommApi.h"

// The termios speed for a baud rate; false when termios has none.
bool PlxSpeedFromBaud(std::uint32_t nBaud, speed_t* pSpeed);

// The baud rate of a termios speed; 0 for B0 or a speed without a number.
std::uint32_t PlxBaudFromSpeed(speed_t speed);

// The settings termios holds, as the line-settings record (output speed, data bits, parity,
// stop bits, flow control).
void PlxCommStateFromTermios(const termios& tio, CCommState* pState);
