#!/usr/bin/env bash
# Remakes the seeds in fuzz/corpus/ from the project's own writers: archives that
# `create` writes from small trees (every kind of entry, textures included), the test
# builders' archives and hostile variants (fuzz_make_seeds), the DDS and PNG fixtures,
# and descriptors naming them. Run from a build tree with the tests:
#   bash fuzz/make_seeds.sh build
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
corpus="$top/fuzz/corpus"
fixtures="$top/tests/fixtures"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rm -rf "$corpus"
"$build/fuzz/fuzz_make_seeds" "$corpus"

# A descriptor: 40-byte header (texture type at byte 24, sampler bytes 26-32), then for
# each name a little-endian u64 length and the name.
descriptor() {
  local type=$1; shift
  python3 - "$type" "$@" <<'PY'
import struct, sys
header = bytearray(40)
struct.pack_into('<I', header, 0, 0x70B10A01)
header[20] = 1; header[24] = int(sys.argv[1]); header[26] = 1; header[27] = 1; header[28] = 2; header[37] = 1
out = bytes(header) + b''.join(struct.pack('<Q', len(n)) + n.encode() for n in sys.argv[2:])
sys.stdout.buffer.write(out)
PY
}

# Archives from create: plain and compressed files, a hidden-name-free tree with a
# subdirectory, an empty file, and a texture of one image and a cube of six.
tree="$work/tree"
mkdir -p "$tree/d/e" "$tree/t"
printf 'hello, cairn\n' >"$tree/a.txt"
: >"$tree/empty.bin"
head -c 3000 /dev/zero | tr '\0' 'x' >"$tree/d/b.txt"
head -c 600 /dev/urandom >"$tree/d/e/noise.bin"
cp "$fixtures/dds/nvtt_bc1_32x32_mips.dds" "$tree/t/tex.dds"
descriptor 2 t/tex.dds >"$tree/t/tex.tobj"
for i in 0 1 2 3 4 5; do cp "$fixtures/dds/nvtt_bc1_face${i}_8x8.dds" "$tree/t/f$i.dds"; done
descriptor 5 t/f0.dds t/f1.dds t/f2.dds t/f3.dds t/f4.dds t/f5.dds >"$tree/t/cube.tobj"
cp "$fixtures/raster/magick_rgba8_9x5.png" "$tree/t/p.png"
descriptor 2 t/p.png >"$tree/t/p.tobj"
"$build/qar_packer" create "$corpus/cairn_v2_device/create_tree.qar" -root "$tree" -quiet >/dev/null
"$build/qar_packer" create "$corpus/cairn_v2_device/create_nocompress.qar" -root "$tree" -nocompress -quiet >/dev/null

# Source images and descriptors naming the images the descriptor target provides.
mkdir -p "$corpus/image_source" "$corpus/descriptor"
for f in nvtt_bc1_32x32_mips nvtt_x8r8g8b8_cube_8x8 nvtt_a8r8g8b8_8x8 magick_r8g8b8_8x8 nvtt_bc3_32x16_mips \
         nvtt_bc5_32x32_mips nvtt_bc1_face0_8x8; do
  cp "$fixtures/dds/$f.dds" "$corpus/image_source/$f.dds"
done
cp "$fixtures/raster/magick_rgba8_9x5.png" "$fixtures/raster/magick_grey16_6x4.png" "$corpus/image_source/"
descriptor 2 nvtt_bc1_32x32_mips.dds >"$corpus/descriptor/single.tobj"
descriptor 5 nvtt_x8r8g8b8_cube_8x8.dds >"$corpus/descriptor/cube_one_file.tobj"
descriptor 5 nvtt_bc1_face0_8x8.dds nvtt_bc1_face1_8x8.dds nvtt_bc1_face2_8x8.dds nvtt_bc1_face3_8x8.dds \
  nvtt_bc1_face4_8x8.dds nvtt_bc1_face5_8x8.dds >"$corpus/descriptor/cube_six_files.tobj"
descriptor 2 magick_rgba8_9x5.png >"$corpus/descriptor/raster.tobj"
descriptor 2 magick_r8g8b8_8x8.dds >"$corpus/descriptor/legacy_rgb.tobj"

# The GDeflate targets: tile streams of the codec's reference inputs.
mkdir -p "$corpus/gdeflate_decoder" "$corpus/gdeflate_encoder"
printf 'hello hello hello hello, gdeflate' >"$corpus/gdeflate_encoder/text"
head -c 4000 "$fixtures/dds/nvtt_bc1_256x256_mips.dds" >"$corpus/gdeflate_encoder/bc1_page"
"$build/gdeflate_tool" compress "$corpus/gdeflate_encoder/bc1_page" "$corpus/gdeflate_decoder/bc1_page.gd" >/dev/null 2>&1 ||
  echo "gdeflate_tool could not make a decoder seed" >&2
# The reference streams of the codec's tests (the small ones, which keep the repository
# small, plus one of two pages): as tile streams, and each single-page one also as a page
# behind the two bytes (output size - 1) that the target reads first.
vectors="$top/tests/data/gdeflate"
for name in v01_one_byte.L1 v02_abc12.L1 v03_sentence100.L1 v04_random48.L1 v10_zeros200k.L1 \
            v15_norepeat4098.L1 v07_text65537.L12 s2_mixed_blocks s3_eob_lane31 s4_single_codeword \
            x3_table_cut x4_stored_len; do
  cp "$vectors/$name.gd" "$corpus/gdeflate_decoder/$name.gd"
done
python3 - "$vectors" "$corpus/gdeflate_decoder" <<'PY'
import os, struct, sys
vectors, out = sys.argv[1:]
for name, size in (('v01_one_byte.L1', 1), ('v02_abc12.L1', 12), ('v03_sentence100.L1', 100),
                   ('v04_random48.L1', 48), ('v15_norepeat4098.L1', 4098), ('s2_mixed_blocks', 116),
                   ('s3_eob_lane31', 579), ('s4_single_codeword', 5)):
    stream = open(os.path.join(vectors, name + '.gd'), 'rb').read()
    assert struct.unpack_from('<H', stream, 2)[0] == 1, name
    with open(os.path.join(out, name + '.page'), 'wb') as f:
        f.write(struct.pack('<H', size - 1) + stream[12:])
PY
find "$corpus" -type f | wc -l
du -sh "$corpus"
