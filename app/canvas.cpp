#include "canvas.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "host/sdk/ae_suites.h"

namespace skv::app {
namespace {

constexpr const char* kFontPaths[] = {
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/TTF/DejaVuSans.ttf",
};

// One FreeType face for the process; text drawing is rare and serialised.
struct Font {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    std::mutex mutex;
    Font() {
        if (FT_Init_FreeType(&library) != 0) return;
        for (const char* path : kFontPaths)
            if (FT_New_Face(library, path, 0, &face) == 0) break;
    }
};

Font& font() {
    static Font* f = new Font;
    return *f;
}

// Decodes UTF-8 into code points (invalid bytes become '?').
std::vector<uint32_t> codePoints(const std::string& s) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < s.size();) {
        const auto c = uint8_t(s[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + size_t(extra) >= s.size() + (extra == 0 ? 1 : 0)) {
            out.push_back('?');
            ++i;
            continue;
        }
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k)
            cp = (cp << 6) | (uint8_t(s[i + size_t(k)]) & 0x3F);
        out.push_back(cp);
        i += size_t(extra) + 1;
    }
    return out;
}

void blend(uint8_t* dst, const float src[4], float coverage) {
    const float a = std::clamp(src[3] * coverage, 0.0f, 1.0f);
    for (int c = 0; c < 3; ++c)
        dst[c] = uint8_t(std::lround(dst[c] * (1 - a) + std::clamp(src[c], 0.0f, 1.0f) * 255 * a));
    dst[3] = uint8_t(std::lround(dst[3] + (255 - dst[3]) * a));
}

}  // namespace

Canvas::Canvas(int width, int height, uint8_t r, uint8_t g, uint8_t b, uint8_t a)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      pixels_(size_t(width_) * size_t(height_) * 4) {
    for (size_t i = 0; i < pixels_.size(); i += 4) {
        pixels_[i] = r;
        pixels_[i + 1] = g;
        pixels_[i + 2] = b;
        pixels_[i + 3] = a;
    }
}

void Canvas::fillRect(int x, int y, int w, int h, const uint8_t rgba[4]) {
    for (int yy = std::max(y, 0); yy < std::min(y + h, height_); ++yy)
        for (int xx = std::max(x, 0); xx < std::min(x + w, width_); ++xx)
            std::memcpy(pixel(xx, yy), rgba, 4);
}

void Canvas::drawImage(int x, int y, int w, int h, int rowBytes, const uint8_t* rgba,
                       float opacity) {
    for (int yy = 0; yy < h; ++yy) {
        if (y + yy < 0 || y + yy >= height_) continue;
        for (int xx = 0; xx < w; ++xx) {
            if (x + xx < 0 || x + xx >= width_) continue;
            const uint8_t* s = rgba + size_t(yy) * size_t(rowBytes) + size_t(xx) * 4;
            const float src[4] = {s[0] / 255.0f, s[1] / 255.0f, s[2] / 255.0f,
                                  s[3] / 255.0f * opacity};
            blend(pixel(x + xx, y + yy), src, 1.0f);
        }
    }
}

int Canvas::drawText(const std::string& utf8, float x, float y, float size, const float rgba[4]) {
    Font& f = font();
    std::lock_guard<std::mutex> lock(f.mutex);
    if (!f.face) return 0;
    FT_Set_Pixel_Sizes(f.face, 0, FT_UInt(std::max(1.0f, std::round(size))));
    float penX = x;
    for (uint32_t cp : codePoints(utf8)) {
        if (FT_Load_Char(f.face, cp, FT_LOAD_RENDER) != 0) continue;
        const FT_GlyphSlot g = f.face->glyph;
        const int left = int(std::lround(penX)) + g->bitmap_left;
        const int top = int(std::lround(y)) - g->bitmap_top;
        for (unsigned row = 0; row < g->bitmap.rows; ++row)
            for (unsigned col = 0; col < g->bitmap.width; ++col) {
                const int px = left + int(col), py = top + int(row);
                if (px < 0 || py < 0 || px >= width_ || py >= height_) continue;
                const float coverage =
                    g->bitmap.buffer[row * unsigned(g->bitmap.pitch) + col] / 255.0f;
                if (coverage > 0) blend(pixel(px, py), rgba, coverage);
            }
        penX += float(g->advance.x) / 64.0f;
    }
    return int(std::lround(penX - x));
}

