#!/usr/bin/python3
"""Asks XFCE's thumbnail service (tumbler, over the session bus) for the thumbnails of the files named, in one
Queue call as Thunar sends a folder's visible files, and follows that request's signals alone (Thunar ignores
those of requests it did not make). Each file must get Ready and land in the shared cache as a PNG within the
flavor's size that names its URI; each file given with --no-picture must get Error instead and no cache entry.
The request must finish within --seconds. One line a file; exit status 1 if any fails.

Usage: tumbler_client.py [--flavor normal|large] [--scheduler NAME] [--seconds N] [--no-picture FILE]... FILE..."""
import argparse
import hashlib
import os
import sys

import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib  # noqa: E402

SIDES = {"normal": 128, "large": 256}

parser = argparse.ArgumentParser()
parser.add_argument("--flavor", choices=sorted(SIDES), default="large")
parser.add_argument("--scheduler", default="default")
parser.add_argument("--seconds", type=int, default=60)
parser.add_argument("--no-picture", action="append", default=[])
parser.add_argument("files", nargs="*")
args = parser.parse_args()

# The order is the folder's: a file without a picture may come first.
files = args.no_picture + args.files
uris = [Gio.File.new_for_path(f).get_uri() for f in files]
mimes = [Gio.File.new_for_path(f).query_info("standard::content-type", 0, None).get_content_type() for f in files]
without = set(uris[:len(args.no_picture)])

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
proxy = Gio.DBusProxy.new_sync(bus, Gio.DBusProxyFlags.NONE, None, "org.freedesktop.thumbnails.Thumbnailer1",
                               "/org/freedesktop/thumbnails/Thumbnailer1",
                               "org.freedesktop.thumbnails.Thumbnailer1", None)
loop = GLib.MainLoop()
ready, errors = set(), {}
state = {"handle": None, "finished": False, "timed_out": False}


def on_signal(_proxy, _sender, name, params):
    values = params.unpack()
    if values[0] != state["handle"]:
        return
    if name == "Ready":
        ready.update(values[1])
    elif name == "Error":
        for uri in values[1]:
            errors[uri] = f"{values[3]} ({values[2]})"
    elif name == "Finished":
        state["finished"] = True
        loop.quit()


def give_up():
    state["timed_out"] = True
    loop.quit()
    return False


proxy.connect("g-signal", on_signal)
state["handle"] = proxy.call_sync("Queue", GLib.Variant("(asasssu)", (uris, mimes, args.flavor, args.scheduler, 0)),
                                  Gio.DBusCallFlags.NONE, 60000, None).unpack()[0]
GLib.timeout_add_seconds(args.seconds, give_up)
loop.run()

cache = os.path.join(os.environ["XDG_CACHE_HOME"], "thumbnails", args.flavor)
side = SIDES[args.flavor]
failed = 0
for path, uri, mime in zip(files, uris, mimes):
    png = os.path.join(cache, hashlib.md5(uri.encode()).hexdigest() + ".png")
    if uri in without:
        if uri in ready or os.path.exists(png):
            print(f"FAIL {path} ({mime}): a thumbnail, but the file has no picture")
        elif uri not in errors:
            print(f"FAIL {path} ({mime}): no Error from tumbler")
        else:
            print(f"ok {path}: no picture, tumbler's Error: {errors[uri]}")
            continue
        failed += 1
        continue
    if uri not in ready or not os.path.exists(png):
        why = errors.get(uri, "never reported" if uri not in ready else "no thumbnail in the cache")
        print(f"FAIL {path} ({mime}): {why}")
        failed += 1
        continue
    pixbuf = GdkPixbuf.Pixbuf.new_from_file(png)
    w, h = pixbuf.get_width(), pixbuf.get_height()
    if not (0 < w <= side and 0 < h <= side and max(w, h) > side // 8):
        print(f"FAIL {path}: {w} x {h} pixels")
        failed += 1
        continue
    if pixbuf.get_option("tEXt::Thumb::URI") != uri:
        print(f"FAIL {path}: the cache entry names {pixbuf.get_option('tEXt::Thumb::URI')}")
        failed += 1
        continue
    print(f"ok {path}: {mime}, {w} x {h} through tumbler")
if not state["finished"]:
    print(f"FAIL tumbler did not finish the request within {args.seconds} seconds")
    failed += 1
sys.exit(1 if failed else 0)
