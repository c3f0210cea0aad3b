#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "image/FirmwareImageLoader.h"
#include "support/FakeDriver.h"
#include "support/StateRig.h"

namespace kelvo::test {

// For the image routines, which touch neither the cable nor the window: a
// state record whose resource loader serves whatever `resource` holds
// (nullopt: no such resource) under type "JPG", id 100.
struct ImageRig : StateRig<FakeDriver> {
  ImageRig() : ImageRig([this](std::string_view type, int id) { return Serve(type, id); }) {}
  explicit ImageRig(ResourceLoader loader) {
    state.Resources = std::move(loader);
    state.ImageResourceId = EmbeddedImageResourceId;
  }

  std::optional<std::vector<std::uint8_t>> Serve(std::string_view type, int id) {
    ++loads;
    if (type != ImageResourceType || id != EmbeddedImageResourceId) return std::nullopt;
    return resource;
  }

  std::optional<std::vector<std::uint8_t>> resource;
  int loads = 0;
};

}  // namespace kelvo::test
