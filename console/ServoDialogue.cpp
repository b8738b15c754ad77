#include "console/ServoDialogue.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <system_error>

#include "console/ServoPacket.h"
#include "serial/CommApi.h"
#include "serial/CommPort.h"
#include "serial/UserApi.h"

namespace {

constexpr std::int32_t kBaudRate = 9600;
constexpr std::size_t kBannerWidth = 79;

const char kTitle[] = "PELORIX (PLX) MINI-SSC II TEST";
const char kNotice[] = "visit www.pelorix.example for details on the full version of PLX";
const char kPortPrompt[] = "   Please enter a communications port: ";
const char kServoPrompt[] = "Enter Servo and Position : ";
const char kNotAPort[] = "That is not a port number. Type n for COMn, for example 1 for COM1.";
const char kNotAPair[] =
    "That is not a servo and a position. Type two whole numbers, for example 2 150.";
const char kHalfAPair[] = "The input ended before the position for servo ";
const char kNothingSent[] = ": nothing was sent for it.";

std::string Centred(const std::string& sText) {
    const std::size_t nBefore = (kBannerWidth - sText.size()) / 2;
    return std::string(nBefore, ' ') + sText +
           std::string(kBannerWidth - nBefore - sText.size(), ' ');
}

enum class EInput { Number, NotANumber, End, Unreadable };

// Why a console stream failed: the system's own error where the system failed it, the C
// runtime's where only the runtime did (on Windows its codes are not the system's).
struct CStreamError {
    int nCode = 0;  // 0 while all is well
    bool bRuntime = false;

    std::string Text() const {
        return bRuntime ? std::generic_category().message(nCode) : PlxFormatMessage(nCode);
    }
};

// What went wrong with the console itself, told once when the input ends.
struct CConsoleErrors {
    CStreamError input;
    CStreamError output;

    // Before a stream is used: no reason from before may be taken for its failure.
    static void Clear() {
        PlxSetLastError(0);
        errno = 0;
    }
    // Takes the reason of a stream that has just failed; the first of each stream counts.
    static void Note(bool bFailed, CStreamError* pError) {
        if (!bFailed || pError->nCode != 0) return;
        const int nSystem = PlxGetLastError();
        if (nSystem != 0)
            *pError = {nSystem, false};
        else
            *pError = {errno != 0 ? errno : EIO, true};
    }
};

// Standard output: a prompt, flushed so that it is on screen before the wait, or with
// bEndLine a line and its end (std::endl, which flushes too). The reason of a failure is taken
// at once, before anything else can change the last error.
void Say(std::ostream& out, const std::string& sText, bool bEndLine, CConsoleErrors* pErrors) {
    CConsoleErrors::Clear();
    out << sText;
    if (bEndLine)
        out << std::endl;
    else
        out.flush();
    CConsoleErrors::Note(!out, &pErrors->output);
}

void WriteBanner(std::ostream& out, CConsoleErrors* pErrors) {
    const std::string sRule(kBannerWidth, '-');
    for (const std::string& sLine : {sRule, Centred(kTitle), std::string(), Centred(kNotice), sRule,
                                     std::string("press CTRL+C to exit")})
        Say(out, sLine, true, pErrors);
}

// A byte order mark at the very start (Notepad's "UTF-8 with BOM", PowerShell's utf8) says how
// the text is written, not what it says: it is skipped. False when the input begins with only a
// part of one, which is not a number.
bool SkipByteOrderMark(std::istream& in, CConsoleErrors* pErrors) {
    static const unsigned char kMark[] = {0xEF, 0xBB, 0xBF};
    CConsoleErrors::Clear();
    for (std::size_t i = 0; i < sizeof(kMark); ++i) {
        if (in.peek() != kMark[i]) {
            CConsoleErrors::Note(in.bad(), &pErrors->input);
            return i == 0;
        }
        in.get();
    }
    return true;
}

// One whitespace-separated integer within 32 bits. "12x" is not a number: taking its 12 would
// move a servo the user never asked for. Input that cannot be read at all is not its end: the
// stream says bad, not just end of file. One extraction per number, which skips the white space:
// this runs for every packet.
EInput ReadNumber(std::istream& in, std::int32_t* pnValue, CConsoleErrors* pErrors) {
    CConsoleErrors::Clear();
    int nValue = 0;
    in >> nValue;
    if (in.bad()) {
        CConsoleErrors::Note(true, &pErrors->input);
        return EInput::Unreadable;
    }
    if (in.fail()) return in.eof() ? EInput::End : EInput::NotANumber;
    // The character that ended the number is in the buffer already (the extraction looked at
    // it), so looking again reads nothing.
    if (!in.eof() && !std::isspace(in.rdbuf()->sgetc())) return EInput::NotANumber;
    *pnValue = nValue;
    return EInput::Number;
}

// The system's text without the line end some systems put after it.
std::string OneLine(std::string sText) {
    while (!sText.empty() && std::isspace(static_cast<unsigned char>(sText.back())))
        sText.pop_back();
    return sText;
}

// After input that is not understood: forget the rest of its line and read afresh. A line ends
// at LF, CR LF or a lone CR (old Mac editors, some serial terminals).
void DiscardLine(std::istream& in, CConsoleErrors* pErrors) {
    in.clear();
    CConsoleErrors::Clear();
    for (int c = in.get(); c != std::char_traits<char>::eof() && c != '\n' && c != '\r';)
        c = in.get();
    CConsoleErrors::Note(in.bad(), &pErrors->input);
}

// The end of the input: the line end after the last prompt (unless a line has ended it), then a
// line on standard error for each console stream that failed. 0 only when nothing failed and
// everything was sent.
int Finish(std::ostream& out, std::ostream& err, const CConsoleErrors& errors, bool bAllSent,
           bool bLineEnded = false) {
    CConsoleErrors final = errors;
    if (!bLineEnded) Say(out, std::string(), true, &final);
    if (final.input.nCode != 0)
        err << "Unable to read standard input: " << OneLine(PlxConsoleText(final.input.Text()))
            << std::endl;
    if (final.output.nCode != 0)
        err << "Unable to write to standard output: "
            << OneLine(PlxConsoleText(final.output.Text())) << std::endl;
    return final.input.nCode == 0 && final.output.nCode == 0 && bAllSent ? 0 : 1;
}

// At the end of the input: the port let go of before the status is known, with a line on
// standard error when the system could not (the line may stay marked for this program's use,
// and other programs find it busy). nStatus, or 1 then.
int Release(CCommPort& port, std::int32_t nPort, std::ostream& err, int nStatus) {
    if (port.Close()) return nStatus;
    err << "Unable to release COM" << nPort << ": "
        << OneLine(PlxConsoleText(PlxFormatMessage(PlxGetLastError()))) << std::endl;
    return 1;
}

}  // namespace

