// quillrow-text: a record stream (project, module file, skin, host chunk) as
// readable text and back.
#include <iostream>
#include <string>
#include <vector>

#include "persist/TextTool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qr::RunTextTool(args, std::cout, std::cerr);
}
