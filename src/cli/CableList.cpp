#include "cli/CableList.h"

#include <algorithm>
#include <array>

#include "link/LinkConnection.h"

namespace kelvo::cli {

bool IsBoardCable(const Cable& cable) {
  return std::find(LinkDescriptions.begin(), LinkDescriptions.end(), cable.description) !=
         LinkDescriptions.end();
}

std::vector<Cable> ListCables(FtdiDriver& driver) {
  std::uint32_t count = 0;
  std::vector<Cable> cables;
  if (driver.FT_CreateDeviceInfoList(&count) != FT_OK) return cables;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::array<char, FT_SERIAL_NUMBER_SIZE> serial{};
    std::array<char, FT_DESCRIPTION_SIZE> description{};
    std::uint32_t flags = 0, type = 0, id = 0, location = 0;
    FT_HANDLE handle = 0;
    if (driver.FT_GetDeviceInfoDetail(i, &flags, &type, &id, &location, serial.data(), description.data(),
                                      &handle) == FT_OK) {
      cables.push_back({description.data(), serial.data()});
    }
  }
  return cables;
}

Diagnosis ProbeCable(FtdiDriver& driver, const CableDriver* real, const Cable& cable) {
  if (cable.serial.empty()) return {Diagnosis::Cause::Unopened, "", "it has no serial number"};
  FT_HANDLE handle = 0;
  const FT_STATUS status = driver.FT_OpenEx(cable.serial.c_str(), FT_OPEN_BY_SERIAL_NUMBER, &handle);
  if (status == FT_OK) {
    driver.FT_Close(handle);
    return {};
  }
  return DiagnoseOpen(static_cast<std::int32_t>(status), real);
}

std::string CableLine(const Cable& cable, const Diagnosis& probe) {
  return (cable.serial.empty() ? std::string("-") : cable.serial) + "\t" + cable.description + "\t" +
         (probe.line.empty() ? std::string("can be opened") : "cannot be opened: " + probe.line) +
         (IsBoardCable(cable) ? "" : "; not a Kelvo cable: --all skips it");
}

Diagnosis SharedSerial(const Target& target) {
  if (target.sharing < 2) return {};
  return {Diagnosis::Cause::DuplicateSerial, "",
          std::to_string(target.sharing) + " cables report the serial " + target.serial +
              ", so none of them can be chosen by it; flash them one at a time, without --all or --serial"};
}

std::vector<std::string> OtherBoardCables(const std::vector<Cable>& cables, const std::string& opened) {
  std::vector<std::string> others;
  bool openedSeen = false;
  for (const Cable& cable : cables) {
    if (!IsBoardCable(cable)) continue;
    // Only the one cable opened is left out, even if another shares its serial.
    if (cable.serial == opened && !openedSeen) {
      openedSeen = true;
      continue;
    }
    others.push_back(cable.serial.empty() ? "-" : cable.serial);
  }
  return others;
}

bool ChooseTargets(const std::vector<Cable>& cables, const std::vector<std::string>& serials, bool all,
                   std::vector<Target>* targets, std::string* error) {
  auto sharing = [&cables](const std::string& serial) {
    return static_cast<int>(
        std::count_if(cables.begin(), cables.end(), [&](const Cable& c) { return c.serial == serial; }));
  };
  if (!serials.empty()) {
    for (const std::string& serial : serials) {
      if (sharing(serial) == 0) {
        *error = "no cable with serial " + serial + " is connected";
        return false;
      }
      targets->push_back({serial, serial, sharing(serial)});
    }
    return true;
  }
  if (all) {
    // A cable without a serial cannot be told from another; it is left alone.
    // Cables that share a serial are one target, refused for it.
    for (const Cable& cable : cables) {
      const bool seen = std::any_of(targets->begin(), targets->end(),
                                    [&](const Target& t) { return t.serial == cable.serial; });
      if (IsBoardCable(cable) && !cable.serial.empty() && !seen)
        targets->push_back({cable.serial, cable.serial, sharing(cable.serial)});
    }
    // The bus lists them in no useful order; the operator reads them by serial.
    std::sort(targets->begin(), targets->end(),
              [](const Target& a, const Target& b) { return a.serial < b.serial; });
    return true;
  }
  // The updater's own choice, by description; shown by that cable's serial
  // when only one cable can be it. With several, the open says which.
  std::string label = "cable";
  for (const std::string_view description : LinkDescriptions) {
    const auto matching = std::count_if(cables.begin(), cables.end(),
                                        [&](const Cable& c) { return c.description == description; });
    if (matching == 0) continue;
    const auto it = std::find_if(cables.begin(), cables.end(),
                                 [&](const Cable& c) { return c.description == description; });
    if (matching == 1 && !it->serial.empty()) label = it->serial;
    break;
  }
  targets->push_back({"", label});
  return true;
}

std::string NoBoardCable(const std::vector<Cable>& cables) {
  std::string line = "no cable is described \"" + std::string(LinkDescriptions[0]) + "\" or \"" +
                     std::string(LinkDescriptions[1]) + "\"";
  std::string seen;
  for (const Cable& cable : cables) seen += (seen.empty() ? "" : ", ") + ("\"" + cable.description + "\"");
  return line + (seen.empty() ? "; no FTDI device is connected" : "; connected: " + seen);
}

}  // namespace kelvo::cli
