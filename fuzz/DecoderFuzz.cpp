// The simulated controllers' decoder on an arbitrary byte stream. The first byte picks the board
// (one MINI-SSC II or two on the line, their jumpers, or a Maestro at some offset) and the size of
// the pieces the stream arrives in;
// read whole or in pieces it must do the same, and every move must be one the board on the line
// can make, on the output that answers its servo.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/controller/BoardModel.h"
#include "sim/controller/ServoBoard.h"
#include "sim/controller/SscDecoder.h"

namespace {

class CNoSink : public CSimSink {
    void OnEvent(const CSimEvent& /*event*/) override {}
    void OnSample(const CMotionSample& /*sample*/) override {}
};

bool Same(const CSscEvent& a, const CSscEvent& b) {
    return a.kind == b.kind && a.nServo == b.nServo && a.nOutput == b.nOutput &&
           a.nPosition == b.nPosition && a.dPulseUs == b.dPulseUs && a.bytes == b.bytes &&
           a.drop == b.drop;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize == 0) return 0;
    CBoardOptions board;
    if (pData[0] & 0x40) {
        board.sBoard = "maestro";
        board.offset = std::to_string(pData[0] & 0x1B);
        board.channels = (pData[0] & 0x80) ? "24" : "6";
    } else {
        board.id = (pData[0] & 0x20) ? "0,8" : (pData[0] & 1) ? "8" : "0";
        board.range = (pData[0] & 2) ? "180" : "90";
    }
    CSimRig rig;
    std::string sMessage;
    rig.pBoard = PlxMakeBoard(board, &sMessage);
    if (rig.pBoard == nullptr) std::abort();
    const CBoardModel& model = rig.Board();
    const std::size_t nPiece = 1 + ((pData[0] >> 2) & 7);
    const std::uint8_t* pStream = pData + 1;
    const std::size_t nStream = nSize - 1;

    CSscDecoder whole(model);
    CSscDecoder pieces(model);
    std::vector<CSscEvent> wholeEvents, pieceEvents;
    whole.Feed(pStream, nStream, SimTime(0), &wholeEvents);
    for (std::size_t i = 0; i < nStream; i += nPiece)
        pieces.Feed(pStream + i, nPiece < nStream - i ? nPiece : nStream - i, SimTime(0),
                    &pieceEvents);

    if (wholeEvents.size() != pieceEvents.size()) std::abort();
    CServoBoard wholeBoard(rig);
    CServoBoard pieceBoard(rig);
    for (std::size_t i = 0; i < wholeEvents.size(); ++i) {
        const CSscEvent& e = wholeEvents[i];
        if (!Same(e, pieceEvents[i])) std::abort();
        wholeBoard.Take(e, std::string());
        pieceBoard.Take(pieceEvents[i], std::string());
        if (e.kind == CSscEvent::EKind::Move &&
            (e.nOutput < 0 || e.nOutput >= model.Outputs() ||
             model.ServoOf(e.nOutput) != e.nServo || e.nPosition > 254 ||
             e.dPulseUs < model.PulseUs(0) || e.dPulseUs > model.PulseUs(254)))
            std::abort();
        if (e.kind == CSscEvent::EKind::Ignored && model.OutputOf(e.nServo) >= 0) std::abort();
        if (e.kind == CSscEvent::EKind::Dropped && (e.bytes.empty() || e.bytes.size() > 2))
            std::abort();
    }
    CNoSink sink;
    wholeBoard.Finish(SimTime(0), &sink);
    pieceBoard.Finish(SimTime(0), &sink);
    for (int nOutput = 0; nOutput < model.Outputs(); ++nOutput) {
        const int nCommanded = wholeBoard.Commanded(nOutput);
        if (nCommanded != pieceBoard.Commanded(nOutput) || nCommanded < -1 || nCommanded > 254)
            std::abort();
    }
    return 0;
}
