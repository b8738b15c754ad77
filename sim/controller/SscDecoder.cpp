#include "sim/controller/SscDecoder.h"

namespace {
constexpr std::uint8_t kSync = 0xFF;
}

void CSscDecoder::Feed(const std::uint8_t* pBytes, std::size_t nCount, SimTime t,
                       std::vector<CSscEvent>* pEvents) {
    for (std::size_t i = 0; i < nCount; ++i) {
        const std::uint8_t b = pBytes[i];
        CSscEvent event;
        event.t = t;
        switch (m_state) {
            case EState::Sync:
                if (b == kSync) {
                    m_state = EState::Servo;
                    continue;
                }
                event.kind = CSscEvent::EKind::Dropped;
                event.bytes = {b};
                break;
            case EState::Servo:
            case EState::Position:
                if (b == kSync) {
                    event = BrokenPacket(t, CSscEvent::EDrop::NewPacket);
                    m_state = EState::Servo;
                    break;
                }
                if (m_state == EState::Servo) {
                    m_nServo = b;
                    m_state = EState::Position;
                    continue;
                }
                m_state = EState::Sync;
                event.nServo = m_nServo;
                event.nPosition = b;
                event.nOutput = m_board.OutputOf(m_nServo);
                if (event.nOutput >= 0) {
                    event.kind = CSscEvent::EKind::Move;
                    event.dPulseUs = m_board.PulseUs(b);
                } else {
                    event.kind = CSscEvent::EKind::Ignored;
                }
                break;
        }
        pEvents->push_back(event);
    }
}

void CSscDecoder::Reset(SimTime t, std::vector<CSscEvent>* pEvents) {
    if (m_state != EState::Sync) pEvents->push_back(BrokenPacket(t, CSscEvent::EDrop::CutShort));
    m_state = EState::Sync;
}

CSscEvent CSscDecoder::BrokenPacket(SimTime t, CSscEvent::EDrop drop) const {
    CSscEvent event;
    event.kind = CSscEvent::EKind::Dropped;
    event.t = t;
    event.bytes = {kSync};
    if (m_state == EState::Position) event.bytes.push_back(m_nServo);
    event.drop = drop;
    return event;
}
