#include "image_io.h"

#include <OpenImageIO/color.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "host_error.h"

namespace skv::app {

namespace OIIO = OIIO_NAMESPACE;

Image readImage(const std::string& path) {
    // Straight alpha throughout: ask the reader not to premultiply.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw HostError(kExitScene, path + ": cannot read image (" + std::strerror(errno) + ")");
    // A FIFO or a device would make the reader wait or read for ever.
    if (!S_ISREG(st.st_mode)) throw HostError(kExitScene, path + ": not a regular file");
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto input = OIIO::ImageInput::open(path, &config);
    if (!input) {
        throw HostError(kExitScene, path + ": cannot read image (" + OIIO::geterror() + ")");
    }
    const OIIO::ImageSpec& spec = input->spec();
    const int channels = spec.nchannels;
    if (spec.width <= 0 || spec.height <= 0 || channels <= 0 ||
        int64_t(spec.width) * spec.height > (int64_t(1) << 28))
        throw HostError(kExitScene, path + ": unsupported image size");
    std::vector<float> pixels(size_t(spec.width) * spec.height * channels);
    if (!input->read_image(0, 0, 0, channels, OIIO::TypeDesc::FLOAT, pixels.data()))
        throw HostError(kExitScene, path + ": cannot read image (" + input->geterror() + ")");
    input->close();

    Image image(spec.width, spec.height);
    const int alphaChannel = spec.alpha_channel >= 0
                                 ? spec.alpha_channel
                                 : (channels == 4 ? 3 : (channels == 2 ? 1 : -1));
    for (size_t i = 0; i < size_t(spec.width) * spec.height; ++i) {
        const float* in = &pixels[i * channels];
        float* out = &image.rgba[i * 4];
        if (channels < 3) {
            out[0] = out[1] = out[2] = in[0];
        } else {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
        }
        out[3] = alphaChannel >= 0 ? in[alphaChannel] : 1.0f;
    }
    return image;
}

Image readDisplayImage(const std::string& path) {
    Image image = readImage(path);
    auto input = OIIO::ImageInput::open(path);
    if (!input) return image;
    const OIIO::ImageSpec& spec = input->spec();
    // Our own attributes when the file has them, else the format's convention.
    const std::string space =
        spec.get_string_attribute("skyvane:colorspace", holdsSceneLinear(path) ? "linear" : "sRGB");
    const std::string alpha = spec.get_string_attribute(
        "skyvane:alpha", holdsSceneLinear(path) ? "premultiplied" : "straight");
    const bool associated = spec.alpha_channel >= 0 && alpha == "premultiplied";
    input->close();
    if (space == "sRGB" && !associated) return image;
    OIIO::ImageBuf buffer(OIIO::ImageSpec(image.width, image.height, 4, OIIO::TypeDesc::FLOAT),
                          image.rgba.data());
    buffer.specmod().alpha_channel = 3;
    OIIO::ImageBuf shown = OIIO::ImageBufAlgo::colorconvert(buffer, space, "sRGB", associated);
    if (associated) OIIO::ImageBufAlgo::unpremult(shown, shown);
    if (shown.has_error())
        throw HostError(kExitScene, path + ": cannot convert from \"" + space + "\" for display");
    shown.get_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, image.rgba.data());
    return image;
}

namespace {

// zlib level 4 with libpng's one "sub" filter (PNG_FILTER_SUB) instead of level 6 trying all
// five filters on every row: rendering the campfire's 96 frames of 640 × 360 on one thread
// took a quarter less processor time, for files 16% larger. Image sequences are written once
// and read by a compositor soon after.
constexpr int kPngCompressionLevel = 4;
constexpr int kPngFilter = 0x10;

// This machine's name as it appears in temporary file names: machines that share an output
// folder (a render farm) tell their own temporary files from the others'.
std::string hostTag() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !name[0]) return "host";
    std::string tag = name;
    for (char& c : tag)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return tag;
}

// The temporary name of an image being written: the final name with ".partial-HOST-PID"
// before the extension (which stays, so that the writer picks the format).
std::string partialName(const std::string& path, pid_t pid) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    const std::string extension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash) ? path.substr(dot)
                                                                                : "";
    return path.substr(0, path.size() - extension.size()) + ".partial-" + hostTag() + "-" +
           std::to_string(pid) + extension;
}

