#pragma once
// The commands of the standalone program `quillrow`. Each returns the process
// exit code: 0 done, 1 failed, 2 bad arguments. A new command joins with one
// row in the table (app/CommandTable.cpp) and its function in a file of its own.
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace qr {

using CommandFn = int (*)(std::span<const std::string> args, std::ostream& out, std::ostream& err);

struct Command {
  std::string_view name;
  std::string_view synopsis;  // the line of `quillrow --help`, after the name
  std::string_view help;      // `quillrow NAME --help`: what it does and every option
  CommandFn run;
};

std::span<const Command> Commands();

int RunQuillrow(std::span<const std::string> args, std::ostream& out, std::ostream& err);

int CmdProcess(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdRender(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdInfo(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdDump(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdBuild(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdDemo(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdPlay(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdPlugins(std::span<const std::string> args, std::ostream& out, std::ostream& err);
// The main window: a page drawn into a PNG, or the window on the screen.
int CmdSnapshot(std::span<const std::string> args, std::ostream& out, std::ostream& err);
int CmdEdit(std::span<const std::string> args, std::ostream& out, std::ostream& err);

class StandaloneHost;
// `quillrow play` with `idle`, when given, run after every idle pass of the play
// loop on the program's main thread; playing stops when it returns false.
int PlayWith(std::span<const std::string> args, std::ostream& out, std::ostream& err,
             const std::function<bool(StandaloneHost&)>& idle);

// Option values shared by the commands: false for text that is not a whole
// number (or not a finite number) within the bounds.
bool ParseInteger(const std::string& text, long lo, long hi, long& value);
bool ParseReal(const std::string& text, double lo, double hi, double& value);

}  // namespace qr
