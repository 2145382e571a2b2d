#pragma once
// The commands of the standalone program `quillrow`. Each returns the process
// exit code: 0 done, 1 failed, 2 bad arguments.
#include <functional>
#include <ostream>
#include <span>
#include <string>

namespace qr {

int RunQuillrow(std::span<const std::string> args, std::ostream& out, std::ostream& err);

int CmdProcess(std::span<const std::string> args, std::ostream& out, std::ostream& err, bool with_input);
int CmdInfo(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdDemo(std::span<const std::string> args, std::ostream& out, std::ostream& err);
class StandaloneHost;
// `idle`, when given, runs after every idle pass of the play loop; playing
// stops when it returns false.
int CmdPlay(std::span<const std::string> args, std::ostream& out, std::ostream& err,
            const std::function<bool(StandaloneHost&)>& idle = {});
// The main window: a page drawn into a PNG, or the window on the screen.
int CmdSnapshot(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdEdit(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace qr
