#include "sim/SimOptions.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#ifndef PLX_VERSION
#define PLX_VERSION "0"
#endif

namespace {

const char kHelp[] =
    "Usage: plx-ssc-sim [OPTION]...\n"
    "A simulated MINI-SSC II servo controller, or a Pololu Maestro answering its protocol, on a\n"
    "pseudo-terminal. It registers the terminal as COMn in the port map that plx-ssc-test reads,\n"
    "listens (it never sends a byte) and prints one line for each thing that happens on the line\n"
    "(at a terminal, a live view of the servos), until Ctrl+C, Ctrl+D at its terminal, or the end\n"
    "of a pipe on its standard input. It keeps the hardware's time: bytes are taken at the line's\n"
    "pace, a command takes effect at the next 20 ms frame, and each servo's shaft turns toward it\n"
    "at the servo's speed.\n"
    "\n"
    "  --port N       register as COMn (default 1)\n"
    "  --no-map       do not register; only print the device path\n"
    "  --board B      minissc2, the MINI-SSC II (default), or maestro, a Pololu Maestro\n"
    "                 answering the same protocol\n"
    "  --baud B       baud jumper: 2400 or 9600 (default 9600); a Maestro's baud rate, 300 to\n"
    "                 200000\n"
    "  --range R      range jumper: 90 or 180 degrees (default 90)\n"
    "  --id I         identification jumper: 0 answers servos 0-7, 8 answers 8-15; 0,8 puts\n"
    "                 two controllers on the line, one for each (default 0)\n"
    "  --channels N   the Maestro's channels: 6, 12, 18 or 24 (default 6)\n"
    "  --offset N     the Maestro's Mini SSC offset: it answers servos N to N + channels - 1\n"
    "                 (default 0)\n"
    "  --autobaud     the Maestro detects its baud rate: it takes nothing until the byte 0xAA\n"
    "  --servo LIST=MODEL\n"
    "                 the servos in LIST (3, 0-7, 2,5) are of MODEL, for its speed and dead\n"
    "                 band; repeatable. --servo help lists the models (default: standard)\n"
    "  --volts V      the servos' supply, 4.8 or 6, for the models' speeds (default 4.8)\n"
    "  --speed S      seconds every servo takes to turn 60 degrees, 0.01 to 60, whatever its\n"
    "                 model (default: its model's; standard 0.19; 0: it jumps)\n"
    "  --resets-on-open S\n"
    "                 the board restarts whenever a program opens its port while no other has\n"
    "                 it open, as Arduino-class boards do, and loses what comes in the S\n"
    "                 seconds it takes (0.1 to 10)\n"
    "  --instant      take bytes as they come and let servos jump, for speed over fidelity\n"
    "  --json         one JSON object per line instead of words\n"
    "  --log          one line per event at a terminal too, instead of the live view\n"
    "  --trace FILE   write the servos' motion to FILE as CSV, a row per 20 ms frame\n"
    "  --plot FILE    write an SVG chart of the session to FILE at the end\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Each packet event tells how long its last byte waited on the line, from the program's\n"
    "write to the controller (JSON \"behind\"), and the wire time still queued after it\n"
    "(\"queued\").\n"
    "\n"
    "The trace and the plot are created once the port is registered; at the end the simulator\n"
    "waits less than a second for them (a FIFO nobody reads is given up).\n"
    "\n"
    "Exit status: 0 when it ended by a signal or at the end of its input with everything\n"
    "written; 1 when its output, the trace or the plot could not be written, or its port map\n"
    "entry or lock could not be removed (each is told on standard error), or it could not\n"
    "start; 2 for a bad option.\n"
    "\n"
    "The port map is $XDG_CONFIG_HOME/plx/ports (an absolute path only), else\n"
    "~/.config/plx/ports. Pulse widths are a model: 1500 us at position 127, 500 us (90) or\n"
    "1000 us (180) either side at 0 and 254; a Maestro's as it comes from the factory, 476.25 "
    "us.\n";

// Reads one option's value, from "--opt=value" or the next argument.
bool TakeValue(int argc, const char* const* argv, int* pi, const std::string& sArg,
               const std::string& sName, const char** ppszValue) {
    if (sArg == sName) {
        *ppszValue = *pi + 1 < argc ? argv[++*pi] : nullptr;
        return true;
    }
    if (sArg.rfind(sName + "=", 0) == 0) {
        *ppszValue = argv[*pi] + sName.size() + 1;
        return true;
    }
    return false;
}

// A number as a person writes one, the whole of psz: digits, with a decimal point or not, and a
// sign before them; false for anything else strtod would take (spaces before it, an exponent,
// hexadecimal, inf), as the whole numbers of the other options are taken.
bool ParseNumber(const char* psz, double* pd) {
    if (psz == nullptr) return false;
    const std::string s = psz + ((*psz == '-' || *psz == '+') ? 1 : 0);
    const std::size_t nPoint = s.find('.');
    if (s.empty() || s == "." || s.find_first_not_of("0123456789.") != std::string::npos ||
        (nPoint != std::string::npos && s.find('.', nPoint + 1) != std::string::npos))
        return false;
    *pd = std::strtod(psz, nullptr);
    return true;
}

// The file sName names, whether it is there or not: its folders' links followed, "." and ".."
// gone; sName itself when that cannot be told.
std::filesystem::path FileNamed(const std::string& sName) {
    std::error_code ec;
    const std::filesystem::path path =
        std::filesystem::weakly_canonical(std::filesystem::absolute(sName, ec), ec);
    return ec ? std::filesystem::path(sName) : path;
}

// Whether the two names are one file, however each is written.
bool SameFile(const std::string& sFirst, const std::string& sSecond) {
    std::error_code ec;
    return std::filesystem::equivalent(sFirst, sSecond, ec) ||
           FileNamed(sFirst) == FileNamed(sSecond);
}

// Servos given a model, as --servo named them, before the board that answers them is known.
struct CNamedServos {
    std::vector<int> servos;
    int nModel = 0;
};

// --servo LIST=MODEL, appended to *pNamed.
bool ParseServos(const std::string& s, std::vector<CNamedServos>* pNamed, std::string* pMessage) {
    const std::size_t nEquals = s.find('=');
    *pMessage =
        "--servo takes LIST=MODEL: servo numbers (3, 0-7 or 2,5) and a model --servo help lists";
    if (nEquals == std::string::npos || nEquals + 1 == s.size()) return false;
    CNamedServos named;
    named.nModel = PlxFindServoModel(s.substr(nEquals + 1));
    for (std::size_t nAt = 0; nAt <= nEquals;) {
        std::size_t nEnd = s.find(',', nAt);
        if (nEnd == std::string::npos || nEnd > nEquals) nEnd = nEquals;
        const std::string sItem = s.substr(nAt, nEnd - nAt);
        const std::size_t nDash = sItem.find('-');
        long nFirst = 0;
        long nLast = 0;
        if (!PlxParseWhole(sItem.substr(0, nDash).c_str(), 0, LONG_MAX, &nFirst) ||
            !PlxParseWhole(nDash == std::string::npos ? sItem.c_str() : sItem.c_str() + nDash + 1,
                           nFirst, LONG_MAX, &nLast))
            return false;
        if (nLast >= CBoardModel::POSITIONS) {
            *pMessage = "--servo names servo " +
                        std::to_string(std::max<long>(nFirst, CBoardModel::POSITIONS)) +
                        ", which no byte on the line can name (servos 0-254)";
            return false;
        }
        for (long n = nFirst; n <= nLast; ++n) named.servos.push_back(static_cast<int>(n));
        nAt = nEnd + 1;
    }
    if (named.nModel < 0) {
        *pMessage =
            "--servo: no model is named " + s.substr(nEquals + 1) + "; --servo help lists them";
        return false;
    }
    pNamed->push_back(named);
    return true;
}

// The value of an option that takes one into *pOptions, or into *pBoard for the board to read
// once every option is known; false, with the complaint, when it does not fit. What --servo
// names is appended to *pNamed.
bool ApplyValue(const std::string& sName, const char* pszValue, CSimOptions* pOptions,
                CBoardOptions* pBoard, std::vector<CNamedServos>* pNamed, std::string* pMessage) {
    CSimRig& rig = pOptions->rig;
    long n = 0;
    const std::string sValue = pszValue != nullptr ? pszValue : "";
    if (sName == "--port") {
        *pMessage = "--port takes a whole number, as in COMn";
        if (!PlxParseWhole(pszValue, INT32_MIN, INT32_MAX, &n)) return false;
        pOptions->nPort = static_cast<std::int32_t>(n);
    } else if (sName == "--baud") {
        pBoard->baud = sValue;
    } else if (sName == "--range") {
        pBoard->range = sValue;
    } else if (sName == "--id") {
        pBoard->id = sValue;
    } else if (sName == "--board") {
        pBoard->sBoard = sValue;
    } else if (sName == "--offset") {
        pBoard->offset = sValue;
    } else if (sName == "--channels") {
        pBoard->channels = sValue;
    } else if (sName == "--servo") {
        if (!ParseServos(sValue, pNamed, pMessage)) return false;
    } else if (sName == "--volts") {
        *pMessage = "--volts takes 4.8 or 6, the servos' supply";
        // The number, however it is written: 4.80 is 4.8 as 6.0 is 6.
        double d = 0;
        if (!ParseNumber(pszValue, &d) || (d != 4.8 && d != 6)) return false;
        rig.bSixVolts = d == 6;
    } else if (sName == "--resets-on-open") {
        *pMessage =
            "--resets-on-open takes the seconds the board restarts for when its port is opened: "
            "from 0.1 to 10 (about 1.4 for an Arduino Uno)";
        double d = 0;
        if (!ParseNumber(pszValue, &d) || !(d >= 0.1 && d <= 10)) return false;
        rig.dResetS = d;
    } else if (sName == "--speed") {
        *pMessage =
            "--speed takes the seconds a servo takes to turn 60 degrees: from 0.01 to 60, or 0 "
            "to let it jump";
        double d = 0;
        // No servo turns 60 degrees in less than a hundredth of a second; -0 is 0.
        if (!ParseNumber(pszValue, &d) || !(d == 0 || (d >= 0.01 && d <= 60))) return false;
        rig.dSpeed = d == 0 ? 0.0 : d;
    } else {
        *pMessage = sName + " takes a file name";
        if (sValue.empty()) return false;
        if (sName == "--trace")
            pOptions->sTrace = sValue;
        else
            pOptions->sPlot = sValue;
    }
    pMessage->clear();
    return true;
}

// Known only once every option is read: the board, and the outputs the servos --servo named are
// on.
bool ApplyBoard(const CBoardOptions& board, const std::vector<CNamedServos>& named, CSimRig* pRig,
                std::string* pMessage) {
    std::shared_ptr<const CBoardModel> pBoard = PlxMakeBoard(board, pMessage);
    if (pBoard == nullptr) return false;
    pRig->pBoard = std::move(pBoard);
    for (const CNamedServos& servos : named) {
        for (int nServo : servos.servos) {
            const int nOutput = pRig->Board().OutputOf(nServo);
            if (nOutput < 0) {
                *pMessage = "--servo names servo " + std::to_string(nServo) +
                            ", which no controller answers (" + pRig->Board().Answering() + ")";
                return false;
            }
            pRig->models[static_cast<std::size_t>(nOutput)] = servos.nModel;
        }
        pRig->bModelsNamed = true;
    }
    return true;
}

}  // namespace

