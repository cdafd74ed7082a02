#!/usr/bin/env bash
# Draws what a file manager shows of a folder of the suite's files, from tarnel's real output: the samples'
# thumbnails, made by TARNEL with the packaged settings (meshes on a transparent background), laid out as
# a file manager's icon view with each file's name; a file without a picture shows as a blank page, as its
# icon would. The README's first picture comes from here.
# Usage: folder-picture.sh TARNEL MAKE_SAMPLES OUT.png [light | dark | black]   (the view's background: white,
# a dark theme's grey, or black)
set -eu
tarnel=$1 make_samples=$2 out=$3 theme=${4:-light}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Bracket study"
"$make_samples" "$work/Bracket study" >/dev/null
export TARNEL_REGISTRY="$work/registry.reg" TARNEL_SETTINGS="$here/../data/tarnel.conf"
"$tarnel" register >/dev/null
files=(plate.qzt beam.qzt bracket.qzt project-three.kpz gear.stl pipe-tee.stl angle-bracket.tvx plate-plain.qzt)
args=()
for f in "${files[@]}"; do
    png="$work/$f.png"
    if ! "$tarnel" thumbnail -s 256 "$work/Bracket study/$f" "$png" 2>"$work/why"; then
        # Only the study without a stored picture is to show as its icon.
        [ "$f" = plate-plain.qzt ] || { echo "folder-picture: no thumbnail of $f: $(cat "$work/why")" >&2; exit 1; }
        png=""
    fi
    args+=("$f" "$png")
done
/usr/bin/python3 - "$out" "$theme" "${args[@]}" <<'PY'
import sys
import cairo
import gi
gi.require_version("Pango", "1.0")
gi.require_version("PangoCairo", "1.0")
from gi.repository import Pango, PangoCairo

out, theme, items = sys.argv[1], sys.argv[2], list(zip(sys.argv[3::2], sys.argv[4::2]))
background, header, ink = {"dark": ((0.14, 0.14, 0.14), (0.2, 0.2, 0.2), (0.9, 0.9, 0.9)),
                           "black": ((0, 0, 0), (0.15, 0.15, 0.15), (0.9, 0.9, 0.9))}.get(
                               theme, ((1, 1, 1), (0.92, 0.92, 0.92), (0.15, 0.15, 0.15)))
cell, cols, thumb, top = 220, 4, 160, 56
rows = (len(items) + cols - 1) // cols
width, height = cols * cell + 40, top + rows * cell + 20
surface = cairo.ImageSurface(cairo.FORMAT_ARGB32, width, height)
cr = cairo.Context(surface)
cr.set_source_rgb(*background)
cr.paint()
# The window's header: the folder's name, as a file manager shows it.
cr.set_source_rgb(*header)
cr.rectangle(0, 0, width, 44)
cr.fill()
def text(x, y, w, s, size, bold=False):
    layout = PangoCairo.create_layout(cr)
    layout.set_font_description(Pango.FontDescription(f"Sans {'Bold ' if bold else ''}{size}"))
    layout.set_width(int(w * Pango.SCALE))
    layout.set_alignment(Pango.Alignment.CENTER)
    layout.set_text(s, -1)
    cr.set_source_rgb(*ink)
    cr.move_to(x, y)
    PangoCairo.show_layout(cr, layout)
text(0, 12, width, "Bracket study", 12, True)
for i, (name, png) in enumerate(items):
    x0, y0 = 20 + (i % cols) * cell, top + (i // cols) * cell
    if png:
        image = cairo.ImageSurface.create_from_png(png)
        scale = min(thumb / image.get_width(), thumb / image.get_height())
        w, h = image.get_width() * scale, image.get_height() * scale
        cr.save()
        cr.translate(x0 + (cell - w) / 2, y0 + (thumb - h))
        cr.scale(scale, scale)
        cr.set_source_surface(image, 0, 0)
        cr.paint()
        cr.restore()
    else:  # the type's icon: a blank page with a folded corner
        px, py, pw, ph = x0 + (cell - 96) / 2, y0 + thumb - 124, 96, 124
        cr.set_source_rgb(0.97, 0.97, 0.97)
        cr.move_to(px, py); cr.line_to(px + pw - 24, py); cr.line_to(px + pw, py + 24)
        cr.line_to(px + pw, py + ph); cr.line_to(px, py + ph); cr.close_path()
        cr.fill_preserve()
        cr.set_source_rgb(0.6, 0.6, 0.6)
        cr.set_line_width(2)
        cr.stroke()
    text(x0, y0 + thumb + 8, cell, name, 10)
surface.write_to_png(out)
PY
