// The least a study's thumbnail can cost as a process: start, link gdk-pixbuf, read the BMP and decode it
// through gdk-pixbuf's BMP loader, as the study path must, and exit. No scaling, no PNG, no child.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("bmp", nullptr);
    if (loader == nullptr)
        return 1;
    const bool ok = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data()),
                                            bytes.size(), nullptr) &&
                    gdk_pixbuf_loader_close(loader, nullptr) &&
                    gdk_pixbuf_loader_get_pixbuf(loader) != nullptr;
    g_object_unref(loader);
    return ok ? 0 : 1;
}
