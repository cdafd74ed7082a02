// The floor for mesh thumbnails: what any renderer of ours must do at least. An off-screen EGL context,
// VTK's own STL reader, the same camera as the mesh preview, one render and a PNG write; nothing else.
#include "support/VtkReference.h"

#include <png.h>
#include <vtkAutoInit.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

VTK_MODULE_INIT(vtkRenderingOpenGL2);

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: mesh_floor INPUT.stl OUTPUT.png SIZE\n");
        return 2;
    }
    const int size = std::atoi(argv[3]);
    vtkObject::SetGlobalWarningDisplay(0);
    vtkNew<vtkUnsignedCharArray> rgba;
    if (!RenderWithVtkReader(argv[1], size, size, rgba))
        return 1;

    FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr)
        return 1;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, out);
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, png_uint_32(size), png_uint_32(size), 8, PNG_COLOR_TYPE_RGB_ALPHA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = size - 1; y >= 0; --y)
        png_write_row(png, rgba->GetPointer(vtkIdType(y) * size * 4));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(out);
    return 0;
}
