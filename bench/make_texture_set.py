#!/usr/bin/env python3
"""A fixed set of DDS textures, one or more of every kind the corpus holds, for the
texture page benchmark (texture_pages_bench).

Usage:
    python3 make_texture_set.py OUTDIR

Every texture is made as make_corpus.py makes the corpus's (ImageMagick sources,
nvcompress for BC1/BC3/BC4/BC5 and 32-bit RGB(A), this script's own BC7 mode-6 blocks),
with full mip chains, and is named by a ".tobj" descriptor beside it. Two kinds the corpus
generator does not make are added the same way: an opaque brick texture with noise in
32-bit RGBA, and 24-bit RGB rows written by ImageMagick. OUTDIR/textures.tsv, written last, lists
"name<TAB>kind" per texture; a set whose list is there and names the same textures is
left as it is.

Needs ImageMagick (convert) and libnvtt-bin (nvcompress, nvassemble).
"""

import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_corpus as mc  # noqa: E402

# name, kind (as the benchmark prints it), corpus format, size, source pattern, role
TEXTURES = [
    ("bc1_plasma_512", "BC1", "bc1", 512, "plasma", "diffuse"),
    ("bc1_noise_256", "BC1", "bc1", 256, "noise", "diffuse"),
    ("bc3_decal_256", "BC3", "bc3", 256, "graphic", "decal"),
    ("bc3_mixed_512", "BC3", "bc3", 512, "mixed", "diffuse"),
    ("bc4_mask_512", "BC4", "bc4", 512, "smooth", "mask"),
    ("bc5_nmap_512", "BC5", "bc5", 512, "plasma", "nmap"),
    ("bc7_plasma_256", "BC7", "bc7", 256, "plasma", "diffuse"),
    ("bc7_decal_128", "BC7", "bc7", 128, "graphic", "decal"),
    ("rgba8_ui_256", "RGBA8", "rgba", 256, "graphic", "ui"),
    ("rgba8_smooth_256", "RGBA8", "rgba", 256, "smooth", "diffuse"),
]
BRICK = ("rgba8_brick_noise_256", "RGBA8", 256)
RGB8 = ("rgb8_plasma_256", "RGB8", 256)


def tobj_for(name):
    return mc.tobj_bytes({"ttype": 2, "filt": (3, 3, 3, 0, 0, 0), "color_space": 0, "names": ["/%s.dds" % name]})


def make_brick(tools, out, w):
    """The brick texture with noise: ImageMagick's brick pattern in brick and mortar colours,
    Gaussian noise, opaque."""
    with tempfile.TemporaryDirectory(prefix="texset_") as td:
        src = os.path.join(td, "brick.tga")
        mc.run([tools["convert"], "-size", "%dx%d" % (w // 4, w // 4), "pattern:bricks", "-sample", "%dx%d" % (w, w),
                "+level-colors", "#4a3a30,#a5553a", "-seed", "4242", "-attenuate", "0.6", "+noise", "Gaussian",
                "-alpha", "off", "-depth", "8", src])
        mc.run([tools["nvcompress"], "-fast", "-rgb", src, out])


def make_rgb8(tools, out, w):
    """24-bit RGB rows with a full mip chain, as ImageMagick writes them."""
    levels = mc.mip_count(w, w)
    with tempfile.TemporaryDirectory(prefix="texset_") as td:
        src = os.path.join(td, "src.tga")
        mc.make_source(tools, src, w, w, "plasma", 9001)
        mc.run([tools["convert"], src, "-alpha", "off", "-define", "dds:compression=none",
                "-define", "dds:mipmaps=%d" % (levels - 1), out])


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_texture_set.py OUTDIR")
    root = sys.argv[1]
    listing_path = os.path.join(root, "textures.tsv")
    names = [t[0] for t in TEXTURES] + [BRICK[0], RGB8[0]]
    listing = "".join("%s\t%s\n" % (t[0], t[1]) for t in TEXTURES + [BRICK[:2], RGB8[:2]])
    if os.path.exists(listing_path):
        with open(listing_path) as f:
            if f.read() == listing and all(os.path.exists(os.path.join(root, n + ".dds")) for n in names):
                return
    tools = mc.find_tools()
    if tools is None:
        sys.exit("make_texture_set.py: needs ImageMagick (convert) and nvcompress (libnvtt-bin)")
    os.makedirs(root, exist_ok=True)
    for i, (name, _, fmt, w, src, role) in enumerate(TEXTURES):
        it = {"seed": mc.seed_of("texture_set", name), "fmt": fmt, "w": w, "h": w, "mips": True, "cube": False,
              "src": src, "role": role, "path": name}
        mc.job_dds(it, tools, os.path.join(root, name + ".dds"))
    make_brick(tools, os.path.join(root, BRICK[0] + ".dds"), BRICK[2])
    make_rgb8(tools, os.path.join(root, RGB8[0] + ".dds"), RGB8[2])
    for name in names:
        with open(os.path.join(root, name + ".tobj"), "wb") as f:
            f.write(tobj_for(name))
    with open(listing_path, "w") as f:
        f.write(listing)


if __name__ == "__main__":
    main()
