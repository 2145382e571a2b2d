// `quillrow dump` and `quillrow build`: the text-form tool's two commands.
#include "app/Commands.h"
#include "persist/TextTool.h"

namespace qr {

int CmdDump(std::span<const std::string> args, std::ostream& out, std::ostream& err) { return RunDump(args, out, err); }
int CmdBuild(std::span<const std::string> args, std::ostream& out, std::ostream& err) { return RunBuild(args, out, err); }

}  // namespace qr
