// `quillrow dump` and `quillrow build`: the text-form tool's commands, writing
// their outputs as every command of the program does.
#include "app/Commands.h"
#include "app/Output.h"
#include "persist/TextTool.h"

namespace qr {

namespace {
bool Write(const std::string& path, const void* bytes, size_t n, std::string& error) {
  return WriteOutput(path, bytes, n, error);
}
}  // namespace

int CmdDump(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  return RunDump(args, out, err, &Write);
}
int CmdBuild(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  return RunBuild(args, out, err, &Write);
}

}  // namespace qr
