// Writing test input files in formats the program must cope with.
#pragma once

#include <IL/il.h>

#include <string>
#include <vector>

// Saves `bytes` (rows packed, `components` bytes per pixel: 1 grey, 3 RGB,
// 4 RGBA) as `type` (IL_JPG, IL_PNG, ...). Returns false on failure.
inline bool write_test_image(const std::string& path, ILenum type, int width, int height, int components,
                             std::vector<unsigned char> bytes) {
    const ILenum format = components == 1 ? IL_LUMINANCE : components == 4 ? IL_RGBA : IL_RGB;
    ILuint name = 0;
    ilInit();
    ilEnable(IL_FILE_OVERWRITE);
    ilGenImages(1, &name);
    ilBindImage(name);
    bool ok = ilTexImage(width, height, 1, static_cast<ILubyte>(components), format, IL_UNSIGNED_BYTE, bytes.data());
    if (ok) {
        ilRegisterOrigin(IL_ORIGIN_UPPER_LEFT);
        ok = ilSave(type, path.c_str());
    }
    ilDeleteImages(1, &name);
    return ok;
}
