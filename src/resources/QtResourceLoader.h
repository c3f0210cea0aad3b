#pragma once

#include "core/Resources.h"

namespace kelvo {

// Resources compiled into the program with Qt's resource system: type "JPG"
// and id 100 is the file ":/JPG/100". Absent or unreadable gives nullopt.
ResourceLoader QtResourceLoader();

}  // namespace kelvo
