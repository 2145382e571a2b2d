#pragma once
// The text-form commands: "dump FILE [-o OUT]" writes a record stream as text,
// "build TEXT -o FILE" builds the bytes back. quillrow-text runs them; the
// standalone program offers the same two commands.
#include <ostream>
#include <span>
#include <string>

namespace qr {

// `args` are the command's own arguments (after "dump" or "build"). Return the
// process exit code: 0 done, 1 failed, 2 bad arguments.
int RunDump(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int RunBuild(std::span<const std::string> args, std::ostream& out, std::ostream& err);
// args[0] names the command.
int RunTextTool(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace qr
