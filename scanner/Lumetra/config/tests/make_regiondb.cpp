// Writes the sample region database: make_regiondb <output file>.
#include <fstream>
#include <iostream>

#include "RegionDbBuilder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_regiondb <output file>\n";
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << regiondb::version2(regiondb::sampleModels());
  out.close();
  if (!out) {
    std::cerr << "cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
