#pragma once

// The command line of a program that takes no arguments of its own (lumen_server, lumen_sci):
// --help (or -h) prints `help`, --version the program's name and version, both on standard output;
// anything else is refused with a line on standard error. Needs no application object and no
// display, so it works anywhere. Returns -1 when the program is to run, else its exit status.
int answerPlainCommandLine(int argc, char *argv[], const char *program, const char *help);
