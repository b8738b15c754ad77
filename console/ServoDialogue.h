// The servo test dialogue: banner, port prompt, then one servo command per pair typed.
#pragma once

#include <iosfwd>

// Runs the dialogue on the given streams until the input ends or the port cannot be opened or is
// never named. 0 only when the input ended after every packet went out whole, neither stream
// failed and the port was released; otherwise 1. A line says why: on out for a port that did
// not open (after its box) and for input that ended halfway through a pair, on err for a packet
// not sent whole, for a stream that failed and for a port that could not be released; input
// that ends before a port is named needs none. Ctrl+C ends the process from outside.
int RunServoDialogue(std::istream& in, std::ostream& out, std::ostream& err);
