#include "host/host_draw.h"

#include <vector>

#include "host/suites.h"

namespace skv {

namespace {

// The suites and objects every drawing call needs, taken from the event's drawing reference.
struct Canvas {
    Canvas(const PF_InData* in, DRAWBOT_DrawRef ref)
        : draw(in, kDRAWBOT_DrawSuite, kDRAWBOT_DrawSuite_Version1),
          supplier(in, kDRAWBOT_SupplierSuite, kDRAWBOT_SupplierSuite_Version1),
          surface(in, kDRAWBOT_SurfaceSuite, kDRAWBOT_SurfaceSuite_Version1) {
        if (draw->GetSupplier(ref, &supplierRef) != kSPNoError ||
            draw->GetSurface(ref, &surfaceRef) != kSPNoError)
            supplierRef = nullptr;
    }
    bool ready() const { return supplierRef && surfaceRef; }

    ScopedSuite<DRAWBOT_DrawbotSuite1> draw;
    ScopedSuite<DRAWBOT_SupplierSuite1> supplier;
    ScopedSuite<DRAWBOT_SurfaceSuite1> surface;
    DRAWBOT_SupplierRef supplierRef = nullptr;
    DRAWBOT_SurfaceRef surfaceRef = nullptr;
};

}  // namespace

AEHostDraw::AEHostDraw(const PF_InData* in, const PF_EventExtra* event, int originX, int originY)
    : in_(in), event_(event), originX_(originX), originY_(originY) {}

DRAWBOT_DrawRef AEHostDraw::drawing() {
    ScopedSuite<PF_EffectCustomUISuite1> ui(in_, kPFEffectCustomUISuite,
                                            kPFEffectCustomUISuiteVersion1);
    DRAWBOT_DrawRef ref = nullptr;
    if (ui->PF_GetDrawingReference(event_->contextH, &ref) != PF_Err_NONE || !ref)
        throw PF_Err(PF_Err_BAD_CALLBACK_PARAM);
    return ref;
}

void AEHostDraw::drawImage(const WidgetImage& image, int x, int y) {
    if (image.width <= 0 || image.height <= 0 || !image.pixels) return;
    Canvas canvas(in_, drawing());
    if (!canvas.ready()) return;

    // Hand the pixels over in the layout the host prefers.
    DRAWBOT_PixelLayout layout = kDRAWBOT_PixelLayout_32RGBA_Straight;
    canvas.supplier->GetPreferredPixelLayout(canvas.supplierRef, &layout);
    std::vector<uint8_t> converted;
    const uint8_t* pixels = image.pixels;
    if (layout != kDRAWBOT_PixelLayout_32RGBA_Straight) {
        converted.resize(size_t(image.width) * size_t(image.height) * 4);
        for (size_t i = 0; i < converted.size(); i += 4) {
            const uint8_t r = image.pixels[i], g = image.pixels[i + 1], b = image.pixels[i + 2],
                          a = image.pixels[i + 3];
            uint8_t* o = &converted[i];
            switch (layout) {
                case kDRAWBOT_PixelLayout_32BGRA_Straight:
                    o[0] = b;
                    o[1] = g;
                    o[2] = r;
                    o[3] = a;
                    break;
                case kDRAWBOT_PixelLayout_32ARGB_Straight:
                    o[0] = a;
                    o[1] = r;
                    o[2] = g;
                    o[3] = b;
                    break;
                case kDRAWBOT_PixelLayout_32BGR:
                    o[0] = b;
                    o[1] = g;
                    o[2] = r;
                    o[3] = 255;
                    break;
                default:
                    o[0] = r;
                    o[1] = g;
                    o[2] = b;
                    o[3] = 255;
                    break;
            }
        }
        pixels = converted.data();
    }
    DRAWBOT_ImageRef imageRef = nullptr;
    if (canvas.supplier->NewImageFromBuffer(canvas.supplierRef, image.width, image.height,
                                            image.width * 4, layout, pixels,
                                            &imageRef) != kSPNoError)
        return;
    const DRAWBOT_PointF32 origin{float(originX_ + x), float(originY_ + y)};
    canvas.surface->DrawImage(canvas.surfaceRef, imageRef, &origin, 1.0f);
    canvas.supplier->ReleaseObject(imageRef);
}

void AEHostDraw::drawText(const std::string& text, int x, int y, const TextStyle& style) {
    Canvas canvas(in_, drawing());
    if (!canvas.ready()) return;
    const DRAWBOT_ColorRGBA color{style.r, style.g, style.b, style.a};
    DRAWBOT_BrushRef brush = nullptr;
    DRAWBOT_FontRef font = nullptr;
    if (canvas.supplier->NewBrush(canvas.supplierRef, &color, &brush) != kSPNoError) return;
    if (canvas.supplier->NewDefaultFont(canvas.supplierRef, style.size, &font) != kSPNoError) {
        canvas.supplier->ReleaseObject(brush);
        return;
    }
    // UTF-8 to UTF-16 (the texts are in the basic plane).
    std::vector<DRAWBOT_UTF16Char> utf16;
    for (size_t i = 0; i < text.size();) {
        const auto c = uint8_t(text[i]);
        uint32_t cp = c;
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : 3;
        if (extra > 0) cp = c & (0x3F >> extra);
        for (int k = 1; k <= extra && i + size_t(k) < text.size(); ++k)
            cp = (cp << 6) | (uint8_t(text[i + size_t(k)]) & 0x3F);
        utf16.push_back(DRAWBOT_UTF16Char(cp <= 0xFFFF ? cp : '?'));
        i += size_t(extra) + 1;
    }
    utf16.push_back(0);
    const DRAWBOT_PointF32 origin{float(originX_ + x), float(originY_ + y)};
    const DRAWBOT_TextAlignment alignment =
        style.align == TextStyle::kCenter  ? kDRAWBOT_TextAlignment_Center
        : style.align == TextStyle::kRight ? kDRAWBOT_TextAlignment_Right
                                           : kDRAWBOT_TextAlignment_Left;
    canvas.surface->DrawString(canvas.surfaceRef, brush, font, utf16.data(), &origin, alignment);
    canvas.supplier->ReleaseObject(font);
    canvas.supplier->ReleaseObject(brush);
}

}  // namespace skv
