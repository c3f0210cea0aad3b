#include "cmdline/CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <CLI/App.hpp>
#include <CLI/Error.hpp>
#include <CLI/Formatter.hpp>

namespace kelvo::cmdline {
namespace {

// The help starts with the usage the manual gives, not one made up from the
// option list (that cannot say "--all | --serial S" or "-- COMMAND"), then
// says what the program does.
class UsageFormatter final : public CLI::Formatter {
 public:
  explicit UsageFormatter(std::string usage) : usage_(std::move(usage)) {}
  std::string make_description(const CLI::App*) const override { return {}; }
  std::string make_usage(const CLI::App* app, std::string) const override {
    const std::string& description = app->get_description();
    return "Usage: " + usage_ + "\n" + (description.empty() ? "" : "\n" + description + "\n");
  }

 private:
  std::string usage_;
};

// The first word that fits nowhere, named as the rest of our errors name
// things. It is the likelier mistake than whatever its place left missing.
std::optional<std::string> Unexpected(const CLI::App& app) {
  const std::vector<std::string> extras = app.remaining(true);
  const auto first =
      std::find_if(extras.begin(), extras.end(), [](const std::string& arg) { return arg != "--"; });
  if (first == extras.end()) return std::nullopt;
  const bool option = first->size() > 1 && first->front() == '-';
  return (option ? "unknown option '" : "unexpected argument '") + *first + "'";
}

}  // namespace

void Prepare(CLI::App& app, const std::string& usage) {
  app.formatter(std::make_shared<UsageFormatter>(usage));
  app.set_version_flag("--version", VersionText(app.get_name()), "Print the version and exit");
  // A repeated option that takes one value keeps the last, as it always did.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  // The same words on every system: on Windows CLI11 would read "/x" as an
  // option, and every absolute path of a POSIX shell (wine's, MSYS's) with it.
  app.allow_windows_style_options(false);
}

bool Parse(CLI::App& app, const std::vector<std::string>& args, std::optional<Answer>* answer,
           std::string* error) {
  answer->reset();
  // CLI11 takes the words last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
    return true;
  } catch (const CLI::CallForHelp&) {
    *answer = Answer{false, app.help()};
  } catch (const CLI::CallForVersion& version) {
    *answer = Answer{true, std::string(version.what()) + "\n"};
  } catch (const CLI::ParseError& failure) {
    *error = OneLine(Unexpected(app).value_or(failure.what()));
    return false;
  }
  return true;
}

std::string OneLine(const std::string& text) {
  std::string line;
  line.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\r') {
      line += "\\r";
    } else if (c == '\t') {
      line += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      line += escaped;
    } else {
      line += c;
    }
  }
  return line;
}

std::string VersionText(const std::string& program) { return program + " " + KELVO_VERSION; }

std::string ProgramVersion() { return KELVO_VERSION; }

}  // namespace kelvo::cmdline
