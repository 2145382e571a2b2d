#pragma once
// The commands of the standalone program `quillrow`. Each returns the process
// exit code: 0 done, 1 failed, 2 bad arguments.
#include <ostream>
#include <span>
#include <string>

namespace qr {

int RunQuillrow(std::span<const std::string> args, std::ostream& out, std::ostream& err);

int CmdProcess(std::span<const std::string> args, std::ostream& out, std::ostream& err, bool with_input);
int CmdInfo(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdDemo(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdPlay(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdPlugins(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace qr
