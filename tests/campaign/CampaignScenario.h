#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimLink.h"

namespace kelvo::test {

// One seeded run of the fault campaign: the board, the cable and its faults,
// the embedded resource, and what the operator does on top of the clicks.
struct CampaignScenario {
  std::uint64_t seed = 0;
  sim::SimOptions options;
  // The faults as the simulator program would take them, for the replay note.
  std::vector<std::string> faultSpecs;
  std::string boardNote;
  std::string resourceNote;

  // The resource the program carries; nullopt: none.
  std::optional<std::vector<std::uint8_t>> resource;
  // Whether the loader must accept it, known from how it was made.
  bool imageAccepted = false;
  // The plain image the resource carries, when it is accepted.
  std::vector<std::uint8_t> image;
  // Pages whose data were given commands of the board's own.
  std::vector<int> plantedPages;

  // A second "Find Device" click while the check waits for the board.
  bool secondFindDuringCheck = false;
  // The user asks to close at this event pump of the flash; 0: never.
  int closeAtFlashPump = 0;

  // Only the board misbehaves (refusals, spoilt read-backs, answers in time):
  // the failures of each page then follow from the fault list alone.
  bool boardFaultsOnly = true;
  // No driver call is failed on purpose: the board always sees whole
  // commands, so whatever it programs is what the updater sent.
  bool cableKeepsStep = true;
  // Every answer of the board comes within the read timeout. An answer that
  // comes later lands in a later exchange, and the board may then program a
  // page again, with its own bytes, after the updater has verified it.
  bool answersKeepStep = true;
  // The only faults are answers up to 1 s late on at most three attempts of a
  // page, or one failing read call: a flash that starts must then complete.
  bool flashMustComplete = false;
};

// The scenario for `seed`; the same seed always gives the same scenario.
CampaignScenario MakeCampaignScenario(std::uint64_t seed);

// Bytes written into one page of the sample image at `offset`, and with
// `every` > 0 again every `every` bytes as far as they fit.
struct PlantedBytes {
  int page = 0;
  int offset = 0;
  std::string bytes;
  int every = 0;
};

// A scenario made by hand: the sample image with `planted` in its pages, a
// board with older firmware that programs a page in `programMs`, these faults.
CampaignScenario MakeScenario(const std::vector<std::string>& faults,
                              const std::vector<PlantedBytes>& planted, sim::SimOptions::BoardReceive receive,
                              int programMs);
// Adds faults, as the simulator program takes them, to a hand-made scenario.
void AddFaults(CampaignScenario& scenario, const std::vector<std::string>& faults);

// Everything needed to read and replay a run, on a few lines.
std::string DescribeScenario(const CampaignScenario& scenario);

}  // namespace kelvo::test
