#!/bin/sh
# Regenerates the pictures of the README in docs/images/ by running the tool
# on the example scene with several parameter sets.
#   docs/make_images.sh [path/to/dispsmooth]    (default: build/release/dispsmooth)
set -eu
cd "$(dirname "$0")/.."
tool=$(realpath "${1:-build/release/dispsmooth}")
scene=$(realpath examples/scene)
out=$(realpath docs/images)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# smooth NAME RADIUS SIGMA_SPACE SIGMA_COLOR
smooth() {
    mkdir "$work/$1"
    printf 'reference.png\ndisparity.png\n%s\n%s\n%s\nsmoothed.png\n' "$2" "$3" "$4" \
        > "$work/$1/kelv_input.txt"
    ln -s "$scene/reference.png" "$scene/disparity.png" "$work/$1/"
    (cd "$work/$1" && "$tool" > /dev/null)
    cp "$work/$1/smoothed.png" "$out/$1.png"
}

smooth smoothed 9 9 20
smooth radius_2 2 9 20
smooth radius_20 20 9 20
smooth sigma_space_2 9 2 20
smooth sigma_space_40 9 40 20
smooth sigma_color_4 9 9 4
smooth sigma_color_400 9 9 400
