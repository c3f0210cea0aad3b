#include "image/FirmwareImageLoader.h"

#include <exception>

#include "core/UpdaterState.h"
#include "image/ImageCodec.h"

namespace kelvo {
namespace {

constexpr std::uint8_t SignatureFirst = 'F';
constexpr std::uint8_t SignatureSecond = 'W';
constexpr std::size_t ReservedZeroOffset = 4;

// Missing and unreadable resources end the load the same way as a short one.
class ResourceMissing : public std::exception {
 public:
  const char* what() const noexcept override { return "image resource missing"; }
};

}  // namespace

void LoadFirmwareImage(UpdaterState& state) {
  state.OperationFailed = true;
  // Any failure from here on leaves the flag set and ends the load silently;
  // the device check reports it.
  try {
    std::optional<std::vector<std::uint8_t>> resource =
        state.Resources(ImageResourceType, state.ImageResourceId);
    if (!resource) throw ResourceMissing();
    state.ScrambledImage = std::move(*resource);

    DescrambleImage(state);
    const std::vector<std::uint8_t>& image = state.FirmwareImage;

    if (image.at(0) != SignatureFirst || image.at(1) != SignatureSecond) return;

    // Recorded before the next check on purpose: a rejected image still leaves
    // its version here, though no caller reads it then.
    const std::uint8_t version = image.at(ImageVersionOffset);
    state.ImageVersion = {version / 16, version % 16};

    if (image.at(ReservedZeroOffset) != 0) return;

    state.OperationFailed = false;
  } catch (const std::exception&) {
    return;
  }
}

}  // namespace kelvo
