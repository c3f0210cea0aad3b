#include "cli/CableList.h"

#include <algorithm>
#include <array>

#include "link/LinkConnection.h"

namespace kelvo::cli {
namespace {

bool IsBoardCable(const Cable& cable) {
  return std::find(LinkDescriptions.begin(), LinkDescriptions.end(), cable.description) != LinkDescriptions.end();
}

}  // namespace

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

std::string ProbeCable(FtdiDriver& driver, const Cable& cable) {
  if (cable.serial.empty()) return "it has no serial number";
  FT_HANDLE handle = 0;
  const FT_STATUS status = driver.FT_OpenEx(cable.serial.c_str(), FT_OPEN_BY_SERIAL_NUMBER, &handle);
  if (status == FT_OK) {
    driver.FT_Close(handle);
    return {};
  }
  return status == FT_DEVICE_NOT_OPENED ? "in use by another program, or no permission (see the udev rule)"
                                        : "FT_OpenEx status " + std::to_string(status);
}

std::string CableLine(const Cable& cable, const std::string& probe) {
  return (cable.serial.empty() ? std::string("-") : cable.serial) + "\t" + cable.description + "\t" +
         (probe.empty() ? std::string("can be opened") : "cannot be opened: " + probe);
}

bool ChooseTargets(const std::vector<Cable>& cables, const std::vector<std::string>& serials, bool all,
                   std::vector<Target>* targets, std::string* error) {
  if (!serials.empty()) {
    for (const std::string& serial : serials) {
      const bool attached =
          std::any_of(cables.begin(), cables.end(), [&](const Cable& c) { return c.serial == serial; });
      if (!attached) {
        *error = "no cable with serial " + serial + " is connected";
        return false;
      }
      targets->push_back({serial, serial});
    }
    return true;
  }
  if (all) {
    // A cable without a serial cannot be told from another; it is left alone.
    for (const Cable& cable : cables) {
      if (IsBoardCable(cable) && !cable.serial.empty()) targets->push_back({cable.serial, cable.serial});
    }
    // The bus lists them in no useful order; the operator reads them by serial.
    std::sort(targets->begin(), targets->end(), [](const Target& a, const Target& b) { return a.serial < b.serial; });
    return true;
  }
  // The updater's own choice, by description; shown by that cable's serial.
  std::string label = "cable";
  for (const std::string_view description : LinkDescriptions) {
    const auto it = std::find_if(cables.begin(), cables.end(), [&](const Cable& c) { return c.description == description; });
    if (it != cables.end()) {
      if (!it->serial.empty()) label = it->serial;
      break;
    }
  }
  targets->push_back({"", label});
  return true;
}

}  // namespace kelvo::cli
