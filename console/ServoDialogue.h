// The servo test dialogue: banner, port prompt, then one servo command per pair typed.
#pragma once

#include <iosfwd>

// Runs the dialogue on the given streams until the input ends (status 0) or the port cannot be
// opened or is never named (status 1). Ctrl+C ends the process from outside.
int RunServoDialogue(std::istream& in, std::ostream& out, std::ostream& err);