bool syncPath(const char* path, int flags) {
    const int fd = ::open(path, flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

}  // namespace

bool holdsSceneLinear(const std::string& path) {
    std::string extension = path.substr(std::min(path.size(), path.find_last_of('.')));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return extension == ".exr" || extension == ".sxr" || extension == ".mxr" || extension == ".hdr";
}

std::vector<std::string> colorSpaceNames() {
    static const std::vector<std::string> names = OIIO::ColorConfig().getColorSpaceNames();
    return names;
}

void writeImage(const std::string& path, const Image& image, int bits,
                const ImageEncoding& encoding) {
    const OIIO::TypeDesc type = bits == 32   ? OIIO::TypeDesc::FLOAT
                                : bits == 16 ? OIIO::TypeDesc::UINT16
                                             : OIIO::TypeDesc::UINT8;
    // The effect's pixels are straight, display-referred sRGB; each format gets them by its
    // own convention: float formats scene-linear and premultiplied, the others as they are.
    const bool linearFormat = holdsSceneLinear(path);
    const std::string space = !encoding.colorspace.empty() ? encoding.colorspace
                              : linearFormat               ? "linear"
                                                           : "sRGB";
    const bool premultiplied = linearFormat && !encoding.straight;
    const float* pixels = image.rgba.data();
    OIIO::ImageBuf converted;
    if (space != "sRGB" || premultiplied) {
        OIIO::ImageBuf source(OIIO::ImageSpec(image.width, image.height, 4, OIIO::TypeDesc::FLOAT),
                              const_cast<float*>(image.rgba.data()));
        source.specmod().alpha_channel = 3;
        converted = space == "sRGB"
                        ? source.copy(OIIO::TypeDesc::FLOAT)
                        : OIIO::ImageBufAlgo::colorconvert(source, "sRGB", space, false);
        if (premultiplied && !converted.has_error())
            OIIO::ImageBufAlgo::premult(converted, converted);
        if (converted.has_error() || !converted.initialized())
            throw HostError(kExitRender, path + ": cannot convert to colour space \"" + space +
                                             "\" (" + converted.geterror() + ")");
        pixels = static_cast<const float*>(converted.localpixels());
    }
    const std::string partial = partialName(path, ::getpid());
    auto output = OIIO::ImageOutput::create(path);
    if (!output)
        throw HostError(kExitRender,
                        path + ": no image format for this file name (" + OIIO::geterror() + ")");
    OIIO::ImageSpec spec(image.width, image.height, 4, type);
    spec.alpha_channel = 3;
    // Said in the reader's own terms where the format has them, and in two attributes of our
    // own that every format with free metadata (EXR, TIFF) keeps as written.
    spec.attribute("oiio:ColorSpace", space);
    if (!premultiplied) spec.attribute("oiio:UnassociatedAlpha", 1);
    spec.attribute("skyvane:colorspace", space);
    spec.attribute("skyvane:alpha", premultiplied ? "premultiplied" : "straight");
    spec.attribute("png:compressionLevel", kPngCompressionLevel);
    spec.attribute("png:filter", kPngFilter);
    const auto fail = [&](const std::string& why) {
        std::remove(partial.c_str());
        return HostError(kExitRender, path + ": cannot write the image (" + why +
                                          "); nothing was written under its name");
    };
    if (!output->open(partial, spec)) throw fail(output->geterror());
    // Quantised output takes values clamped to [0, 1]; float output keeps them as they are.
    // Where the file holds 8 or 16-bit integers the values are quantised here, faster than the
    // writer would; a format that holds no such integers (EXR keeps half floats) gets the
    // clamped floats, so that its precision is not lost to an 8-bit step on the way.
    bool ok;
    const size_t count = image.rgba.size();
    const OIIO::TypeDesc stored = output->spec().format;
    if (bits == 32) {
        ok = output->write_image(OIIO::TypeDesc::FLOAT, pixels);
    } else if (stored == OIIO::TypeDesc::UINT8 || stored == OIIO::TypeDesc::UINT16) {
        const auto writeQuantised = [&](auto sample) {
            std::vector<decltype(sample)> quantised(count);
            quantize(pixels, count, quantised.data());
            return output->write_image(stored, quantised.data());
        };
        ok = stored == OIIO::TypeDesc::UINT8 ? writeQuantised(uint8_t{})
                                             : writeQuantised(uint16_t{});
    } else {
        std::vector<float> clamped(count);
        std::transform(pixels, pixels + count, clamped.begin(),
                       [](float v) { return std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f); });
        ok = output->write_image(OIIO::TypeDesc::FLOAT, clamped.data());
    }
    ok = output->close() && ok;
    // Some writers report a full disk only through their error state, or not at all: an
    // image of no bytes is never a finished one.
    std::string why = output->has_error() ? output->geterror() : "";
    struct stat st {};
    if (ok && why.empty() && (::stat(partial.c_str(), &st) != 0 || st.st_size == 0))
        why = "the file is empty: disk full?";
    if (ok && why.empty() && !syncPath(partial.c_str(), O_RDONLY)) why = std::strerror(errno);
    if (!ok || !why.empty()) throw fail(why.empty() ? "the writer failed" : why);
    if (std::rename(partial.c_str(), path.c_str()) != 0) throw fail(std::strerror(errno));
    const size_t slash = path.find_last_of('/');
    syncPath(slash == std::string::npos ? "." : path.substr(0, std::max<size_t>(slash, 1)).c_str(),
             O_RDONLY | O_DIRECTORY);
}

