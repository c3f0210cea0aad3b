#pragma once

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

// What every program of ours does with its command line, over CLI11: --help
// and --version, and a bad line refused with one line saying why.
namespace kelvo::cmdline {

// Asked for by --help or --version: the text goes to stdout instead of the
// run, and the program ends with status 0.
struct Answer {
  bool version = false;  // --version; otherwise --help
  std::string text;
};

// Gives `app` --help, which shows `usage` (the program's command line as its
// manual writes it), the description and the options, and --version.
void Prepare(CLI::App& app, const std::string& usage);

// Parses `args` (without the program name) into `app`'s options. False with
// `error` set to one line for a bad command line; `answer` is set when the
// line asks for --help or --version, and the options are then not to be used.
bool Parse(CLI::App& app, const std::vector<std::string>& args, std::optional<Answer>* answer,
           std::string* error);

// `text` on one line: control characters (a newline in an argument) written
// as C escapes, so that an error stays one line whatever it quotes.
std::string OneLine(const std::string& text);

// "kelvo-flash 2.3.0.1": the program's name and the project's version.
std::string VersionText(const std::string& program);
// "2.3.0.1": the project's version alone.
std::string ProgramVersion();

}  // namespace kelvo::cmdline
