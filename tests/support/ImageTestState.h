#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/UpdaterState.h"
#include "image/FirmwareImageLoader.h"
#include "support/QuietWindow.h"

// Shared by the image tests, benchmark and fuzzer: the image routines touch
// neither the cable nor the window, so both seams are inert here.
namespace kelvo::imagetest {

class InertDriver final : public FtdiDriver {
 public:
  FT_STATUS FT_OpenEx(const char*, std::uint32_t, FT_HANDLE*) override { return FT_DEVICE_NOT_FOUND; }
  FT_STATUS FT_Close(FT_HANDLE) override { return FT_INVALID_HANDLE; }
  FT_STATUS FT_SetBaudRate(FT_HANDLE, std::uint32_t) override { return FT_INVALID_HANDLE; }
  FT_STATUS FT_SetFlowControl(FT_HANDLE, std::uint16_t, std::uint8_t, std::uint8_t) override {
    return FT_INVALID_HANDLE;
  }
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE, std::uint8_t) override { return FT_INVALID_HANDLE; }
  FT_STATUS FT_SetUSBParameters(FT_HANDLE, std::uint32_t, std::uint32_t) override {
    return FT_INVALID_HANDLE;
  }
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE, std::uint8_t, std::uint8_t, std::uint8_t) override {
    return FT_INVALID_HANDLE;
  }
  FT_STATUS FT_SetChars(FT_HANDLE, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t) override {
    return FT_INVALID_HANDLE;
  }
  FT_STATUS FT_SetTimeouts(FT_HANDLE, std::uint32_t, std::uint32_t) override { return FT_INVALID_HANDLE; }
  FT_STATUS FT_Write(FT_HANDLE, const void*, std::uint32_t, std::uint32_t*) override {
    return FT_INVALID_HANDLE;
  }
  FT_STATUS FT_Read(FT_HANDLE, void*, std::uint32_t, std::uint32_t*) override { return FT_INVALID_HANDLE; }
  FT_STATUS FT_Purge(FT_HANDLE, std::uint32_t) override { return FT_INVALID_HANDLE; }
};


// A state record whose resource loader serves whatever `resource` holds
// (nullopt: no such resource) under type "JPG", id 100.
struct ImageTestState {
  ImageTestState()
      : state(driver, window, window, [this](std::string_view type, int id) { return Serve(type, id); }) {
    state.ImageResourceId = EmbeddedImageResourceId;
  }
  explicit ImageTestState(ResourceLoader loader) : state(driver, window, window, std::move(loader)) {
    state.ImageResourceId = EmbeddedImageResourceId;
  }
  ImageTestState(const ImageTestState&) = delete;
  ImageTestState& operator=(const ImageTestState&) = delete;

  std::optional<std::vector<std::uint8_t>> Serve(std::string_view type, int id) {
    ++loads;
    if (type != ImageResourceType || id != EmbeddedImageResourceId) return std::nullopt;
    return resource;
  }

  InertDriver driver;
  test::QuietWindow window;
  std::optional<std::vector<std::uint8_t>> resource;
  int loads = 0;
  UpdaterState state;
};

}  // namespace kelvo::imagetest
