// The rig the simulator plays, said once from the command line and read by every piece: the
// controllers on the line with their jumpers, the servo on each output, and the servos' supply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/SimTime.h"

// A kind of servo as its maker's datasheet gives it.
struct CServoModel {
    const char* pszName;
    double dSecondsPer60At4_8;  // no-load speed, seconds per 60 degrees, at 4.8 V
    double dSecondsPer60At6;    // and at 6.0 V
    int nDeadBandUs;            // a pulse that changes by less does not turn the shaft
    const char* pszSource;      // where the figures come from
};

// The models built in, "standard" first: the one every servo not named has.
constexpr std::size_t PLX_SERVO_MODELS = 4;
extern const std::array<CServoModel, PLX_SERVO_MODELS> PLX_SERVO_MODEL_TABLE;

// The index of the model named sName in the table; -1 when there is none.
int PlxFindServoModel(const std::string& sName);

// The table as --servo help prints it.
std::string PlxServoModelHelp();

struct CSimRig {
    static constexpr int SERVOS = 16;       // the servo numbers two identification jumpers give
    static constexpr int BOARD_SERVOS = 8;  // the outputs of one controller
    static constexpr int FRAME_MS = 20;     // the controller's pulse period

    std::uint32_t nBaud = 9600;          // baud jumper, alike on every board: they share a line
    int nRange = 90;                     // range jumper: 90 or 180 degrees, alike on every board
    std::vector<int> firstServos = {0};  // identification jumpers, ascending: 0 (0-7) and/or 8
    std::array<int, SERVOS> models{};    // each servo's model, an index into the table
    bool bModelsNamed = false;           // whether any servo was given a model
    bool bSixVolts = false;              // the servos' supply: 6.0 V, else 4.8 V
    double dSpeed = -1;                  // seconds per 60 degrees for every servo; < 0: the models'
    bool bInstant = false;               // no frames, and every servo jumps

    // Whether a board on the line takes commands for servo nServo.
    bool Answers(int nServo) const;
    // The servos the boards answer, ascending.
    std::vector<int> Servos() const;
    // "0-7", "8-15", "0-15".
    std::string Span() const;
    // "0-7", "8-15", "0-7 and 8-15": the identification jumpers.
    std::string Jumpers() const;
    const CServoModel& Model(int nServo) const;
    // How long a servo of that model takes to turn 60 degrees here; 0: it jumps.
    double SecondsPer60(const CServoModel& model) const;
    double SecondsPer60(int nServo) const { return SecondsPer60(Model(nServo)); }
    // A command takes effect at the next frame start; 0: as it arrives.
    SimTime Frame() const;
    double Volts() const { return bSixVolts ? 6.0 : 4.8; }
    // What sets the named models' speeds, in a few words: the supply ("4.8 V"), or the one speed
    // --speed gives every servo ("1 s per 60 deg"), under which the supply changes nothing.
    std::string Supply() const;
    // For each model in use, in the table's order, the servos that have it.
    std::vector<std::pair<const CServoModel*, std::vector<int>>> ModelGroups() const;
    // The rig in a few words, for the chart's title: "servos 0-7, 90 deg range, 0.19 s per 60
    // deg, 9600 baud jumper".
    std::string Title() const;
};

// Servo numbers as a short list: "0-3,6,8-15".
std::string PlxServoList(const std::vector<int>& servos);

// A number as printf's %g gives it: "0.19", "4.8", "6".
std::string PlxShortNumber(double d);
