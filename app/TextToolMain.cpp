// quillrow-text: a record stream (project, module file, skin, host chunk) as
// readable text and back. Outputs are written as the quillrow program writes
// them (pipes and devices straight, regular files replaced whole).
#include <iostream>
#include <string>
#include <vector>

#include "app/Output.h"
#include "persist/TextTool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qr::RunTextTool(args, std::cout, std::cerr, &qr::WriteOutput);
}
