#include "image_io.h"

#include "decoders.h"
#include "image_header.h"

#include <sys/stat.h>

#include <IL/il.h>
#include <IL/ilu.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// No acceptable image needs more; DevIL counts file positions in 32 bits.
constexpr long max_file_bytes = 1L << 31;

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
        while (ilGetError() != IL_NO_ERROR) {
        }
    }
    ~bound_image() { ilDeleteImages(1, &name_); }
    bound_image(const bound_image&) = delete;
    bound_image& operator=(const bound_image&) = delete;

private:
    ILuint name_ = 0;
};

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// The header of `file`, checked; false with `error` naming `name`.
bool checked_header(std::FILE* file, const std::string& name, std::int64_t max_pixels, image_header& header,
                    std::string& error) {
    std::string why;
    if (read_image_header(file, header, why) && image_size_acceptable(header, max_pixels, why) &&
        image_structure_sound(file, header, why))
        return true;
    error = "cannot read " + name + ": " + why;
    return false;
}

// A PNG through DevIL, as 8-bit RGB with rows top to bottom.
bool decode_png(const unsigned char* data, std::size_t size, rgb_pixels& image, std::string& why) {
    // DevIL reads from a stream, not from memory: its memory reader seeks
    // and reads past the end of the buffer.
    file_ptr file(fmemopen(const_cast<unsigned char*>(data), size, "rb"));
    if (!file) {
        why = std::strerror(errno);
        return false;
    }
    bound_image bound;
    if (!ilLoadF(IL_PNG, file.get())) {
        why = devil_error();
        return false;
    }
    if (!ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE)) {
        why = "cannot convert it to 8-bit RGB: " + devil_error();
        return false;
    }
    if (ilGetInteger(IL_IMAGE_ORIGIN) != IL_ORIGIN_UPPER_LEFT) iluFlipImage();
    const std::int64_t width = ilGetInteger(IL_IMAGE_WIDTH), height = ilGetInteger(IL_IMAGE_HEIGHT);
    const ILubyte* pixels = ilGetData();
    if (!pixels || ilGetInteger(IL_IMAGE_SIZE_OF_DATA) != width * height * channels) {
        why = "its decoded size differs from its header";
        return false;
    }
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.bytes.assign(pixels, pixels + width * height * channels);
    return true;
}

bool decode_checked(const unsigned char* data, std::size_t size, const image_header& header, rgb_pixels& image,
                    std::string& why) {
    switch (header.format) {
        case image_format::jpeg: return decode_jpeg(data, size, image, why);
        case image_format::png: return decode_png(data, size, image, why);
        case image_format::bmp: return decode_bmp(data, size, image, why);
        case image_format::tiff: return decode_tiff(data, size, image, why);
        case image_format::pnm: return decode_pnm(data, size, header, image, why);
        case image_format::other: break;
    }
    why = "unsupported format";
    return false;
}

struct output_type {
    const char* extension;
    ILenum type;
};
constexpr output_type output_types[] = {{".bmp", IL_BMP}, {".png", IL_PNG}, {".tga", IL_TGA},
                                        {".ppm", IL_PNM}, {".pnm", IL_PNM}, {".tif", IL_TIF},
                                        {".tiff", IL_TIF}, {".jpg", IL_JPG}, {".jpeg", IL_JPG}};

ILenum type_from_extension(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return IL_TYPE_UNKNOWN;
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const output_type& t : output_types)
        if (ext == t.extension) return t.type;
    return IL_TYPE_UNKNOWN;
}

std::string unknown_format(const std::string& path) {
    return "cannot write " + path + ": unknown image format (use .bmp, .png, .tga, .ppm, .tif or .jpg)";
}

// libjpeg ends the process on longer sides (DevIL leaves it its default
// error handler); a TGA header holds 16-bit sides.
constexpr int max_jpeg_side = 65500;
constexpr int max_tga_side = 65535;

bool encoder_holds(ILenum type, int width, int height, const std::string& name, std::string& error) {
    const int max_side = type == IL_JPG ? max_jpeg_side : type == IL_TGA ? max_tga_side : 0;
    if (max_side == 0 || (width <= max_side && height <= max_side)) return true;
    error = "cannot write " + name + ": its format holds at most " + std::to_string(max_side) + " pixels a side, not " +
            std::to_string(width) + "x" + std::to_string(height);
    return false;
}

