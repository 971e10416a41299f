#include "raster.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <cairo.h>
#include <librsvg/rsvg.h>

namespace hdrmeter::clip {

namespace {

struct SurfaceFree {
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextFree {
    void operator()(cairo_t* context) const { cairo_destroy(context); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceFree>;
using Context = std::unique_ptr<cairo_t, ContextFree>;

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length)
{
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

std::string pngOfSurface(cairo_surface_t* surface)
{
    std::string png;
    const cairo_status_t status = cairo_surface_write_to_png_stream(surface, &appendBytes, &png);
    if (status != CAIRO_STATUS_SUCCESS)
        throw std::runtime_error(std::string("cairo could not make the PNG: ") + cairo_status_to_string(status));
    return png;
}

Surface imageSurface(int width, int height)
{
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        throw std::runtime_error(std::string("cairo could not make a picture: ") +
                                 cairo_status_to_string(cairo_surface_status(surface.get())));
    return surface;
}

}  // namespace

bool isPngName(const std::string& path)
{
    if (path.size() < 4)
        return false;
    std::string ending = path.substr(path.size() - 4);
    for (char& c : ending)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ending == ".png";
}

std::string pngOfSvg(const std::string& svg)
{
    GError* error = nullptr;
    std::unique_ptr<RsvgHandle, decltype(&g_object_unref)> handle(
        rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(svg.data()), svg.size(), &error), &g_object_unref);
    if (!handle) {
        const std::string reason = error ? error->message : "unknown error";
        if (error)
            g_error_free(error);
        throw std::runtime_error("librsvg could not read the plot: " + reason);
    }
    gdouble width = 0, height = 0;
    if (!rsvg_handle_get_intrinsic_size_in_pixels(handle.get(), &width, &height) || width < 1 || height < 1)
        throw std::runtime_error("librsvg found no size in the plot");
    Surface surface = imageSurface(static_cast<int>(std::ceil(width)), static_cast<int>(std::ceil(height)));
    Context context(cairo_create(surface.get()));
    const RsvgRectangle viewport{0, 0, width, height};
    if (!rsvg_handle_render_document(handle.get(), context.get(), &viewport, &error)) {
        const std::string reason = error ? error->message : "unknown error";
        if (error)
            g_error_free(error);
        throw std::runtime_error("librsvg could not draw the plot: " + reason);
    }
    context.reset();
    return pngOfSurface(surface.get());
}

std::string pngOfPicture(const PeakPicture& picture)
{
    Surface surface = imageSurface(picture.width, picture.height);
    cairo_surface_flush(surface.get());
    unsigned char* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    for (int y = 0; y < picture.height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(stride) * y);
        for (int x = 0; x < picture.width; ++x) {
            const std::uint8_t* rgb = &picture.rgb[(static_cast<std::size_t>(y) * picture.width + x) * 3];
            row[x] = static_cast<std::uint32_t>(rgb[0]) << 16 | static_cast<std::uint32_t>(rgb[1]) << 8 | rgb[2];
        }
    }
    cairo_surface_mark_dirty(surface.get());
    return pngOfSurface(surface.get());
}

}  // namespace hdrmeter::clip
