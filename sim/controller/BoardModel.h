// What sets one kind of controller apart from another, said in one place for each: which servo
// numbers on the line it answers and on which of its outputs, the pulse it puts out for a
// position, the baud rate it takes, and how the report names it. The loop, the decoder and the
// views ask the model; none of them knows which board it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CBoardModel {
public:
    static constexpr int MAX_OUTPUTS = 24;  // the most outputs any board here has
    static constexpr int POSITIONS = 255;   // a position is a byte from 0 to 254

    virtual ~CBoardModel() = default;

    // As --board and the JSON report name it: "minissc2".
    virtual const char* Name() const = 0;
    // Its outputs, numbered from 0 inside the simulator, and the servo number on the line that
    // each answers.
    virtual int Outputs() const = 0;
    virtual int ServoOf(int nOutput) const = 0;
    // The output that answers servo nServo; -1 when none does.
    int OutputOf(int nServo) const;
    // What the board itself calls an output where that is not the servo number on the line
    // ("channel"), and the number it gives output nOutput; nullptr where it goes by the servo
    // numbers.
    virtual const char* OutputKind() const { return nullptr; }
    virtual int OutputNumber(int nOutput) const { return ServoOf(nOutput); }
    // The pulse it puts out for a position, in microseconds, to its own resolution.
    virtual double PulseUs(int nPosition) const = 0;
    // The same for a shaft anywhere on its way, from 0 to 254, unrounded.
    virtual double PulseAt(double dPosition) const = 0;
    // The baud rate it takes bytes at.
    virtual std::uint32_t Baud() const = 0;
    // The byte it waits for before it takes any other, to detect the baud rate from; -1 for none.
    virtual int DetectByte() const { return -1; }
    // Why it takes nothing while that byte has not come, in short, and once with what to do.
    virtual std::string DetectWait() const { return std::string(); }
    virtual std::string DetectAdvice() const { return std::string(); }
    // What an output does before its first command: "never commanded", "no pulse yet".
    virtual const char* Uncommanded() const { return "never commanded"; }

    // In words, for the ready line: "MINI-SSC II at 9600 baud, servos 0-7, 90 degrees".
    virtual std::string Words() const = 0;
    // Its settings as fields of the JSON ready object, from "board" on, without braces.
    virtual std::string JsonFields() const = 0;
    // The live view's heading, "MINI-SSC II x2", and its settings after the line's name,
    // "jumpers: 9600 baud, servos 0-15, 90 deg".
    virtual std::string Heading() const = 0;
    virtual std::string Settings() const = 0;
    // The chart's title begins with what it answers ("servos 0-7, 90 deg range") and ends with its
    // baud rate ("9600 baud jumper").
    virtual std::string TitleHead() const = 0;
    virtual std::string TitleBaud() const = 0;
    // The servos it answers, for a --servo that names one it does not: "--id 0: servos 0-7".
    virtual std::string Answering() const = 0;
    // Why a packet for another servo moved nothing: "not one of servos 0-7".
    virtual std::string NotAnswered() const = 0;

    // "servo 12 (channel 0)", or "servo 2" where outputs go by the servo numbers.
    std::string OutputWords(int nOutput) const;
    // The board's own name for it: "channel 0", "servo 2".
    std::string OutputShort(int nOutput) const;
    // As the JSON report gives it: "servo":12,"channel":0.
    std::string JsonOutput(int nOutput) const;
    // A pulse as the report gives it, in microseconds without a unit: "1591", "1023.75".
    std::string PulseText(int nPosition) const;
    // The widest of those, in characters.
    std::size_t PulseChars() const;
    // A servo's shaft at a position: its angle from centre, in degrees.
    double AngleAt(double dPosition) const;
    // The angle one step of position turns a shaft.
    double DegreesPerStep() const;
    // The servo numbers of the outputs, in order.
    std::vector<int> Servos() const;

private:
    mutable std::size_t m_nPulseChars = 0;  // PulseChars, once it has been measured
};

// A servo's angle from centre for a pulse: 1500 us centres it, and 1000 us either way turns it 90
// degrees, as the MINI-SSC II's range jumper takes it (500 us for 45 degrees, 1000 us for 90).
double PlxServoAngle(double dPulseUs);

// The board options as the command line gave them, each read by the board they describe.
struct CBoardOptions {
    std::string sBoard = "minissc2";
    std::optional<std::string> baud, range, id, offset, channels;  // unset: not given
    bool bAutobaud = false;
};

// The board the options describe; nullptr, with the complaint in *pMessage, when they do not fit
// it.
std::shared_ptr<const CBoardModel> PlxMakeBoard(const CBoardOptions& options,
                                                std::string* pMessage);

// A whole number from nMin to nMax, the whole of psz; false when it is not one.
bool PlxParseWhole(const char* psz, long nMin, long nMax, long* pnValue);

// Servo numbers as a short list: "0-3,6,8-15".
std::string PlxServoList(const std::vector<int>& servos);

// A number as printf's %g gives it: "0.19", "4.8", "1023.75".
std::string PlxShortNumber(double d);
