#pragma once

// Runs one command line: parse, resolve the updater directory, run -N, -G and
// then the first of -D, -U, -B, -L, -J. Returns the exit status (0 or 1).
int updater_main(int argc, char** argv);
