// The rig the simulator plays, said once from the command line and read by every piece: the
// board on the line, the servo on each of its outputs, and the servos' supply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/SimTime.h"
#include "sim/controller/BoardModel.h"

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
    static constexpr int FRAME_MS = 20;  // the controller's pulse period

    // One MINI-SSC II at 9600 baud, 90 degrees, servos 0-7: its jumpers as they come.
    CSimRig();

    std::shared_ptr<const CBoardModel> pBoard;           // the board on the line, never null
    std::array<int, CBoardModel::MAX_OUTPUTS> models{};  // each output's servo model, in the table
    bool bModelsNamed = false;                           // whether any servo was given a model
    bool bSixVolts = false;                              // the servos' supply: 6.0 V, else 4.8 V
    double dSpeed = -1;     // seconds per 60 degrees for every servo; < 0: the models'
    bool bInstant = false;  // no frames, and every servo jumps
    double dResetS = 0;     // how long it restarts for whenever its port is first opened; 0: never

    const CBoardModel& Board() const { return *pBoard; }
    const CServoModel& Model(int nOutput) const;
    // How long a servo of that model takes to turn 60 degrees here; 0: it jumps.
    double SecondsPer60(const CServoModel& model) const;
    double SecondsPer60(int nOutput) const { return SecondsPer60(Model(nOutput)); }
    // A command takes effect at the next frame start; 0: as it arrives.
    SimTime Frame() const;
    // How long the board restarts for when its port is opened; 0: it does not.
    SimTime Restart() const {
        return std::chrono::round<SimTime>(std::chrono::duration<double>(dResetS));
    }
    double Volts() const { return bSixVolts ? 6.0 : 4.8; }
    // What sets the named models' speeds, in a few words: the supply ("4.8 V"), or the one speed
    // --speed gives every servo ("1 s per 60 deg"), under which the supply changes nothing.
    std::string Supply() const;
    // For each model in use, in the table's order, the servo numbers that have it.
    std::vector<std::pair<const CServoModel*, std::vector<int>>> ModelGroups() const;
    // The rig in a few words, for the chart's title: "servos 0-7, 90 deg range, 0.19 s per 60
    // deg, 9600 baud jumper".
    std::string Title() const;
};
