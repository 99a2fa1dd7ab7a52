// What the headless host writes, as the tools that read it expect: EXR scene-linear and
// premultiplied, PNG straight sRGB, each saying so in its metadata.
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <openvdb/openvdb.h>

#include <cmath>
#include <set>

#include "app_test_support.h"

namespace skv::test {
namespace {

float linearOfSrgb(float v) {
    return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}

// A small fire simulated into `dir` with the given effect settings; returns the environment
// the program runs in.
std::string simulateFire(const TempDir& dir, const std::string& effect) {
    writeFile(dir.file("scene.json"),
              R"({ "composition": { "width": 48, "height": 32, "fps": 10, "duration": 1 },
        "layers": { "plate": { "shape": "box", "center": [24, 16], "size": [48, 32] },
                    "fuel": { "shape": "disc", "center": [24, 26], "radius": 5 } },
        "effect": { "layer": "plate", "Fuel Layer": "fuel", )" +
                  effect + "} }");
    const std::string environment = "HOME='" + dir.path() + "' SKYVANE_PREVIEW=off";
    const ProgramRun r = runProgram({"simulate", dir.file("scene.json"), "--quiet"}, environment);
    EXPECT_EQ(r.status, 0) << r.output;
    return environment;
}

TEST(PictureTest, AnExrCompositesOverAPlateAndMatchesThePngOfTheSameFrame) {
    TempDir dir;
    const std::string environment =
        simulateFire(dir, R"("Render Mode": "All Sources", "Alpha Mode": "Source")");
    ProgramRun r = runProgram({"render", dir.file("scene.json"), "--frames", "8", "-o",
                               dir.file("f_####.exr"), "--quiet"},
                              environment);
    ASSERT_EQ(r.status, 0) << r.output;
    r = runProgram({"render", dir.file("scene.json"), "--frames", "8", "-o", dir.file("f_####.png"),
                    "--quiet"},
                   environment);
    ASSERT_EQ(r.status, 0) << r.output;

    OIIO::ImageBuf exr(dir.file("f_0008.exr"));
    ASSERT_TRUE(exr.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << exr.geterror();
    EXPECT_EQ(exr.spec().get_string_attribute("skyvane:colorspace"), "linear");
    EXPECT_EQ(exr.spec().get_string_attribute("skyvane:alpha"), "premultiplied");
    OIIO::ImageBuf plate(exr.spec());
    const float grey[4] = {0.18f, 0.18f, 0.18f, 1.0f};
    OIIO::ImageBufAlgo::fill(plate, grey);
    const OIIO::ImageBuf over = OIIO::ImageBufAlgo::over(exr, plate);
    ASSERT_FALSE(over.has_error()) << over.geterror();

    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    OIIO::ImageBuf png(dir.file("f_0008.png"), 0, 0, nullptr, &config);
    ASSERT_TRUE(png.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << png.geterror();
    EXPECT_EQ(png.spec().get_string_attribute("oiio:ColorSpace"), "sRGB");

    int empty = 0, covered = 0;
    float worst = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) {
            float e[4], o[4], p[4];
            exr.getpixel(x, y, e);
            over.getpixel(x, y, o);
            png.getpixel(x, y, p);
            if (e[3] == 0.0f) {
                ++empty;
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(o[c], 0.18f) << "the plate shows unchanged where the frame is empty";
            } else {
                ++covered;
            }
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::fabs(linearOfSrgb(p[c]) * p[3] - e[c]));
            worst = std::max(worst, std::fabs(p[3] - e[3]));
        }
    EXPECT_GT(empty, 100);
    EXPECT_GT(covered, 20);
    EXPECT_LE(worst, 1.0f / 255.0f) << "the PNG, linearised and premultiplied, is the EXR";

    // Straight alpha and another colour space, for those who need them, say so.
    r = runProgram({"render", dir.file("scene.json"), "--frames", "8", "-o", dir.file("s_####.exr"),
                    "--straight", "--colorspace", "sRGB", "--quiet"},
                   environment);
    ASSERT_EQ(r.status, 0) << r.output;
    auto straight = OIIO::ImageInput::open(dir.file("s_0008.exr"));
    ASSERT_TRUE(straight);
    EXPECT_EQ(straight->spec().get_string_attribute("skyvane:colorspace"), "sRGB");
    EXPECT_EQ(straight->spec().get_string_attribute("skyvane:alpha"), "straight");
    // A preview movie of the EXR frames over grey: where the frame is empty the movie is the
    // grey, not the white the straight colour would give.
    r = runProgram({"render", dir.file("scene.json"), "--frames", "0-3", "-o",
                    dir.file("m_####.exr"), "--quiet"},
                   environment);
    ASSERT_EQ(r.status, 0) << r.output;
    r = runProgram({"movie", dir.file("m_####.exr"), "-o", dir.file("movie/preview.mp4"),
                    "--background", "grey"},
                   environment);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("movie of 4 frames"), std::string::npos) << r.output;
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i '" + dir.file("movie/preview.mp4") +
                           "' -frames:v 1 '" + dir.file("movie/first.png") + "'")
                              .c_str()),
              0);
    OIIO::ImageBuf frame(dir.file("movie/first.png"));
    if (frame.read(0, 0, true, OIIO::TypeDesc::FLOAT)) {
        float corner[4];
        frame.getpixel(2, 2, corner);
        EXPECT_NEAR(corner[0], 0.5f, 0.03f) << "the background, not the effect's straight colour";
    } else {
        ADD_FAILURE() << "the movie's first frame could not be decoded";
    }
    r = runProgram({"render", dir.file("scene.json"), "--colorspace", "ACEScgg"}, environment);
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("--colorspace ACEScgg: no such colour space"), std::string::npos)
        << r.output;
}