int Canvas::textWidth(const std::string& utf8, float size) {
    Font& f = font();
    std::lock_guard<std::mutex> lock(f.mutex);
    if (!f.face) return 0;
    FT_Set_Pixel_Sizes(f.face, 0, FT_UInt(std::max(1.0f, std::round(size))));
    float width = 0;
    for (uint32_t cp : codePoints(utf8))
        if (FT_Load_Char(f.face, cp, FT_LOAD_DEFAULT) == 0)
            width += float(f.face->glyph->advance.x) / 64.0f;
    return int(std::lround(width));
}

// ---- The drawing suites ----

namespace {

constexpr float kDefaultFontSize = 11.0f;

// Every object handed out is one of these; a reference is the address of its base.
struct DrawObject {
    virtual ~DrawObject() = default;
};
struct BrushObject : DrawObject {
    explicit BrushObject(DRAWBOT_ColorRGBA c) : color(c) {}
    DRAWBOT_ColorRGBA color;
};
struct FontObject : DrawObject {
    explicit FontObject(float s) : size(s) {}
    float size;
};
struct ImageObject : DrawObject {
    ImageObject(int w, int h) : width(w), height(h), rgba(size_t(w) * size_t(h) * 4) {}
    int width, height;
    std::vector<uint8_t> rgba;
};

// The object behind a reference, when it is one of the canvas's and of the kind asked for.
template <typename T>
T* objectOf(Canvas* canvas, DRAWBOT_ObjectRef ref) {
    if (!canvas || !ref || !canvas->objects().count(ref)) return nullptr;
    return dynamic_cast<T*>(reinterpret_cast<DrawObject*>(ref));
}

Canvas* canvasOf(void* ref) {
    return static_cast<Canvas*>(ref);
}

// Objects are created for the one canvas being drawn; the supplier reference is that canvas.
DRAWBOT_ObjectRef track(Canvas* canvas, DrawObject* object) {
    const auto ref = reinterpret_cast<DRAWBOT_ObjectRef>(object);
    canvas->objects().insert(ref);
    return ref;
}

Canvas* gDrawing = nullptr;  // the canvas of the current draw event

SPErr getSupplier(DRAWBOT_DrawRef ref, DRAWBOT_SupplierRef* supplier) {
    if (!ref || !supplier) return kSPSuiteNotFoundError;
    gDrawing = canvasOf(ref);
    *supplier = reinterpret_cast<DRAWBOT_SupplierRef>(ref);
    return kSPNoError;
}
SPErr getSurface(DRAWBOT_DrawRef ref, DRAWBOT_SurfaceRef* surface) {
    if (!ref || !surface) return kSPSuiteNotFoundError;
    gDrawing = canvasOf(ref);
    *surface = reinterpret_cast<DRAWBOT_SurfaceRef>(ref);
    return kSPNoError;
}
SPErr newBrush(DRAWBOT_SupplierRef s, const DRAWBOT_ColorRGBA* color, DRAWBOT_BrushRef* brush) {
    if (!s || !color || !brush) return kSPSuiteNotFoundError;
    *brush = track(canvasOf(s), new BrushObject(*color));
    return kSPNoError;
}
SPErr newDefaultFont(DRAWBOT_SupplierRef s, float size, DRAWBOT_FontRef* fontRef) {
    if (!s || !fontRef) return kSPSuiteNotFoundError;
    *fontRef = track(canvasOf(s), new FontObject(size > 0 ? size : kDefaultFontSize));
    return kSPNoError;
}
SPErr getDefaultFontSize(DRAWBOT_SupplierRef, float* size) {
    *size = kDefaultFontSize;
    return kSPNoError;
}
SPErr newImageFromBuffer(DRAWBOT_SupplierRef s, int width, int height, int rowBytes,
                         DRAWBOT_PixelLayout layout, const void* data, DRAWBOT_ImageRef* image) {
    if (!s || !data || !image || width < 0 || height < 0 || rowBytes < width * 4 ||
        layout != kDRAWBOT_PixelLayout_32RGBA_Straight)
        return kSPSuiteNotFoundError;
    auto* object = new ImageObject(width, height);
    for (int y = 0; y < height; ++y)
        std::memcpy(&object->rgba[size_t(y) * size_t(width) * 4],
                    static_cast<const uint8_t*>(data) + size_t(y) * size_t(rowBytes),
                    size_t(width) * 4);
    *image = track(canvasOf(s), object);
    return kSPNoError;
}
SPErr getPreferredPixelLayout(DRAWBOT_SupplierRef, DRAWBOT_PixelLayout* layout) {
    *layout = kDRAWBOT_PixelLayout_32RGBA_Straight;
    return kSPNoError;
}
SPErr releaseObject(DRAWBOT_ObjectRef object) {
    if (!gDrawing || !gDrawing->objects().erase(object)) return kSPSuiteNotFoundError;
    delete reinterpret_cast<DrawObject*>(object);
    return kSPNoError;
}
SPErr drawImage(DRAWBOT_SurfaceRef s, DRAWBOT_ImageRef image, const DRAWBOT_PointF32* origin,
                float opacity) {
    Canvas* canvas = canvasOf(s);
    const auto* object = objectOf<ImageObject>(canvas, image);
    if (!object || !origin) return kSPSuiteNotFoundError;
    canvas->drawImage(int(std::lround(origin->x)), int(std::lround(origin->y)), object->width,
                      object->height, object->width * 4, object->rgba.data(), opacity);
    return kSPNoError;
}
SPErr drawString(DRAWBOT_SurfaceRef s, DRAWBOT_BrushRef brush, DRAWBOT_FontRef fontRef,
                 const DRAWBOT_UTF16Char* text, const DRAWBOT_PointF32* origin,
                 DRAWBOT_TextAlignment alignment) {
    Canvas* canvas = canvasOf(s);
    const auto* b = objectOf<BrushObject>(canvas, brush);
    const auto* f = objectOf<FontObject>(canvas, fontRef);
    if (!b || !f || !text || !origin) return kSPSuiteNotFoundError;
    // UTF-16 (no surrogates in our texts) to UTF-8.
    std::string utf8;
    for (const DRAWBOT_UTF16Char* c = text; *c; ++c) {
        const uint32_t cp = *c;
        if (cp < 0x80) {
            utf8 += char(cp);
        } else if (cp < 0x800) {
            utf8 += char(0xC0 | (cp >> 6));
            utf8 += char(0x80 | (cp & 0x3F));
        } else {
            utf8 += char(0xE0 | (cp >> 12));
            utf8 += char(0x80 | ((cp >> 6) & 0x3F));
            utf8 += char(0x80 | (cp & 0x3F));
        }
    }
    const float rgba[4] = {b->color.red, b->color.green, b->color.blue, b->color.alpha};
    float x = origin->x;
    if (alignment != kDRAWBOT_TextAlignment_Left) {
        const int w = Canvas::textWidth(utf8, f->size);
        x -= alignment == kDRAWBOT_TextAlignment_Center ? w / 2.0f : float(w);
    }
    canvas->drawText(utf8, x, origin->y, f->size, rgba);
    return kSPNoError;
}

const DRAWBOT_DrawbotSuite1 kDrawSuite = {&getSupplier, &getSurface};
const DRAWBOT_SupplierSuite1 kSupplierSuite = {
    &newBrush,           &newDefaultFont,          &getDefaultFontSize,
    &newImageFromBuffer, &getPreferredPixelLayout, &releaseObject};
const DRAWBOT_SurfaceSuite1 kSurfaceSuite = {&drawImage, &drawString};

}  // namespace

Canvas::~Canvas() {
    for (void* object : objects_)
        delete reinterpret_cast<DrawObject*>(object);
    if (gDrawing == this) gDrawing = nullptr;
}

const void* canvasSuite(const std::string& name) {
    if (name == kDRAWBOT_DrawSuite) return &kDrawSuite;
    if (name == kDRAWBOT_SupplierSuite) return &kSupplierSuite;
    if (name == kDRAWBOT_SurfaceSuite) return &kSurfaceSuite;
    return nullptr;
}

}  // namespace skv::app
