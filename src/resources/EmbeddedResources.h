#pragma once

// The program's own embedded resources, where kelvo_embed_firmware put the
// image: Qt's resource system on Linux, the PE resources on Windows.
#ifdef _WIN32
#include "resources/WinResourceLoader.h"
namespace kelvo {
inline ResourceLoader EmbeddedResources() { return WinResourceLoader(); }
}  // namespace kelvo
#else
#include "resources/QtResourceLoader.h"
namespace kelvo {
inline ResourceLoader EmbeddedResources() { return QtResourceLoader(); }
}  // namespace kelvo
#endif