int RunServoDialogue(std::istream& in, std::ostream& out, std::ostream& err) {
    // Every prompt must be on screen before the program waits for its answer.
    in.tie(&out);
    CConsoleErrors errors;
    WriteBanner(out, &errors);

    std::int32_t nPort = 0;
    for (bool bStart = true;; bStart = false) {
        Say(out, kPortPrompt, false, &errors);
        const EInput input = bStart && !SkipByteOrderMark(in, &errors)
                                 ? EInput::NotANumber
                                 : ReadNumber(in, &nPort, &errors);
        if (input == EInput::Number) break;
        if (input != EInput::NotANumber) {
            Finish(out, err, errors, false);
            return 1;
        }
        Say(out, kNotAPort, true, &errors);
        DiscardLine(in, &errors);
    }
    Say(out, std::string(), true, &errors);

    CCommPort port(nPort, kBaudRate);
    if (!port.Open()) {
        out << "Unable to open communications port." << std::endl;
        return 1;
    }

    CServoPacket packet;
    bool bAllSent = true;
    for (;;) {
        Say(out, kServoPrompt, false, &errors);
        std::int32_t nServo = 0;
        std::int32_t nPosition = 0;
        EInput input = ReadNumber(in, &nServo, &errors);
        if (input == EInput::Number) {
            input = ReadNumber(in, &nPosition, &errors);
            // The user's last command never reached the controller: say so.
            if (input == EInput::End) {
                Say(out, kHalfAPair + std::to_string(nServo) + kNothingSent, true, &errors);
                return Release(port, nPort, err, Finish(out, err, errors, false, true));
            }
        }
        if (input == EInput::End || input == EInput::Unreadable)
            return Release(port, nPort, err, Finish(out, err, errors, bAllSent));
        if (input == EInput::NotANumber) {
            Say(out, kNotAPair, true, &errors);
            DiscardLine(in, &errors);
            continue;
        }
        packet.Set(nServo, nPosition);
        if (port.Write(packet.GetData(), CServoPacket::SIZE) < CServoPacket::SIZE) {
            const int nError = PlxGetLastError();
            err << "Unable to write to COM" << nPort << ": "
                << OneLine(PlxConsoleText(PlxFormatMessage(nError))) << std::endl;
            bAllSent = false;
        }
    }
}
