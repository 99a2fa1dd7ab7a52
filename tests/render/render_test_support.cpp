#include "render_test_support.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <vector>

namespace skv::test {

FloatGrid& TestFrame::grid(uint32_t type) {
    if (!grids_[type]) grids_[type] = std::make_unique<FloatGrid>(gw_ + 2, gh_ + 2, 1, true);
    return *grids_[type];
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
    for (size_t i = 0; i < size_t(a.width()) * a.height() * 4; ++i) {
        const float d = std::fabs(a.data()[i] - b.data()[i]);
        if (!(d <= worst)) worst = std::isnan(d) ? std::numeric_limits<float>::infinity() : d;
    }
    return worst;
}

bool allFinite(const FloatImage& image) {
    const float* end = image.data() + size_t(image.width()) * image.height() * 4;
    return std::all_of(image.data(), end, [](float c) { return std::isfinite(c); });
}

namespace {

// The image as an 8-bit straight-alpha golden file holds it.
std::vector<uint8_t> eightBit(const FloatImage& image) {
    std::vector<uint8_t> bytes(size_t(image.width()) * image.height() * 4);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const float c = image.data()[i];
        bytes[i] = std::isnan(c) ? 0 : uint8_t(std::lround(std::clamp(c, 0.0f, 1.0f) * 255));
    }
    return bytes;
}

bool writePng(const std::string& path, const FloatImage& image) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = image.width();
    png.height = image.height();
    png.format = PNG_FORMAT_RGBA;
    return png_image_write_to_file(&png, path.c_str(), 0, eightBit(image).data(), 0, nullptr);
}

}  // namespace

::testing::AssertionResult matchesGolden(const std::string& name, const FloatImage& image,
                                         float tolerance) {
    const std::string golden = std::string(SKV_RENDER_GOLDEN_DIR) + "/" + name + ".png";
    const char* update = std::getenv("SKV_UPDATE_GOLDEN");
    if (update && std::string(update) == "1")
        return writePng(golden, image) ? ::testing::AssertionSuccess()
                                       : ::testing::AssertionFailure() << "cannot write " << golden;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    std::vector<uint8_t> expected;
    bool read = png_image_begin_read_from_file(&png, golden.c_str());
    png.format = PNG_FORMAT_RGBA;
    if (read) expected.resize(PNG_IMAGE_SIZE(png));
    read = read && png_image_finish_read(&png, nullptr, expected.data(), 0, nullptr) &&
           png.width == image.width() && png.height == image.height();
    // Compared as the golden file stores it, in steps of 1/255.
    const std::vector<uint8_t> actual = eightBit(image);
    int worst = read ? 0 : 255;
    for (size_t i = 0; read && i < actual.size(); ++i)
        worst = std::max(worst, std::abs(int(actual[i]) - int(expected[i])));
    if (worst <= tolerance * 255) return ::testing::AssertionSuccess();
    const std::string outDir = SKV_RENDER_OUTPUT_DIR;
    std::filesystem::create_directories(outDir);
    writePng(outDir + "/" + name + ".png", image);
    return ::testing::AssertionFailure()
           << name << (read ? " differs from " : ": cannot read ") << golden << " (worst by "
           << worst << "/255); this render: " << outDir << "/" << name
           << ".png (SKV_UPDATE_GOLDEN=1 accepts it)";
}

}  // namespace skv::test
