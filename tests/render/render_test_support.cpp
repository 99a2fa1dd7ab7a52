#include "render_test_support.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <sstream>

namespace skv::test {

FloatGrid& TestFrame::grid(uint32_t type) {
    if (!grids_[type]) grids_[type] = std::make_unique<FloatGrid>(gw_ + 2, gh_ + 2, 1, true);
    return *grids_[type];
}

FrameFields TestFrame::fields() const {
    const FloatGrid* byType[24] = {};
    for (uint32_t type = 0; type < 24; ++type)
        byType[type] = grids_[type].get();
    return FrameFields::fromGrids(byType, 24);
}

RenderSettings plainSettings(int32_t mode) {
    RenderSettings s;
    s.renderMode = mode;
    s.alphaMode = kAlphaSource;
    return s;
}

FloatImage renderAtGridSize(Renderer& renderer, const TestFrame& frame,
                            const RenderSettings& settings, const FloatImage* texture) {
    FloatImage out(frame.width(), frame.height());
    renderer.render(frame.fields(), texture, settings, out);
    return out;
}

FloatImage rampTexture(uint32_t width, uint32_t height) {
    FloatImage t(width, height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            float* p = t.pixel(x, y);
            p[0] = width > 1 ? float(x) / float(width - 1) : 0.0f;
            p[1] = height > 1 ? float(y) / float(height - 1) : 0.0f;
            p[2] = float((x + y) % 3) / 2.0f;
            p[3] = 1.0f;
        }
    return t;
}

float maxDifference(const FloatImage& a, const FloatImage& b) {
    if (a.width() != b.width() || a.height() != b.height())
        return std::numeric_limits<float>::infinity();
    float worst = 0.0f;
    for (uint32_t y = 0; y < a.height(); ++y)
        for (uint32_t x = 0; x < a.width() * 4; ++x) {
            const float d = std::fabs(a.row(y)[x] - b.row(y)[x]);
            if (!(d <= worst)) worst = std::isnan(d) ? std::numeric_limits<float>::infinity() : d;
        }
    return worst;
}

bool allFinite(const FloatImage& image) {
    for (uint32_t y = 0; y < image.height(); ++y)
        for (uint32_t x = 0; x < image.width() * 4; ++x)
            if (!std::isfinite(image.row(y)[x])) return false;
    return true;
}

std::array<float, 4> pixelAt(const FloatImage& image, uint32_t x, uint32_t y) {
    const float* p = image.pixel(x, y);
    return {p[0], p[1], p[2], p[3]};
}

bool writeImageFile(const std::string& path, const FloatImage& image) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) return false;
    const bool exr = path.size() > 4 && path.substr(path.size() - 4) == ".exr";
    OIIO::ImageSpec layout(int(image.width()), int(image.height()), 4,
                           exr ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT8);
    // Our pixels are straight RGBA; without this the PNG writer would divide by alpha.
    layout.attribute("oiio:UnassociatedAlpha", 1);
    if (!out->open(path, layout)) return false;
    const bool ok = out->write_image(OIIO::TypeDesc::FLOAT, image.data());
    return out->close() && ok;
}

bool readImageFile(const std::string& path, FloatImage& image) {
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);  // keep straight alpha as stored
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in) return false;
    const OIIO::ImageSpec& layout = in->spec();
    if (layout.nchannels != 4 || layout.width <= 0 || layout.height <= 0) return false;
    image.resize(uint32_t(layout.width), uint32_t(layout.height));
    const bool ok = in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, image.data());
    in->close();
    return ok;
}

::testing::AssertionResult matchesGolden(const std::string& name, const FloatImage& image,
                                         float tolerance) {
    const std::string golden = std::string(SKV_RENDER_GOLDEN_DIR) + "/" + name + ".png";
    const char* update = std::getenv("SKV_UPDATE_GOLDEN");
    if (update && std::string(update) == "1") {
        if (!writeImageFile(golden, image))
            return ::testing::AssertionFailure() << "cannot write golden image " << golden;
        return ::testing::AssertionSuccess() << "golden image rewritten: " << golden;
    }

    const std::string outDir = SKV_RENDER_OUTPUT_DIR;
    std::filesystem::create_directories(outDir);
    const std::string actualPath = outDir + "/" + name + ".png";
    const std::string diffPath = outDir + "/" + name + "_diff.png";
    FloatImage expected;
    if (!readImageFile(golden, expected)) {
        writeImageFile(actualPath, image);
        return ::testing::AssertionFailure()
               << "golden image " << golden << " is missing or unreadable; this render is "
               << actualPath << " (run with SKV_UPDATE_GOLDEN=1 to accept it)";
    }
    if (expected.width() != image.width() || expected.height() != image.height()) {
        writeImageFile(actualPath, image);
        return ::testing::AssertionFailure()
               << "golden image " << golden << " is " << expected.width() << "x"
               << expected.height() << ", the render " << image.width() << "x" << image.height()
               << " (written to " << actualPath << ")";
    }
    // The golden file holds 8-bit channels; compare the render as it would be stored.
    FloatImage diff(image.width(), image.height());
    float worst = 0.0f;
    uint32_t worstX = 0, worstY = 0, differing = 0;
    for (uint32_t y = 0; y < image.height(); ++y)
        for (uint32_t x = 0; x < image.width(); ++x) {
            const float* a = image.pixel(x, y);
            const float* e = expected.pixel(x, y);
            float* d = diff.pixel(x, y);
            float pixelWorst = 0.0f;
            float delta[4];
            for (int c = 0; c < 4; ++c) {
                const float stored = std::round(std::clamp(a[c], 0.0f, 1.0f) * 255.0f) / 255.0f;
                delta[c] = std::isnan(a[c]) ? 1.0f : std::fabs(stored - e[c]);
                pixelWorst = std::max(pixelWorst, delta[c]);
            }
            // Colour differences, with alpha differences showing in all three channels;
            // amplified so that one quantisation step is visible.
            for (int c = 0; c < 3; ++c)
                d[c] = std::min(1.0f, 16.0f * std::max(delta[c], delta[3]));
            d[3] = 1.0f;
            if (pixelWorst > tolerance) ++differing;
            if (pixelWorst > worst) {
                worst = pixelWorst;
                worstX = x;
                worstY = y;
            }
        }
    if (differing == 0) return ::testing::AssertionSuccess();
    writeImageFile(actualPath, image);
    writeImageFile(diffPath, diff);
    return ::testing::AssertionFailure()
           << name << ": " << differing << " pixels differ from " << golden << " by more than "
           << tolerance << " (worst " << worst << " at " << worstX << ", " << worstY
           << "); this render: " << actualPath << ", difference ×16: " << diffPath;
}

}  // namespace skv::test
