#include "image_io.h"

#include "atomic_file.h"

#include <IL/il.h>
#include <IL/ilu.h>

#include <cstring>

namespace {

void init_devil() {
    static const bool initialised = [] {
        ilInit();
        iluInit();
        ilEnable(IL_ORIGIN_SET);
        ilOriginFunc(IL_ORIGIN_UPPER_LEFT);
        ilEnable(IL_FILE_OVERWRITE);
        return true;
    }();
    (void)initialised;
}

std::string devil_error() {
    const ILenum e = ilGetError();
    return e == IL_NO_ERROR ? "unknown error" : iluErrorString(e);
}

// An image name bound for the lifetime of the object.
class bound_image {
public:
    bound_image() {
        init_devil();
        ilGenImages(1, &name_);
        ilBindImage(name_);
    }
    ~bound_image() { ilDeleteImages(1, &name_); }
    bound_image(const bound_image&) = delete;
    bound_image& operator=(const bound_image&) = delete;

private:
    ILuint name_ = 0;
};

}  // namespace

bool load_rgb(const std::string& path, rgb_pixels& image, std::string& error) {
    bound_image bound;
    while (ilGetError() != IL_NO_ERROR) {
    }
    if (!ilLoadImage(path.c_str())) {
        error = "cannot read " + path + ": " + devil_error();
        return false;
    }
    if (!ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE)) {
        error = "cannot convert " + path + " to 8-bit RGB: " + devil_error();
        return false;
    }
    if (ilGetInteger(IL_IMAGE_ORIGIN) != IL_ORIGIN_UPPER_LEFT) iluFlipImage();
    image.width = ilGetInteger(IL_IMAGE_WIDTH);
    image.height = ilGetInteger(IL_IMAGE_HEIGHT);
    const auto* data = ilGetData();
    image.bytes.assign(data, data + static_cast<std::size_t>(image.width) * image.height * 3);
    return true;
}

bool save_rgb(const std::string& path, const rgb_pixels& image, std::string& error) {
    init_devil();
    const ILenum type = ilTypeFromExt(path.c_str());
    if (type == IL_TYPE_UNKNOWN) {
        error = "cannot write " + path + ": unknown image format (use .bmp, .png, .tga, .ppm ...)";
        return false;
    }
    return write_file_atomically(
        path,
        [&](const std::string& temp, std::string& err) {
            bound_image bound;
            std::vector<unsigned char> copy(image.bytes);
            bool ok = ilTexImage(image.width, image.height, 1, 3, IL_RGB, IL_UNSIGNED_BYTE, copy.data());
            if (ok) {
                ilRegisterOrigin(IL_ORIGIN_UPPER_LEFT);  // our rows run top to bottom
                ok = ilSave(type, temp.c_str());
            }
            if (!ok) err = "cannot write " + path + ": " + devil_error();
            return ok;
        },
        error);
}

bool border_loaded(const std::string& path, const rgb_pixels& image, PaddedImage& bordered, std::string& error,
                   median_filter::border mode) {
    if (!fits_padded(image.width, image.height)) {
        error = path + " is too large: its bordered copy must stay below 2^31 bytes";
        return false;
    }
    bordered = border_image(image.bytes.data(), image.width, image.height, mode);
    return true;
}
