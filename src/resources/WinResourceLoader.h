#pragma once

#include "core/Resources.h"

namespace kelvo {

// Resources compiled into the program as PE resources: type "JPG" and id 100
// is the resource `100 JPG "file"` of the program's own .rc file. Absent
// gives nullopt.
ResourceLoader WinResourceLoader();

}  // namespace kelvo