TEST(PictureTest, FieldsExportToOpenVdbAsHoudiniAndBlenderReadThem) {
    TempDir dir;
    const std::string environment = simulateFire(dir, R"("Resolution Scale": 2)");
    for (const char* format : {"exr", "vdb"}) {
        const ProgramRun r = runProgram({"export", dir.file("scene.json"), "--frames", "7", "-o",
                                         dir.file(std::string("f_####.") + format), "--quiet"},
                                        environment);
        ASSERT_EQ(r.status, 0) << r.output;
    }
    // The EXR holds the same fields at grid resolution, rows downwards.
    OIIO::ImageBuf exr(dir.file("f_0007.exr"));
    ASSERT_TRUE(exr.read(0, 0, true, OIIO::TypeDesc::FLOAT));
    const int w = exr.spec().width, h = exr.spec().height;
    ASSERT_EQ(w, 24);
    const int densityChannel = exr.spec().channelindex("density"),
              uChannel = exr.spec().channelindex("velocity.u"),
              vChannel = exr.spec().channelindex("velocity.v");
    ASSERT_GE(densityChannel, 0);

    openvdb::initialize();
    openvdb::io::File file(dir.file("f_0007.vdb"));
    file.open();
    std::set<std::string> names;
    for (auto it = file.beginName(); it != file.endName(); ++it)
        names.insert(it.gridName());
    EXPECT_EQ(names, (std::set<std::string>{"density", "temperature", "fuel", "vel"}));
    const auto density = openvdb::gridPtrCast<openvdb::FloatGrid>(file.readGrid("density"));
    const auto vel = openvdb::gridPtrCast<openvdb::Vec3SGrid>(file.readGrid("vel"));
    ASSERT_TRUE(density && vel);
    EXPECT_DOUBLE_EQ(density->voxelSize()[0], 0.02)
        << "a cell is 2 composition pixels of 1/100 unit";
    size_t nonZero = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float pixel[16];
            exr.getpixel(x, y, pixel);
            nonZero += pixel[densityChannel] != 0.0f;
            const openvdb::Coord ijk(x, h - 1 - y, 0);
            ASSERT_EQ(density->tree().getValue(ijk), pixel[densityChannel]) << x << "," << y;
            const openvdb::Vec3s v = vel->tree().getValue(ijk);
            EXPECT_NEAR(v.x(), pixel[uChannel] * 0.02f, 1e-6f);
            EXPECT_NEAR(v.y(), -pixel[vChannel] * 0.02f, 1e-6f) << "y runs up";
        }
    EXPECT_GT(nonZero, 10u);
    EXPECT_EQ(density->activeVoxelCount(), nonZero) << "empty cells stay inactive";
    EXPECT_LT(density->activeVoxelCount(), openvdb::Index64(w * h));
    file.close();
}

}  // namespace
}  // namespace skv::test
