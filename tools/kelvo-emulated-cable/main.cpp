#include "emulation/EmulatedCableProgram.h"

int main(int argc, char** argv) { return kelvo::sim::RunEmulatedCableProgram(argc, argv); }
