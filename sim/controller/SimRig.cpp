#include "sim/controller/SimRig.h"

#include <algorithm>
#include <cstdio>

#include "sim/controller/MiniSsc2.h"

// The figures are the makers' own, at no load; plx-ssc-sim(1) names each source with them.
const std::array<CServoModel, PLX_SERVO_MODELS> PLX_SERVO_MODEL_TABLE = {{
    {"standard", 0.19, 0.19, 0, "the simulator's own: every servo not named"},
    {"sg90", 0.10, 0.10, 10, "Tower Pro SG90 datasheet (gives 4.8 V only)"},
    {"hs311", 0.19, 0.15, 5, "Hitec HS-311 datasheet"},
    {"mg996r", 0.17, 0.14, 5, "Tower Pro MG996R datasheet"},
}};

int PlxFindServoModel(const std::string& sName) {
    for (std::size_t i = 0; i < PLX_SERVO_MODEL_TABLE.size(); ++i)
        if (sName == PLX_SERVO_MODEL_TABLE[i].pszName) return static_cast<int>(i);
    return -1;
}

std::string PlxServoModelHelp() {
    std::string s =
        "Servo models for --servo LIST=MODEL: seconds per 60 degrees at no load, by supply\n"
        "(--volts), and the dead band.\n"
        "model       4.8 V   6.0 V  dead band  source\n";
    for (const CServoModel& model : PLX_SERVO_MODEL_TABLE) {
        char sz[160];
        (void)std::snprintf(sz, sizeof(sz), "%-10s %6.2f  %6.2f  %6d us  %s\n", model.pszName,
                            model.dSecondsPer60At4_8, model.dSecondsPer60At6, model.nDeadBandUs,
                            model.pszSource);
        s += sz;
    }
    return s;
}

CSimRig::CSimRig() : pBoard(std::make_shared<CMiniSsc2>(9600, 90, std::vector<int>{0})) {}

const CServoModel& CSimRig::Model(int nOutput) const {
    return PLX_SERVO_MODEL_TABLE[static_cast<std::size_t>(
        models[static_cast<std::size_t>(nOutput)])];
}

double CSimRig::SecondsPer60(const CServoModel& model) const {
    if (bInstant) return 0;
    if (dSpeed >= 0) return dSpeed;
    return bSixVolts ? model.dSecondsPer60At6 : model.dSecondsPer60At4_8;
}

SimTime CSimRig::Frame() const {
    return bInstant ? SimTime(0) : SimTime(std::chrono::milliseconds(FRAME_MS));
}

std::vector<std::pair<const CServoModel*, std::vector<int>>> CSimRig::ModelGroups() const {
    std::vector<std::pair<const CServoModel*, std::vector<int>>> groups;
    for (const CServoModel& model : PLX_SERVO_MODEL_TABLE) {
        std::vector<int> servos;
        for (int n = 0; n < Board().Outputs(); ++n)
            if (&Model(n) == &model) servos.push_back(Board().ServoOf(n));
        if (!servos.empty()) groups.emplace_back(&model, servos);
    }
    return groups;
}

std::string CSimRig::Supply() const {
    // --speed is every servo's speed whatever the supply; the models keep their dead bands.
    return dSpeed >= 0 ? PlxShortNumber(dSpeed) + " s per 60 deg" : PlxShortNumber(Volts()) + " V";
}

std::string CSimRig::Title() const {
    std::string sMotion;
    if (bInstant) {
        sMotion = "instant";
    } else if (bModelsNamed) {
        sMotion = Supply();
        for (const auto& group : ModelGroups())
            sMotion += ", " + PlxServoList(group.second) + " " + group.first->pszName;
        sMotion += ", " + Board().TitleBaud();
    } else {
        sMotion = PlxShortNumber(SecondsPer60(PLX_SERVO_MODEL_TABLE[0])) + " s per 60 deg, " +
                  Board().TitleBaud();
    }
    return Board().TitleHead() + ", " + sMotion;
}
