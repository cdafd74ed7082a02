// libtarnelshell.so: the desktop's databases through GLib (platform/tarnel/desktop.h), loaded by the platform
// library on the first question, so that nothing else needs GLib.
#include "platform/tarnel/desktopentry.h"
#include "platform/tarnel/icontheme.h"

#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

using namespace tarnel::plat;

namespace {

constexpr size_t kSniffBytes = 4096;

// The MIME type of an existing entry: special files by their kind, regular files by name and first bytes.
// Only regular files are read, and without blocking: a FIFO is never opened.
std::string ContentType(const std::string& native, bool byNameOnly) {
    const char* slash = std::strrchr(native.c_str(), '/');
    const char* base = slash != nullptr ? slash + 1 : native.c_str();
    std::vector<guchar> head;
    if (!byNameOnly) {
        struct stat st;
        if (::stat(native.c_str(), &st) != 0)
            return "";
        if (S_ISDIR(st.st_mode))
            return "inode/directory";
        if (S_ISFIFO(st.st_mode))
            return "inode/fifo";
        if (S_ISCHR(st.st_mode))
            return "inode/chardevice";
        if (S_ISBLK(st.st_mode))
            return "inode/blockdevice";
        if (S_ISSOCK(st.st_mode))
            return "inode/socket";
        int fd = ::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat opened;
        if (fd >= 0 && ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode)) {
            head.resize(kSniffBytes);
            ssize_t n = ::read(fd, head.data(), head.size());
            head.resize(n > 0 ? size_t(n) : 0);
        }
        if (fd >= 0)
            ::close(fd);
    }
    gchar* type = g_content_type_guess(base, head.empty() ? nullptr : head.data(), head.size(), nullptr);
    std::string mime = type != nullptr ? type : "application/octet-stream";
    g_free(type);
    return mime;
}

// The icon names of a type, most specific first, ending with the icon file managers show for any file.
std::vector<std::string> IconNames(const std::string& type) {
    std::vector<std::string> names;
    GIcon* icon = g_content_type_get_icon(type.c_str());
    if (icon != nullptr && G_IS_THEMED_ICON(icon)) {
        for (const gchar* const* n = g_themed_icon_get_names(G_THEMED_ICON(icon)); n != nullptr && *n; ++n)
            names.emplace_back(*n);
    }
    if (icon != nullptr)
        g_object_unref(icon);
    if (gchar* generic = g_content_type_get_generic_icon_name(type.c_str())) {
        names.emplace_back(generic);
        g_free(generic);
    }
    names.emplace_back("application-x-generic");
    return names;
}

// Loads an icon file at size x size (keeping its proportions) as straight-alpha pixels.
bool LoadIconFile(const std::string& file, int size, int& w, int& h, std::vector<DWORD>& argb) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file_at_size(file.c_str(), size, size, nullptr);
    if (pixbuf == nullptr)
        return false;
    w = gdk_pixbuf_get_width(pixbuf);
    h = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
    argb.assign(size_t(w) * size_t(h), 0);
    for (int y = 0; y < h; ++y) {
        const guchar* in = pixels + size_t(y) * size_t(stride);
        for (int x = 0; x < w; ++x, in += channels)
            argb[size_t(y) * size_t(w) + size_t(x)] =
                DWORD(alpha ? in[3] : 255) << 24 | DWORD(in[0]) << 16 | DWORD(in[1]) << 8 | in[2];
    }
    g_object_unref(pixbuf);
    return true;
}

} // namespace

extern "C" TARNEL_API int TarnelGuessContentType(const char* native, int byNameOnly, std::string* type) {
    if (native == nullptr || type == nullptr)
        return 0;
    *type = ContentType(native, byNameOnly != 0);
    return type->empty() ? 0 : 1;
}

extern "C" TARNEL_API int TarnelGuessTypeOfName(const char* name, std::string* type) {
    if (name == nullptr || type == nullptr)
        return 0;
    gboolean uncertain = TRUE;
    gchar* guess = g_content_type_guess(name, nullptr, 0, &uncertain);
    *type = guess != nullptr ? guess : "";
    g_free(guess);
    return uncertain ? 0 : 1;
}

extern "C" TARNEL_API int TarnelLoadTypeIcon(const char* type, int size, int* width, int* height,
                                             std::vector<DWORD>* argb) {
    if (type == nullptr || width == nullptr || height == nullptr || argb == nullptr)
        return 0;
    const std::string file = LookupThemedIcon(IconNames(type), size);
    return !file.empty() && LoadIconFile(file, size, *width, *height, *argb) ? 1 : 0;
}

// The file URI as GIO spells it; its MD5 in hexadecimal names a thumbnail cache entry.
extern "C" TARNEL_API int TarnelFileUri(const char* path, std::string* uri, std::string* md5) {
    if (path == nullptr || uri == nullptr || md5 == nullptr)
        return 0;
    gchar* u = g_filename_to_uri(path, nullptr, nullptr);
    if (u == nullptr)
        return 0;
    *uri = u;
    g_free(u);
    gchar* sum = g_compute_checksum_for_string(G_CHECKSUM_MD5, uri->c_str(), -1);
    *md5 = sum != nullptr ? sum : "";
    g_free(sum);
    return 1;
}
