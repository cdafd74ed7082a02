#!/usr/bin/python3
"""Asks GNOME's thumbnail factory for the large thumbnail of each file named, as GNOME Files does, and checks
that each comes back as a picture of the size given (WxH) within 256 x 256; "WxHa": one with an alpha
channel (a mesh on a transparent background); "none": no picture. Arguments: PATH MIME-TYPE SIZE, again for
each file. Prints one line a file; exit status 1 if any fails."""
import sys

import gi

gi.require_version("GnomeDesktop", "3.0")
from gi.repository import Gio, GnomeDesktop  # noqa: E402

factory = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.LARGE)
failed = 0
for path, expected_type, expected_size in zip(sys.argv[1::3], sys.argv[2::3], sys.argv[3::3]):
    gfile = Gio.File.new_for_path(path)
    info = gfile.query_info("standard::content-type,time::modified", Gio.FileQueryInfoFlags.NONE, None)
    mime = info.get_content_type()
    uri = gfile.get_uri()
    if mime != expected_type:
        print(f"FAIL {path}: GIO calls it {mime}, not {expected_type}")
        failed += 1
        continue
    if not factory.can_thumbnail(uri, mime, info.get_modification_date_time().to_unix()):
        print(f"FAIL {path}: the factory has no thumbnailer for {mime}")
        failed += 1
        continue
    try:
        pixbuf = factory.generate_thumbnail(uri, mime, None)
    except Exception as e:  # GLib.Error: the thumbnailer failed or gave no picture
        if expected_size == "none":
            print(f"ok {path}: no picture, as expected")
            continue
        print(f"FAIL {path}: {e}")
        failed += 1
        continue
    w, h = pixbuf.get_width(), pixbuf.get_height()
    if expected_size == "none":
        print(f"FAIL {path}: a picture of {w} x {h}, where none was expected")
        failed += 1
        continue
    alpha = expected_size.endswith("a")
    if f"{w}x{h}" != expected_size.rstrip("a"):
        print(f"FAIL {path}: {w} x {h} pixels, not {expected_size}")
        failed += 1
        continue
    if alpha != pixbuf.get_has_alpha():
        print(f"FAIL {path}: " + ("no alpha channel" if alpha else "an alpha channel, where none was expected"))
        failed += 1
        continue
    print(f"ok {path}: {mime}, {w} x {h}" + (", with alpha" if alpha else ""))
sys.exit(1 if failed else 0)
