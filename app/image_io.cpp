#include "image_io.h"

#include <OpenImageIO/imageio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "host_error.h"

namespace skv::app {

namespace OIIO = OIIO_NAMESPACE;

Image readImage(const std::string& path) {
    // Straight alpha throughout: ask the reader not to premultiply.
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
    const int alphaChannel = spec.alpha_channel >= 0 ? spec.alpha_channel : (channels == 4 ? 3 : (channels == 2 ? 1 : -1));
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

void writeImage(const std::string& path, const Image& image, int bits) {
    const OIIO::TypeDesc type = bits == 32 ? OIIO::TypeDesc::FLOAT
                                : bits == 16 ? OIIO::TypeDesc::UINT16
                                             : OIIO::TypeDesc::UINT8;
    // The temporary name keeps the extension so that the writer picks the right format.
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    const std::string extension = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? path.substr(dot) : "";
    const std::string partial = path.substr(0, path.size() - extension.size()) + ".partial-" +
                                std::to_string(::getpid()) + extension;
    auto output = OIIO::ImageOutput::create(path);
    if (!output) throw HostError(kExitRender, path + ": no image format for this file name (" + OIIO::geterror() + ")");
    OIIO::ImageSpec spec(image.width, image.height, 4, type);
    spec.alpha_channel = 3;
    spec.attribute("oiio:UnassociatedAlpha", 1);  // our pixels carry straight alpha
    if (!output->open(partial, spec))
        throw HostError(kExitRender, path + ": cannot write (" + output->geterror() + ")");
    // Quantised formats take values clamped to [0, 1]; float output keeps them as they are.
    bool ok;
    if (bits == 32) {
        ok = output->write_image(OIIO::TypeDesc::FLOAT, image.rgba.data());
    } else {
        std::vector<float> clamped(image.rgba.size());
        std::transform(image.rgba.begin(), image.rgba.end(), clamped.begin(), [](float v) {
            return std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f);
        });
        ok = output->write_image(OIIO::TypeDesc::FLOAT, clamped.data());
    }
    ok = output->close() && ok;
    if (!ok || std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        throw HostError(kExitRender, path + ": cannot write (" + output->geterror() + ")");
    }
}

std::string expandFramePattern(const std::string& pattern, int frame) {
    char number[32];
    // printf style: %d or %0Nd.
    for (size_t percent = pattern.find('%'); percent != std::string::npos; percent = pattern.find('%', percent + 1)) {
        size_t end = percent + 1;
        while (end < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[end]))) ++end;
        if (end >= pattern.size() || pattern[end] != 'd' || end - percent - 1 > 2) continue;
        const int width = end > percent + 1 ? std::atoi(pattern.substr(percent + 1, end - percent - 1).c_str()) : 0;
        std::snprintf(number, sizeof number, "%0*d", width, frame);
        return pattern.substr(0, percent) + number + pattern.substr(end + 1);
    }
    const size_t first = pattern.find('#');
    if (first == std::string::npos) {
        const size_t dot = pattern.find_last_of('.');
        const size_t slash = pattern.find_last_of('/');
        const size_t at = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : pattern.size();
        return pattern.substr(0, at) + "_" + std::to_string(frame) + pattern.substr(at);
    }
    size_t last = first;
    while (last < pattern.size() && pattern[last] == '#') ++last;
    std::snprintf(number, sizeof number, "%0*d", int(last - first), frame);
    return pattern.substr(0, first) + number + pattern.substr(last);
}

}  // namespace skv::app
