// plx-ssc-sim: a MINI-SSC II on a pseudo-terminal, registered in the port map as COMn, that
// keeps the hardware's time and reports what a real controller would do with every byte.
#pragma once

#include "sim/SimOptions.h"

// Runs until a signal that ends a process (Ctrl+C, SIGTERM, SIGHUP, Ctrl+\ and the like), or
// the end of its standard input where that says anything (a pipe, or a terminal it is in the
// foreground of); the report goes to standard output (a live view at a terminal), complaints to
// standard error. 0 after a normal end; 1 when it could not start, its output went away, a file
// it was asked to write could not be written, or its port map entry could not be removed.
// Standard input, output and error must be open.
int PlxRunSimulator(const CSimOptions& options);
