#include "cli/FlashOptions.h"

#include <algorithm>

#include <CLI/CLI.hpp>

namespace kelvo::cli {
namespace {

constexpr char Usage[] =
    "kelvo-flash [--list] [--all | --serial S ...] [--image FILE] [--yes] [--skip-current] [--json]\n"
    "            [--trace FILE] [--verify | --read FILE]";

}  // namespace

std::optional<FlashOptions> ParseFlashOptions(const std::vector<std::string>& args, std::string* error) {
  FlashOptions options;
  auto fail = [&](const std::string& text) -> std::optional<FlashOptions> {
    *error = cmdline::OneLine(text);
    return std::nullopt;
  };
  CLI::App app("Flashes Kelvo boards with the updater's own routines and texts, several at once.",
               "kelvo-flash");
  cmdline::Prepare(app, Usage);
  std::vector<std::string> serials;
  app.add_flag("--list", options.list,
               "Print the FTDI cables found (in the order they were plugged in) and whether they can be "
               "opened, then exit; status 3 when there is none");
  app.add_flag("--all", options.all, "Flash every cable with either of the updater's descriptions");
  CLI::Option* serial = app.add_option("--serial", serials,
                                       "Flash the cable with this serial (repeatable); default: the cable "
                                       "the updater would open")
                            ->type_name("S")
                            ->allow_extra_args(false);
  CLI::Option* image =
      app.add_option("--image", options.imagePath, "A stored image file instead of the embedded one")
          ->type_name("FILE");
  app.add_flag("--yes", options.yes, "Flash without asking (needed without a terminal)");
  app.add_flag("--skip-current", options.skipCurrent,
               "Leave boards that already run the image's version alone");
  app.add_flag("--json", options.json, "One JSON line per event on stdout, and a closing summary");
  CLI::Option* trace = app.add_option("--trace", options.tracePath, "Write every driver call as JSON lines")
                           ->type_name("FILE");
  app.add_flag("--verify", options.verify,
               "Read pages 0-62 of each board back and compare them with the image; writes nothing, "
               "needs no --yes");
  CLI::Option* read =
      app.add_option("--read", options.readPath,
                     "Copy the one board's whole flash (131072 bytes) to FILE, which is "
                     "replaced only once all of it has been read; writes nothing to the board")
          ->type_name("FILE");
  app.footer(
      "Progress goes to stderr, the closing table to stdout (with --json, to stderr).\n"
      "Exit status: 0 every board complete (or current; with --verify, matches; with --read, read), 1 a\n"
      "flash failed (with --verify or --read, a page could not be read), 2 bad command line or refused,\n"
      "3 no cable, 4 a board not in update mode or not a Kelvo, 5 image not supported, 6 USB connection\n"
      "failure, 7 a board's start page may be damaged (do not power it off; flash it again), 8 every\n"
      "board ended well but the trace could not be written, 9 a board differs from the image (--verify).\n"
      "With several boards, the most dangerous outcome's: a board whose start page may be damaged, then a\n"
      "write or verify failure, then a cable lost mid-flash, then the rest (among equals, the higher).");
  if (!cmdline::Parse(app, args, &options.answer, error)) return std::nullopt;
  if (options.answer) return options;

  for (const CLI::Option* given : {serial, image, trace, read}) {
    if (*given && std::any_of(given->results().begin(), given->results().end(),
                              [](const std::string& value) { return value.empty(); }))
      return fail(given->get_name() + " needs a value");
  }
  for (const std::string& name : serials) {
    if (std::find(options.serials.begin(), options.serials.end(), name) == options.serials.end())
      options.serials.push_back(name);
  }
  if (options.all && !options.serials.empty()) return fail("--all and --serial exclude each other");
  // Reading is a run of its own: never together with a flash or a listing.
  if (options.verify && *read) return fail("--verify and --read exclude each other");
  const char* reading = options.verify ? "--verify" : "--read";
  if (ReadsOnly(options) && options.list)
    return fail(std::string(reading) + " and --list exclude each other");
  if (ReadsOnly(options) && options.skipCurrent)
    return fail(std::string(reading) + " flashes nothing: --skip-current has no place with it");
  if (*read && (options.all || options.serials.size() > 1))
    return fail("--read reads one board: give at most one --serial, and no --all");
  if (*read && *image) return fail("--read compares nothing: --image has no place with it");
  return options;
}

}  // namespace kelvo::cli
