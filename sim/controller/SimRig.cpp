#include "sim/controller/SimRig.h"

#include <algorithm>
#include <cstdio>

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

bool CSimRig::Answers(int nServo) const {
    return std::any_of(firstServos.begin(), firstServos.end(), [&](int nFirst) {
        return nServo >= nFirst && nServo < nFirst + BOARD_SERVOS;
    });
}

std::vector<int> CSimRig::Servos() const {
    std::vector<int> servos;
    for (int nFirst : firstServos)
        for (int i = 0; i < BOARD_SERVOS; ++i) servos.push_back(nFirst + i);
    return servos;
}

std::string CSimRig::Span() const { return PlxServoList(Servos()); }

std::string CSimRig::Jumpers() const {
    std::string s;
    for (int nFirst : firstServos)
        s += (s.empty() ? "" : " and ") + std::to_string(nFirst) + "-" +
             std::to_string(nFirst + BOARD_SERVOS - 1);
    return s;
}

const CServoModel& CSimRig::Model(int nServo) const {
    return PLX_SERVO_MODEL_TABLE[static_cast<std::size_t>(
        models[static_cast<std::size_t>(nServo)])];
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
        for (int nServo : Servos())
            if (&Model(nServo) == &model) servos.push_back(nServo);
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
        sMotion += ", " + std::to_string(nBaud) + " baud jumper";
    } else {
        sMotion = PlxShortNumber(SecondsPer60(PLX_SERVO_MODEL_TABLE[0])) + " s per 60 deg, " +
                  std::to_string(nBaud) + " baud jumper";
    }
    return "servos " + Span() + ", " + std::to_string(nRange) + " deg range, " + sMotion;
}

std::string PlxServoList(const std::vector<int>& servos) {
    std::string s;
    for (std::size_t i = 0; i < servos.size();) {
        std::size_t j = i;
        while (j + 1 < servos.size() && servos[j + 1] == servos[j] + 1) ++j;
        s += (s.empty() ? "" : ",") + std::to_string(servos[i]);
        if (j > i) s += "-" + std::to_string(servos[j]);
        i = j + 1;
    }
    return s;
}

std::string PlxShortNumber(double d) {
    char sz[32];
    (void)std::snprintf(sz, sizeof(sz), "%g", d);
    return sz;
}
