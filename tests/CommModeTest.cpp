// The mode string the channel builds, and the platform layer's reading of it.
#include <gtest/gtest.h>

#include <cerrno>

#include "serial/CommApi.h"
#include "serial/CommPort.h"

namespace {

#ifdef _WIN32
// A line set up for something else: fast, 7E2, with every kind of flow control and handshake.
DCB Unusual() {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    // And what a previous program may have left that changes the bytes or stops the writes.
    dcb.fBinary = FALSE;
    dcb.fAbortOnError = dcb.fNull = dcb.fErrorChar = TRUE;
    dcb.XonChar = dcb.XoffChar = 0x41;
    return dcb;
}

TEST(ModeString, WindowsBuildsNineSixHundredEightNOneWithNoFlowControl) {
    DCB dcb = Unusual();
    COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5};
    ASSERT_TRUE(PlxBuildCommDCBAndTimeouts(PlxFormatModeString(12, 9600).c_str(), &dcb, &timeouts));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    // As Windows documents it, whatever the implementation of the call does.
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutxDsrFlow);
    EXPECT_FALSE(dcb.fDsrSensitivity);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_FALSE(dcb.fAbortOnError);  // a framing error would fail every later write
    EXPECT_FALSE(dcb.fNull);
    EXPECT_FALSE(dcb.fErrorChar);
    EXPECT_EQ(dcb.XonChar, 0x11);  // equal ones make SetCommState fail
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);  // TO=OFF
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);

    // Flow control the string asks for stays; a string Windows does not understand fails.
    dcb = Unusual();
    ASSERT_TRUE(PlxBuildCommDCBAndTimeouts("COM1: baud=9600 xon=on", &dcb, &timeouts));
    EXPECT_TRUE(dcb.fOutX);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(PlxBuildCommDCBAndTimeouts("COM1: baud=9600 parity=x", &dcb, &timeouts));
}
#else
// Settings far from the controller's, so that every field the string names visibly changes.
CCommState Unusual() {
    CCommState state;
    state.BaudRate = 115200;
    state.ByteSize = 7;
    state.Parity = EParity::Even;
    state.StopBits = EStopBits::Two;
    state.fOutxCtsFlow = state.fOutX = state.fInX = true;
    return state;
}

CCommTimeouts Busy() {
    CCommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 2;
    timeouts.ReadTotalTimeoutConstant = 3;
    timeouts.WriteTotalTimeoutMultiplier = 4;
    timeouts.WriteTotalTimeoutConstant = 5;
    return timeouts;
}

TEST(ModeString, TheChannelsStringGivesNineSixHundredEightNOne) {
    CCommState state = Unusual();
    CCommTimeouts timeouts = Busy();
    ASSERT_TRUE(
        PlxBuildCommDCBAndTimeouts(PlxFormatModeString(3, 9600).c_str(), &state, &timeouts));
    EXPECT_EQ(state.BaudRate, 9600u);
    EXPECT_EQ(state.ByteSize, 8);
    EXPECT_EQ(state.Parity, EParity::None);
    EXPECT_EQ(state.StopBits, EStopBits::One);
    EXPECT_FALSE(state.fOutxCtsFlow);
    EXPECT_FALSE(state.fOutX);
    EXPECT_FALSE(state.fInX);
    // TO=OFF: no timeouts at all.
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}

TEST(ModeString, KeepsWhatItDoesNotNameAndTakesAnyCase) {
    CCommState state = Unusual();
    CCommTimeouts timeouts = Busy();
    ASSERT_TRUE(PlxBuildCommDCBAndTimeouts("BAUD=96  Xon=ON", &state, &timeouts));
    EXPECT_EQ(state.BaudRate, 9600u);  // the mode command's two-digit form
    EXPECT_EQ(state.ByteSize, 7);
    EXPECT_EQ(state.Parity, EParity::Even);
    EXPECT_EQ(state.StopBits, EStopBits::Two);
    EXPECT_TRUE(state.fOutX);
    EXPECT_FALSE(state.fOutxCtsFlow);                  // flow control only when asked for
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 3u);  // no TO= leaves the timeouts alone

    ASSERT_TRUE(PlxBuildCommDCBAndTimeouts("com9:parity=o\tdata=5 stop=1.5 octs=on to=on", &state,
                                           &timeouts));
    EXPECT_EQ(state.Parity, EParity::Odd);
    EXPECT_EQ(state.ByteSize, 5);
    EXPECT_EQ(state.StopBits, EStopBits::OneAndHalf);
    EXPECT_TRUE(state.fOutxCtsFlow);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 60000u);
}

TEST(ModeString, RefusesWhatItDoesNotUnderstandAndChangesNothing) {
    const char* const kBad[] = {"",
                                "COM1:",
                                "COM1: baud=",
                                "COM1: =9600",
                                "COM1: baud=abc",
                                "COM1: baud=-9600",
                                "COM1: baud=12345678",
                                "COM1: baud=9600 parity=x",
                                "COM1: data=9",
                                "COM1: data=88",
                                "COM1: stop=3",
                                "COM1: to=maybe",
                                "COM1: baud=9600 flow=on",
                                "COM1: baud=9600 junk",
                                "COM1: baud==9600"};
    for (const char* pszMode : kBad) {
        CCommState state = Unusual();
        CCommTimeouts timeouts = Busy();
        errno = 0;
        EXPECT_FALSE(PlxBuildCommDCBAndTimeouts(pszMode, &state, &timeouts)) << pszMode;
        EXPECT_EQ(PlxGetLastError(), EINVAL) << pszMode;
        EXPECT_EQ(state.BaudRate, 115200u) << pszMode;
        EXPECT_TRUE(state.fOutX) << pszMode;
        EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 5u) << pszMode;
    }
}

#endif

TEST(OpenFailureReport, ReadsLineByLine) {
    EXPECT_EQ(PlxFormatOpenFailure(7, "No such file or directory"),
              "Windows reported the following error while attempting to open communication "
              "port 7:\n\n\tNo such file or directory\nPLX operation will continue without "
              "communication port access.\nResolve the error and restart PLX.");
    // The system's text is kept whole, its own line end included, however long it is.
    const std::string sLong(500, 'x');
    EXPECT_EQ(PlxFormatOpenFailure(-1, sLong + "\r\n"),
              "Windows reported the following error while attempting to open communication "
              "port -1:\n\n\t" +
                  sLong +
                  "\r\n\nPLX operation will continue without "
                  "communication port access.\nResolve the error and restart PLX.");
}

}  // namespace
