// quillrow: the standalone program.
#include <iostream>
#include <string>
#include <vector>

#include "app/Commands.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qr::RunQuillrow(args, std::cout, std::cerr);
}
