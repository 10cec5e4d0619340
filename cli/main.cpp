// The quorvest program: runs QUORVEST command scripts over a CSV data file in one process.
#include "program.h"

int main(int argc, char** argv) { return runProgram(argc, argv, nullptr); }
