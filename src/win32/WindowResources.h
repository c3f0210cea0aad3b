#pragma once

// Ids of the window's own resources, shared by its .rc file and its code.
// The firmware image is the resource of type "JPG" and id 100; these keep
// clear of it.
#define KELVO_PICTURE1_ID 200
#define KELVO_ICON_ID 201
