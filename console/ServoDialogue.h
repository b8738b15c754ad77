// The servo test dialogue: banner, port prompt, then one servo command per pair typed.
#pragma once

#include <iosfwd>

// Runs the dialogue on the given streams until the input ends or the port cannot be opened or is
// never named. 0 only when the input ended after every packet went out whole and neither stream
// failed; otherwise 1. A line says why: on out for a port that did not open (after its box) and
// for input that ended halfway through a pair, on err for a packet not sent whole and for a
// stream that failed; input that ends before a port is named needs none. Ctrl+C ends the process
// from outside.
int RunServoDialogue(std::istream& in, std::ostream& out, std::ostream& err);
