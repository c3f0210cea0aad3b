#include "simulator/SimProgram.h"

int main(int argc, char** argv) { return kelvo::sim::RunSimProgram(argc, argv, KELVO_SAMPLE_FIRMWARE != 0); }
