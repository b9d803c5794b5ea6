#!/usr/bin/env bash
# The window images as the build drew them, judged by ImageMagick: the icon's
# 15 images (256, 48, 32, 24, 16 px at 4, 8 and 32 bits per pixel), the 24-bit
# logo and the 32-bit header background of 142 x 91, and the same bytes when
# drawn again.
#   window_images.test.sh <corvantix> <source dir> <build dir>
set -euo pipefail
src=$2 build=$3
dir=$build/generated/images
fail() { echo "FAIL: $*" >&2; exit 1; }

ico=$dir/corvantix.ico
[ -f "$ico" ] || fail "no icon at $ico"
listing=$(identify -format '%wx%h %z\n' "$ico")
[ "$(wc -l <<<"$listing")" -eq 15 ] || fail "icon holds $(wc -l <<<"$listing") images, not 15"

# The bit depth of each image as the icon directory records it; ImageMagick
# reports 32-bit images as 8 bits per channel.
depths=$(od -An -v -t u2 -j 6 -N $((15 * 16)) -w16 "$ico" | awk '{print $4}')
expected=""
for size in 256 48 32 24 16; do
  for bits in 4 8 32; do
    expected+="${size}x${size} $bits"$'\n'
  done
done
actual=$(paste -d' ' <(awk '{print $1}' <<<"$listing") <(cat <<<"$depths"))
[ "$actual" = "${expected%$'\n'}" ] || fail "icon images are"$'\n'"$actual"

# ImageMagick reads the paletted images at their own depth.
i=0
while read -r geometry depth; do
  bits=$(sed -n "$((i + 1))p" <<<"$depths")
  if [ "$bits" -ne 32 ] && [ "$depth" -ne "$bits" ]; then
    fail "image $i ($geometry) decodes at $depth bits, stored as $bits"
  fi
  # A clear corner and an opaque middle: the picture is there, on a
  # transparent ground.
  size=${geometry%x*}
  corner=$(convert "$ico[$i]" -format '%[fx:p{0,0}.a]' info:)
  middle=$(convert "$ico[$i]" -format "%[fx:p{$((size / 2)),$((size / 2))}.a]" info:)
  [ "$corner" = 0 ] || fail "image $i: corner not transparent ($corner)"
  [ "$middle" = 1 ] || fail "image $i: middle not opaque ($middle)"
  i=$((i + 1))
done <<<"$listing"

png_kind() {
  identify -format '%wx%h %[png:IHDR.color-type-orig] %[png:IHDR.bit-depth-orig]' "$1"
}
# colour type 2: RGB (24-bit); 6: RGBA (32-bit)
[ "$(png_kind "$dir/logo.png")" = "142x91 2 8" ] || fail "logo is $(png_kind "$dir/logo.png")"
[ "$(png_kind "$dir/header.png")" = "142x91 6 8" ] || fail "header is $(png_kind "$dir/header.png")"

# On the window's white the header is a light grey that darkens downwards.
rows=$(convert -size 142x91 xc:white "$dir/header.png" -composite -colorspace gray \
  -scale 1x91\! -depth 8 txt:- | awk -F'[(),]' 'NR > 1 {print $4}')
first=$(head -1 <<<"$rows") last=$(tail -1 <<<"$rows")
[ "$first" -ge 230 ] || fail "header top is not light ($first)"
[ "$last" -lt "$first" ] || fail "header does not darken downwards ($first .. $last)"
sort -n -r -c <<<"$rows" 2>/dev/null || fail "header brightness rises somewhere"

# Drawing again gives the same bytes, so builds are reproducible.
again=$(mktemp -d)
trap 'rm -rf "$again"' EXIT
python3 "$src/resources/images/make_images.py" "$again"
for file in corvantix.ico logo.png header.png; do
  cmp -s "$dir/$file" "$again/$file" || fail "$file differs when drawn again"
done
echo "window images: 15 icon images, logo and header as required"