EParseResult PlxParseSimOptions(int argc, const char* const* argv, CSimOptions* pOptions,
                                std::string* pMessage) {
    static const char* const kValued[] = {
        "--port",  "--board", "--baud",  "--range", "--id",   "--offset",        "--channels",
        "--servo", "--volts", "--speed", "--trace", "--plot", "--resets-on-open"};
    CBoardOptions board;
    std::vector<CNamedServos> named;
    for (int i = 1; i < argc; ++i) {
        const std::string sArg = argv[i];
        if (sArg == "--help" || sArg == "-h") {
            *pMessage = kHelp;
            return EParseResult::Done;
        }
        if (sArg == "--version") {
            *pMessage = std::string("plx-ssc-sim ") + PLX_VERSION + "\n";
            return EParseResult::Done;
        }
        if (sArg == "--no-map" || sArg == "--json" || sArg == "--log" || sArg == "--instant" ||
            sArg == "--autobaud") {
            pOptions->bMap = pOptions->bMap && sArg != "--no-map";
            board.bAutobaud = board.bAutobaud || sArg == "--autobaud";
            pOptions->bJson = pOptions->bJson || sArg == "--json";
            pOptions->bLog = pOptions->bLog || sArg == "--log";
            pOptions->rig.bInstant = pOptions->rig.bInstant || sArg == "--instant";
            continue;
        }
        const char* pszValue = nullptr;
        bool bValued = false;
        for (const char* pszName : kValued) {
            if (bValued || !TakeValue(argc, argv, &i, sArg, pszName, &pszValue)) continue;
            bValued = true;
            if (pszValue != nullptr && std::string(pszName) == "--servo" &&
                std::string(pszValue) == "help") {
                *pMessage = PlxServoModelHelp();
                return EParseResult::Done;
            }
            if (!ApplyValue(pszName, pszValue, pOptions, &board, &named, pMessage))
                return EParseResult::Usage;
        }
        if (!bValued) {
            *pMessage = "unknown option " + sArg;
            return EParseResult::Usage;
        }
    }
    // The plot would be written over the trace.
    if (!pOptions->sTrace.empty() && !pOptions->sPlot.empty() &&
        SameFile(pOptions->sTrace, pOptions->sPlot)) {
        *pMessage = "--trace and --plot name the same file, " + pOptions->sPlot +
                    ": give each a file of its own";
        return EParseResult::Usage;
    }
    return ApplyBoard(board, named, &pOptions->rig, pMessage) ? EParseResult::Run
                                                              : EParseResult::Usage;
}
