#include "image_io.h"

#include "image_header.h"

#include <IL/il.h>
#include <IL/ilu.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// DevIL counts file positions in 32 bits; no acceptable image needs more.
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

ILenum devil_type(image_format format) {
    switch (format) {
        case image_format::jpeg: return IL_JPG;
        case image_format::png: return IL_PNG;
        case image_format::bmp: return IL_BMP;
        case image_format::tiff: return IL_TIF;
        case image_format::pnm:
        case image_format::other: break;
    }
    return IL_TYPE_UNKNOWN;
}

// The header of `file`, checked; false with `error` naming `name`.
bool checked_header(std::FILE* file, const std::string& name, image_header& header, std::string& error) {
    std::string why;
    if (read_image_header(file, header, why) && image_size_acceptable(header, why) &&
        image_structure_sound(file, header, why))
        return true;
    error = "cannot read " + name + ": " + why;
    return false;
}

// The decoded image bound in DevIL as 8-bit RGB, rows top to bottom.
bool take_pixels(const image_header& header, const std::string& name, rgb_pixels& image, std::string& error) {
    const std::string what = "cannot read " + name + " (" + header.kind + "): ";
    if (!ilConvertImage(IL_RGB, IL_UNSIGNED_BYTE)) {
        error = what + "cannot convert it to 8-bit RGB: " + devil_error();
        return false;
    }
    if (ilGetInteger(IL_IMAGE_ORIGIN) != IL_ORIGIN_UPPER_LEFT) iluFlipImage();
    const std::int64_t width = ilGetInteger(IL_IMAGE_WIDTH), height = ilGetInteger(IL_IMAGE_HEIGHT);
    const ILubyte* data = ilGetData();
    // The size check applied to the header; a decoder that finds another size is not trusted.
    if (width != header.width || height != header.height || !data ||
        ilGetInteger(IL_IMAGE_SIZE_OF_DATA) != width * height * channels) {
        error = what + "its decoded size differs from its header";
        return false;
    }
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.bytes.assign(data, data + width * height * channels);
    return true;
}

// Samples of a binary PGM or PPM, scaled to 8 bits and spread to RGB.
bool decode_pnm(const unsigned char* data, std::size_t size, const image_header& header, const std::string& name,
                rgb_pixels& image, std::string& error) {
    const int sample_bytes = header.max_value > 255 ? 2 : 1;
    const std::size_t pixels = static_cast<std::size_t>(header.width) * header.height;
    const std::size_t needed = pixels * header.channels * sample_bytes;
    if (header.data_offset < 0 || size - std::min<std::size_t>(size, header.data_offset) < needed) {
        error = "cannot read " + name + " (" + header.kind + "): it is cut short";
        return false;
    }
    const unsigned char* sample = data + header.data_offset;
    const auto next = [&] {
        unsigned value = sample_bytes == 2 ? sample[0] << 8 | sample[1] : sample[0];
        sample += sample_bytes;
        value = std::min<unsigned>(value, header.max_value);
        return static_cast<unsigned char>((value * 255 + header.max_value / 2) / header.max_value);
    };
    image.width = static_cast<int>(header.width);
    image.height = static_cast<int>(header.height);
    image.bytes.resize(pixels * channels);
    for (std::size_t p = 0; p < pixels; ++p)
        for (int c = 0; c < channels; ++c)
            image.bytes[p * channels + c] = header.channels == 1 && c > 0 ? image.bytes[p * channels] : next();
    return true;
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
                std::string& error) {
    if (size == 0) {
        error = "cannot read " + name + ": it is an empty file";
        return false;
    }
    // DevIL reads from a stream, not from memory: its memory reader seeks
    // and reads past the end of the buffer where a TIFF's offsets point.
    file_ptr file(fmemopen(const_cast<unsigned char*>(data), size, "rb"));
    if (!file) {
        error = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    image_header header;
    if (!checked_header(file.get(), name, header, error)) return false;
    if (header.format == image_format::pnm) return decode_pnm(data, size, header, name, image, error);
    std::rewind(file.get());
    bound_image bound;
    if (!ilLoadF(devil_type(header.format), file.get())) {
        error = "cannot read " + name + " (" + header.kind + "): " + devil_error();
        return false;
    }
    return take_pixels(header, name, image, error);
}

bool load_rgb(const std::string& path, rgb_pixels& image, std::string& error) {
    file_ptr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    // Refuse from the header alone, before reading a large file.
    image_header header;
    if (!checked_header(file.get(), path, header, error)) return false;
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
    return decode_rgb(bytes.data(), bytes.size(), path, image, error);
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
