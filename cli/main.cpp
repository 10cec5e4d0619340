// The quorvest program: runs QUORVEST command scripts over a CSV data file.
#include <iostream>

#include "driver/qvtctl.h"
#include "host/output/render.h"

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  std::cerr << "quorvest: not built yet\n";
  return 2;
}
