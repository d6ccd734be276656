// Image descriptors: either a plain image name, or key='value' pairs separated by one blank,
// for example "res='134' restype='png' dest='0,0,14,14'".
#pragma once

#include <cstdint>
#include <string>

#include "SkinUI/skin_values.h"

namespace SkinUI {

struct ImageDescriptor {
    std::wstring name;           // file name, or resource name with fromResource
    bool fromResource = false;   // given by "res"
    std::wstring resourceType;   // "restype"
    SkinRect dest;               // offset inside the control; all zero = the whole control
    SkinRect source;             // part of the bitmap; all zero = the whole bitmap
    SkinRect corner;             // nine-slice margins (parsed, drawn as a plain stretch)
    std::uint32_t mask = 0;      // pixels of this premultiplied value become transparent
    int fade = 255;              // 0..255
    bool hole = false, xtiled = false, ytiled = false, hsl = false;
};

// Parses a descriptor. Pairs stop at the first malformed one; what follows is ignored.
ImageDescriptor ParseImageDescriptor(const std::wstring& text);

// A resource image name is a decimal resource id and must start with a digit; 0 when it
// does not (or when the id would not fit the 16 bits of a resource id).
unsigned ResourceIdFromName(const std::wstring& name);

}  // namespace SkinUI
