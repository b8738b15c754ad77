// The servo test dialogue: banner, port prompt, then one servo command per pair typed.
#pragma once

#include <iosfwd>

// Runs the dialogue on the given streams until the input ends or the port cannot be opened or is
// never named. 0 only when the input ended after every packet went out whole and the output could
// be written; otherwise 1, with a line on err for each failure (on out for input that ended
// halfway through a pair). Ctrl+C ends the process from outside.
int RunServoDialogue(std::istream& in, std::ostream& out, std::ostream& err);