bool encode_as(std::FILE* out, ILenum type, const std::string& name, const rgb_pixels& image, std::string& error) {
    if (!encoder_holds(type, image.width, image.height, name, error)) return false;
    bound_image bound;
    std::vector<unsigned char> copy(image.bytes);
    bool ok = ilTexImage(image.width, image.height, 1, channels, IL_RGB, IL_UNSIGNED_BYTE, copy.data());
    if (ok) {
        ilRegisterOrigin(IL_ORIGIN_UPPER_LEFT);  // our rows run top to bottom
        ok = save_bound_image(type, out);
    }
    if (!ok) {
        error = "cannot write " + name + ": " + devil_error();
        return false;
    }
    if (std::ferror(out)) {
        error = "cannot write " + name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool save_bound_image(unsigned type, std::FILE* out) {
    while (ilGetError() != IL_NO_ERROR) {
    }
    // ilSaveF narrows the byte count of some formats (TIFF) to a boolean on
    // the way, so a file of a multiple of 256 bytes reads as a failure; a
    // real failure leaves an error.
    return ilSaveF(type, out) != 0 || ilGetError() == IL_NO_ERROR;
}

bool decode_rgb(const unsigned char* data, std::size_t size, const std::string& name, rgb_pixels& image,
                std::string& error, std::int64_t max_pixels) {
    if (max_pixels < 0 && !max_pixels_from_environment(max_pixels, error)) return false;
    if (size == 0) {
        error = "cannot read " + name + ": it is an empty file";
        return false;
    }
    file_ptr file(fmemopen(const_cast<unsigned char*>(data), size, "rb"));
    if (!file) {
        error = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    image_header header;
    if (!checked_header(file.get(), name, max_pixels, header, error)) return false;
    std::string why;
    if (!decode_checked(data, size, header, image, why)) {
        error = "cannot read " + name + " (" + header.kind + "): " + why;
        return false;
    }
    // The size checks applied to the header; a decoder that finds another size is not trusted.
    if (image.width != header.width || image.height != header.height) {
        error = "cannot read " + name + " (" + header.kind + "): its decoded size differs from its header";
        return false;
    }
    return true;
}

bool load_rgb(const std::string& path, rgb_pixels& image, std::string& error, std::int64_t max_pixels) {
    if (max_pixels < 0 && !max_pixels_from_environment(max_pixels, error)) return false;
    file_ptr file(std::fopen(path.c_str(), "rb"));
    struct stat st {};
    if (!file || fstat(fileno(file.get()), &st) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "cannot read " + path + ": it is a directory";
        return false;
    }
    // Refuse from the header alone, before reading a large file.
    image_header header;
    if (!checked_header(file.get(), path, max_pixels, header, error)) return false;
    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    const long size = std::ftell(file.get());
    if (size < 0 || size > max_file_bytes) {
        error = "cannot read " + path + ": " + (size < 0 ? std::strerror(errno) : "a file of 2 GiB or more");
        return false;
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    std::rewind(file.get());
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        error = "cannot read " + path + ": " + (std::ferror(file.get()) ? std::strerror(errno) : "it shrank while read");
        return false;
    }
    return decode_rgb(bytes.data(), bytes.size(), path, image, error, max_pixels);
}

bool encode_rgb(std::FILE* out, const std::string& format_path, const rgb_pixels& image, std::string& error) {
    const ILenum type = type_from_extension(format_path);
    if (type == IL_TYPE_UNKNOWN) {
        error = unknown_format(format_path);
        return false;
    }
    return encode_as(out, type, format_path, image, error);
}

bool image_output::open(const std::string& path, std::string& error) {
    type_ = type_from_extension(path);
    if (type_ == IL_TYPE_UNKNOWN) {
        error = unknown_format(path);
        return false;
    }
    return file_.open(path, error);
}

bool image_output::holds(int width, int height, std::string& error) const {
    return encoder_holds(type_, width, height, file_.path(), error);
}

bool image_output::save(const rgb_pixels& image, std::string& error) {
    if (!file_.stream()) {
        error = "cannot write " + file_.path() + ": not open";
        return false;
    }
    if (!encode_as(file_.stream(), type_, file_.path(), image, error)) {
        file_.discard();
        return false;
    }
    return file_.commit(error);
}

bool save_rgb(const std::string& path, const rgb_pixels& image, std::string& error) {
    image_output output;
    return output.open(path, error) && output.save(image, error);
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