ImageWriteQueue::~ImageWriteQueue() {
    if (pending_.valid()) pending_.wait();
}

void ImageWriteQueue::write(std::string path, Image image, int bits, ImageEncoding encoding) {
    finish();
    pending_ = std::async(std::launch::async, [path = std::move(path), image = std::move(image),
                                               bits, encoding = std::move(encoding)] {
        writeImage(path, image, bits, encoding);
    });
}

int ImageWriteQueue::finish() {
    if (pending_.valid()) {
        pending_.get();
        ++written_;
    }
    return written_;
}

int removeStaleImages(const std::string& pattern) {
    // The partial files of this pattern's images: FOLDER/PREFIX*.partial-PID.EXT.
    const size_t slash = pattern.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : pattern.substr(0, std::max<size_t>(slash, 1));
    const std::string name = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    const size_t number = std::min(name.find('#'), name.find('%'));
    const std::string prefix = name.substr(0, std::min(number, name.find_last_of('.')));
    const size_t dot = name.find_last_of('.');
    const std::string extension = dot == std::string::npos ? "" : name.substr(dot);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return 0;
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string file = entry->d_name;
        // Only this machine's: a process id means nothing on another machine of a farm.
        const std::string marker = ".partial-" + hostTag() + "-";
        const size_t at = file.rfind(marker);
        if (at == std::string::npos || !file.starts_with(prefix) || !file.ends_with(extension))
            continue;
        const std::string pid =
            file.substr(at + marker.size(), file.size() - extension.size() - at - marker.size());
        if (pid.empty() || pid.size() > 9 || !std::all_of(pid.begin(), pid.end(), ::isdigit))
            continue;
        // A render still running (another chunk of a farm job) keeps its file.
        const pid_t owner = pid_t(std::stol(pid));
        if (owner == ::getpid() || ::kill(owner, 0) == 0 || errno != ESRCH) continue;
        if (std::remove((folder + "/" + file).c_str()) == 0) ++removed;
    }
    ::closedir(dir);
    return removed;
}

std::string expandFramePattern(const std::string& pattern, int frame) {
    char number[32];
    // printf style: %d or %0Nd.
    for (size_t percent = pattern.find('%'); percent != std::string::npos;
         percent = pattern.find('%', percent + 1)) {
        size_t end = percent + 1;
        while (end < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[end])))
            ++end;
        if (end >= pattern.size() || pattern[end] != 'd' || end - percent - 1 > 2) continue;
        const int width = end > percent + 1
                              ? std::atoi(pattern.substr(percent + 1, end - percent - 1).c_str())
                              : 0;
        std::snprintf(number, sizeof number, "%0*d", width, frame);
        return pattern.substr(0, percent) + number + pattern.substr(end + 1);
    }
    const size_t first = pattern.find('#');
    if (first == std::string::npos) {
        const size_t dot = pattern.find_last_of('.');
        const size_t slash = pattern.find_last_of('/');
        const size_t at = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                              ? dot
                              : pattern.size();
        return pattern.substr(0, at) + "_" + std::to_string(frame) + pattern.substr(at);
    }
    size_t last = first;
    while (last < pattern.size() && pattern[last] == '#')
        ++last;
    std::snprintf(number, sizeof number, "%0*d", int(last - first), frame);
    return pattern.substr(0, first) + number + pattern.substr(last);
}

}  // namespace skv::app
