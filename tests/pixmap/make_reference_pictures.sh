#!/bin/sh
# Writes the reference pictures for the loader checks into the folder given,
# with ImageMagick: odd sizes, every bit depth and colour type we read.
set -eu
out=$1
mkdir -p "$out"
im=$(command -v convert-im6.q16 || command -v convert)
cd "$out"

# Sources: an opaque colour picture, one with graded alpha, one with holes.
"$im" -seed 11 -size 37x23 plasma:fractal -depth 8 src.png
"$im" src.png \( -size 37x23 gradient:white-black -rotate 90 -resize 37x23! \) \
  -alpha off -compose CopyOpacity -composite -depth 8 src_alpha.png
"$im" src.png -colors 40 \( +clone -fill white -colorize 100 -fill black -draw "rectangle 4,3 15,12" \) \
  -alpha off -compose CopyOpacity -composite -depth 8 src_holes.png

# BMP with the 40-byte header, uncompressed.
"$im" src.png -colors 2 -compress none BMP3:bmp_1.bmp
"$im" src.png -colors 16 -compress none BMP3:bmp_4.bmp
"$im" src.png -colors 200 -compress none BMP3:bmp_8.bmp
"$im" src.png -type TrueColor -compress none BMP3:bmp_24.bmp
"$im" src.png -crop 3x5+0+0 +repage -colors 16 -compress none BMP3:bmp_4_narrow.bmp

# Targa, raw and run-length (16-bit ones are written by the test itself).
"$im" src.png -type TrueColor -compress none tga_24.tga
"$im" src.png -type TrueColor -compress RLE tga_24_rle.tga
"$im" src_alpha.png -type TrueColorAlpha -compress none tga_32.tga
"$im" src_alpha.png -type TrueColorAlpha -compress RLE tga_32_rle.tga

# PNG in every colour type and bit depth.
for depth in 1 2 4 8 16; do
  "$im" src.png -colorspace gray -depth "$depth" -define png:color-type=0 \
    -define png:bit-depth="$depth" "png_grey_$depth.png"
done
for depth in 1 2 4 8; do
  colours=$((1 << depth))
  [ "$colours" -gt 200 ] && colours=200
  "$im" src.png -colors "$colours" -define png:format=png8 -define png:bit-depth="$depth" \
    "png_palette_$depth.png"
done
"$im" src_holes.png PNG8:png_palette_trns.png
"$im" src_alpha.png -colorspace gray -define png:color-type=4 -define png:bit-depth=8 png_grey_alpha_8.png
"$im" src_alpha.png -colorspace gray -define png:color-type=4 -define png:bit-depth=16 png_grey_alpha_16.png
"$im" src.png PNG24:png_rgb_8.png
"$im" src.png -depth 16 PNG48:png_rgb_16.png
"$im" src_alpha.png PNG32:png_rgba_8.png
"$im" src_alpha.png -depth 16 PNG64:png_rgba_16.png
"$im" src_alpha.png -interlace PNG PNG32:png_rgba_interlaced.png
"$im" src.png -colors 30 -interlace PNG PNG8:png_palette_interlaced.png

# JPEG: colour (subsampled and full), greyscale, progressive.
"$im" src.png -quality 85 jpeg_colour.jpg
"$im" src.png -quality 92 -sampling-factor 1x1 jpeg_colour_444.jpg
"$im" src.png -colorspace gray -quality 80 jpeg_grey.jpg
"$im" src.png -quality 75 -interlace JPEG jpeg_progressive.jpg

rm -f src.png src_alpha.png src_holes.png
