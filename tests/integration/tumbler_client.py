#!/usr/bin/python3
"""Asks XFCE's thumbnail service (tumbler, over the session bus) for the large thumbnails of the files named,
as Thunar does, and checks that each lands in the shared cache as a PNG within 256 x 256. One line a file;
exit status 1 if any fails."""
import hashlib
import os
import sys

import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib  # noqa: E402

files = sys.argv[1:]
uris = [Gio.File.new_for_path(f).get_uri() for f in files]
mimes = [Gio.File.new_for_path(f).query_info("standard::content-type", 0, None).get_content_type() for f in files]

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
proxy = Gio.DBusProxy.new_sync(bus, Gio.DBusProxyFlags.NONE, None, "org.freedesktop.thumbnails.Thumbnailer1",
                               "/org/freedesktop/thumbnails/Thumbnailer1",
                               "org.freedesktop.thumbnails.Thumbnailer1", None)
loop = GLib.MainLoop()
errors = {}
state = {"handle": None, "finished": False}


def on_signal(_proxy, _sender, name, params):
    if name == "Error":
        handle, failed, code, message = params.unpack()
        for uri in failed:
            errors[uri] = f"{message} ({code})"
    elif name == "Finished" and params.unpack()[0] == state["handle"]:
        state["finished"] = True
        loop.quit()


proxy.connect("g-signal", on_signal)
state["handle"] = proxy.call_sync("Queue", GLib.Variant("(asasssu)", (uris, mimes, "large", "default", 0)),
                                  Gio.DBusCallFlags.NONE, 60000, None).unpack()[0]
GLib.timeout_add_seconds(90, loop.quit)
loop.run()

cache = os.path.join(os.environ["XDG_CACHE_HOME"], "thumbnails", "large")
failed = 0
for path, uri, mime in zip(files, uris, mimes):
    png = os.path.join(cache, hashlib.md5(uri.encode()).hexdigest() + ".png")
    if uri in errors or not os.path.exists(png):
        print(f"FAIL {path} ({mime}): {errors.get(uri, 'no thumbnail in the cache')}")
        failed += 1
        continue
    pixbuf = GdkPixbuf.Pixbuf.new_from_file(png)
    w, h = pixbuf.get_width(), pixbuf.get_height()
    if not (0 < w <= 256 and 0 < h <= 256 and max(w, h) > 32):
        print(f"FAIL {path}: {w} x {h} pixels")
        failed += 1
        continue
    print(f"ok {path}: {mime}, {w} x {h} through tumbler")
if not state["finished"]:
    print("FAIL tumbler did not finish within 90 seconds")
    failed += 1
sys.exit(1 if failed else 0)
