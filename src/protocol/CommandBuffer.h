#pragma once

#include <cstdint>
#include <initializer_list>

#include "core/UpdaterState.h"

namespace kelvo {

// Places a command at the start of CommandBuffer, the rest blank, and sets
// WriteLength to its size.
inline void PlaceCommand(UpdaterState& state, std::initializer_list<std::uint8_t> bytes) {
  state.CommandBuffer.fill(' ');
  std::int32_t length = 0;
  for (const std::uint8_t b : bytes) state.CommandBuffer[static_cast<std::size_t>(length++)] = b;
  state.WriteLength = length;
}

}  // namespace kelvo
